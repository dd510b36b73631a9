// orvane-upgrade: the upgrade dialog on Qt 6.
#include <QApplication>
#include <QIcon>
#include <memory>

#include "codec/access_mode.h"
#include "shell/dialog_qt.h"
#include "shell/main_dialog.h"

int main(int argc, char** argv) {
    // Taken before Qt removes its own options from the command line.
    AccessLevel mode = SelectAccessMode(argc, argv);
    QApplication app(argc, argv);
    BusyMark = 0;
    auto faces = std::make_unique<ButtonFaces>(LoadButtonFaces());
    AccessMode = mode;
    app.setWindowIcon(QIcon(QStringLiteral(":/orvane/app_icon.ico")));
    {
        UpgradeDialog dialog(faces.get());
        dialog.Initialize();
        dialog.exec();
        EndProgramIfStillBusy();
    }
    faces.reset();
    return 0;
}

// orvane-upgrade: the upgrade dialog on Qt 6.
#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "shell/access_mode.h"
#include "shell/dialog_qt.h"
#include "shell/main_dialog.h"

namespace {

// A worker or a monitored port is still going: their threads hold the port
// and the dialog's globals, so nothing is torn down under them. The trace
// is flushed and the process ends; the system releases the port.
[[noreturn]] void EndWithThreadsRunning() {
    std::fflush(stdout);
    std::_Exit(0);
}

}  // namespace

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
        if (dialog.WorkerRunning() || BusyMark) EndWithThreadsRunning();
    }
    faces.reset();
    return 0;
}

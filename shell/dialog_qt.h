// The main dialog on Qt 6: the shell's DialogView over widgets.
#pragma once
#include <QDialog>
#include <QPixmap>
#include <QStringList>
#include <functional>
#include <thread>

#include "shell/main_dialog.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QMessageBox;
class QProgressBar;
class QPushButton;

// The Upgrade button's two pictures; start-up owns them for the whole run.
struct ButtonFaces {
    QPixmap idle;
    QPixmap busy;
};

// From the compiled-in resources; a picture that does not load stays null.
ButtonFaces LoadButtonFaces();

// Lets the user pick one existing file. `filters` are Qt name filters such as
// "BIN file (*.bin)", the first one preselected. Empty when cancelled.
using FileChooser =
    std::function<QString(QWidget* owner, const QString& title, const QStringList& filters)>;

QString ChooseWithFileDialog(QWidget* owner, const QString& title, const QStringList& filters);

// Inserts at the sorted place (case ignored, after equal texts), as the
// port list keeps itself sorted.
void AddSortedItem(QComboBox* box, const QString& text);

class UpgradeDialog : public QDialog {
    Q_OBJECT

   public:
    explicit UpgradeDialog(const ButtonFaces* faces, FileChooser chooser = ChooseWithFileDialog);
    ~UpgradeDialog() override;

    // Installs this dialog as the shell's view and runs its initialisation:
    // the file chooser (before the dialog shows) and port discovery.
    void Initialize();

    // The view the shell logic drives; valid while this dialog exists.
    static const DialogView* View();

    QComboBox* PortBox() const { return portBox_; }
    QPushButton* UpgradeButton() const { return upgradeButton_; }
    QCheckBox* FontBox() const { return fontBox_; }
    QLabel* ImageName() const { return imageName_; }
    QLabel* StatusLine() const { return statusLine_; }
    QProgressBar* ProgressBar() const { return progressBar_; }

   signals:
    // Emitted on the UI thread after each display change has been applied.
    void StatusShown(const QString& text);
    void FaceShown(bool busy);

   protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;  // the close box (Escape never gets here)
    void showEvent(QShowEvent* event) override;

   private:
    friend struct DialogBridge;

    void BuildControls();
    void PlaceControls();
    void RunUpgradeFromButton();
    void ShowPortEntryStart();
    QRect DialogUnits(int x, int y, int width, int height) const;
    bool ConfirmCloseDuringUpgrade();
    void ShowFace(bool busy);
    bool StartWorker(void (*body)());
    bool AskYesNo(const QString& caption, const QString& text);
    QMessageBox* NewQuestion(const QString& caption, const QString& text);

    const ButtonFaces* faces_;
    FileChooser chooser_;
    QComboBox* portBox_ = nullptr;
    QPushButton* upgradeButton_ = nullptr;
    QCheckBox* fontBox_ = nullptr;
    QLabel* imageName_ = nullptr;
    QLabel* statusLine_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QMessageBox* pendingQuestion_ = nullptr;  // an override question being asked
    std::thread worker_;  // the last upgrade worker; the busy mark keeps it alone
    bool centred_ = false;
};

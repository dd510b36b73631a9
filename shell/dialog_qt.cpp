#include "shell/dialog_qt.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QThread>
#include <algorithm>
#include <cstring>
#include <future>
#include <string>
#include <system_error>
#include <thread>

#include "ports/port_refusal.h"

// Outside any namespace, as the resource system needs it.
static void InitUpgradeResources() {
    Q_INIT_RESOURCE(upgrade_qt);
}

namespace {

const char kCaption[] = "Orvane 5800 Imager Firmware Upgrade Utility Ver. 1.00.00";

enum { DialogWidth = 241, DialogHeight = 64, DialogFontPoints = 10 };

// The logic's texts are byte strings; copy one into a caller's buffer or refuse.
bool CopyOut(const QByteArray& bytes, char* out, int capacity) {
    if (bytes.size() >= capacity) return false;
    std::memcpy(out, bytes.constData(), bytes.size() + 1);
    return true;
}

// "name\0pattern\0...\0" as Qt name filters.
QStringList NameFilters(const char* list) {
    QStringList filters;
    for (const char* name = list; *name;) {
        const char* pattern = name + std::strlen(name) + 1;
        if (!*pattern) break;
        filters << QStringLiteral("%1 (%2)").arg(QString::fromLocal8Bit(name),
                                                 QString::fromLocal8Bit(pattern));
        name = pattern + std::strlen(pattern) + 1;
    }
    return filters;
}

// The picture's own background (its corner colour) lets the button show through.
QIcon FaceIcon(const QPixmap& face) {
    if (face.isNull()) return QIcon();
    QPixmap shown = face;
    shown.setMask(face.createMaskFromColor(face.toImage().pixelColor(0, 0)));
    return QIcon(shown);
}

// Drops a list wide enough for its longest port label, never narrower than the box.
class PortComboBox : public QComboBox {
   public:
    using QComboBox::QComboBox;

    void showPopup() override {
        view()->setMinimumWidth(PopupWidth());
        QComboBox::showPopup();
    }

   private:
    int PopupWidth() const {
        QAbstractItemView* list = view();
        QFontMetrics metrics(list->font());
        int widest = 0;
        for (int i = 0; i < count(); ++i)
            widest = std::max(widest, metrics.horizontalAdvance(itemText(i)));
        QStyle* style = list->style();
        // The item delegate's text margin on each side.
        int textMargin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1;
        // Room for the scroll bar whether or not this list needs one.
        int scrollBar = style->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list);
        return std::max(width(), widest + 2 * textMargin + 2 * list->frameWidth() + scrollBar);
    }
};

}  // namespace

ButtonFaces LoadButtonFaces() {
    InitUpgradeResources();
    return {QPixmap(QStringLiteral(":/orvane/idle_face.bmp")),
            QPixmap(QStringLiteral(":/orvane/busy_face.bmp"))};
}

QString ChooseWithFileDialog(QWidget* owner, const QString& title, const QStringList& filters) {
    QFileDialog chooser(owner, title);
    chooser.setAcceptMode(QFileDialog::AcceptOpen);
    chooser.setFileMode(QFileDialog::ExistingFile);
    chooser.setNameFilters(filters);
    if (!filters.isEmpty()) chooser.selectNameFilter(filters.first());
    if (chooser.exec() != QDialog::Accepted) return QString();
    return chooser.selectedFiles().value(0);
}

void AddSortedItem(QComboBox* box, const QString& text) {
    int at = 0;
    while (at < box->count() && box->itemText(at).compare(text, Qt::CaseInsensitive) <= 0) ++at;
    box->insertItem(at, text);
}

// The DialogView functions, bound to the one dialog that exists.
struct DialogBridge {
    static UpgradeDialog* dialog;

    static void SetStatusLine(const char* text) {
        QString shown = QString::fromLocal8Bit(text);
        dialog->statusLine_->setToolTip(QString());  // a reason belongs to the text it explained
        dialog->statusLine_->setText(shown);
        emit dialog->StatusShown(shown);
    }
    static void SetProgressRange(unsigned low, unsigned high) {
        dialog->progressBar_->setRange(static_cast<int>(low), static_cast<int>(high));
    }
    // A position outside the range shows as the nearest end.
    static void SetProgressPosition(uint32_t position) {
        QProgressBar* bar = dialog->progressBar_;
        uint32_t low = static_cast<uint32_t>(bar->minimum());
        uint32_t high = static_cast<uint32_t>(bar->maximum());
        bar->setValue(static_cast<int>(std::clamp(position, low, high)));
    }
    static void ShowButtonFace(bool busy) { dialog->ShowFace(busy); }
    static void ShowFontBox(bool shown) { dialog->fontBox_->setVisible(shown); }
    static bool IsFontBoxTicked() { return dialog->fontBox_->isChecked(); }
    static void SetImageName(const char* name) {
        dialog->imageName_->setText(QString::fromLocal8Bit(name));
    }
    static void ReadPortEntry(char* text, int capacity) {
        QByteArray entry = dialog->portBox_->currentText().toLocal8Bit();
        entry.truncate(capacity - 1);
        std::memcpy(text, entry.constData(), entry.size() + 1);
    }
    static void AddPortName(const char* name) {
        AddSortedItem(dialog->portBox_, QString::fromLocal8Bit(name));
    }
    static void SelectFirstPort() {
        if (dialog->portBox_->count() > 0) {
            dialog->portBox_->setCurrentIndex(0);
            dialog->portBox_->lineEdit()->setCursorPosition(0);  // the port name, not the tail
        } else {
            dialog->portBox_->setEditText(QString());
        }
    }
    // A path that does not fit counts as a failed chooser.
    static bool ChooseFile(const char* filters, const char* title, char* path, int pathCapacity,
                           char* name, int nameCapacity) {
        QString chosen =
            dialog->chooser_(dialog, QString::fromLocal8Bit(title), NameFilters(filters));
        if (chosen.isEmpty()) return false;
        QByteArray fileName = QFile::encodeName(QFileInfo(chosen).fileName());
        return CopyOut(QFile::encodeName(chosen), path, pathCapacity) &&
               CopyOut(fileName, name, nameCapacity);
    }
    static bool AskYesNo(const char* caption, const char* text) {
        return dialog->AskYesNo(QString::fromLocal8Bit(caption), QString::fromLocal8Bit(text));
    }
    static void RunOnUiThread(void (*task)(void*), void* arg) {
        if (QThread::currentThread() == dialog->thread()) {
            task(arg);
            return;
        }
        QMetaObject::invokeMethod(
            dialog, [task, arg] { task(arg); }, Qt::BlockingQueuedConnection);
    }
    static bool StartWorker(void (*body)()) { return dialog->StartWorker(body); }
};

UpgradeDialog* DialogBridge::dialog = nullptr;

namespace {
const DialogView qtView = {{DialogBridge::SetStatusLine, DialogBridge::SetProgressRange,
                            DialogBridge::SetProgressPosition},
                           DialogBridge::ShowButtonFace,
                           DialogBridge::ShowFontBox,
                           DialogBridge::IsFontBoxTicked,
                           DialogBridge::SetImageName,
                           DialogBridge::ReadPortEntry,
                           DialogBridge::AddPortName,
                           DialogBridge::SelectFirstPort,
                           DialogBridge::ChooseFile,
                           DialogBridge::AskYesNo,
                           DialogBridge::RunOnUiThread,
                           DialogBridge::StartWorker};
}  // namespace

UpgradeDialog::UpgradeDialog(const ButtonFaces* faces, FileChooser chooser)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      faces_(faces),
      chooser_(std::move(chooser)) {
    setWindowTitle(QString::fromLatin1(kCaption));
    QFont dialogFont = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    dialogFont.setPointSize(DialogFontPoints);
    setFont(dialogFont);
    BuildControls();
    PlaceControls();
    connect(upgradeButton_, &QPushButton::clicked, this, &UpgradeDialog::RunUpgradeFromButton);
}

// A worker still under way when the dialog goes cannot be waited for (it may
// wait on this dialog for an answer): the program's end takes it.
UpgradeDialog::~UpgradeDialog() {
    if (worker_.joinable()) {
        if (UpgradeWorkerRunning())
            worker_.detach();
        else
            worker_.join();
    }
    if (DialogBridge::dialog == this) {
        SetDialogView(nullptr);
        DialogBridge::dialog = nullptr;
    }
}

const DialogView* UpgradeDialog::View() {
    return &qtView;
}

void UpgradeDialog::Initialize() {
    DialogBridge::dialog = this;
    SetDialogView(&qtView);
    InitializeMainDialog();
}

// Template order, which is also the tab order.
void UpgradeDialog::BuildControls() {
    portBox_ = new PortComboBox(this);
    portBox_->setEditable(true);
    portBox_->setInsertPolicy(QComboBox::NoInsert);
    // The field is narrower than most entries: the tooltip holds all of it, and
    // a picked entry shows its start rather than where setText left the cursor.
    portBox_->installEventFilter(this);  // it holds the focus for its line edit
    connect(portBox_, &QComboBox::editTextChanged, portBox_, &QWidget::setToolTip);
    connect(portBox_, &QComboBox::currentIndexChanged, this, &UpgradeDialog::ShowPortEntryStart);
    connect(portBox_, &QComboBox::activated, this, &UpgradeDialog::ShowPortEntryStart);
    upgradeButton_ = new QPushButton(this);
    upgradeButton_->setAccessibleName(QStringLiteral("Upgrade"));
    upgradeButton_->setDefault(true);
    fontBox_ = new QCheckBox(QStringLiteral("KX5800/RLT4"), this);
    imageName_ = new QLabel(this);
    statusLine_ = new QLabel(this);
    progressBar_ = new QProgressBar(this);
    progressBar_->setTextVisible(false);
    progressBar_->setRange(0, 100);
    progressBar_->setValue(0);
}

// Dialog units: a quarter of the average character width across, an eighth
// of the character height down.
QRect UpgradeDialog::DialogUnits(int x, int y, int width, int height) const {
    QFontMetrics metrics(font());
    const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    int baseX = (metrics.horizontalAdvance(alphabet) / 26 + 1) / 2;
    int baseY = metrics.height();
    auto across = [baseX](int units) { return (units * baseX + 2) / 4; };
    auto down = [baseY](int units) { return (units * baseY + 4) / 8; };
    return QRect(across(x), down(y), across(width), down(height));
}

void UpgradeDialog::PlaceControls() {
    setFixedSize(DialogUnits(0, 0, DialogWidth, DialogHeight).size());
    QRect combo = DialogUnits(195, 48, 44, 51);  // the height includes the dropped list
    combo.setHeight(std::min(combo.height(), portBox_->sizeHint().height()));
    portBox_->setGeometry(combo);
    upgradeButton_->setGeometry(DialogUnits(195, 3, 44, 41));
    QRect box = DialogUnits(113, 24, 58, 8);
    int boxHeight = std::max(box.height(), fontBox_->sizeHint().height());
    fontBox_->setGeometry(
        box.adjusted(0, (box.height() - boxHeight) / 2, 0, (boxHeight - box.height() + 1) / 2));
    imageName_->setGeometry(DialogUnits(2, 3, 159, 8));
    statusLine_->setGeometry(DialogUnits(2, 42, 190, 9));
    progressBar_->setGeometry(DialogUnits(2, 51, 192, 9));
}

// The status line keeps its text; the tooltip tells why the port did not open,
// as the command line's hint does.
void UpgradeDialog::RunUpgradeFromButton() {
    UpgradeCommandOutcome outcome = RunUpgradeCommand();
    if (outcome != PortRefused && outcome != InvalidFileType) return;
    progressBar_->setValue(progressBar_->minimum());  // the last run's fill is no progress
    if (outcome != PortRefused) return;
    char entry[PortEntrySize];
    DialogBridge::ReadPortEntry(entry, sizeof entry);  // as the command read it
    std::string reason;
    ExplainRefusedPort(entry, reason);
    statusLine_->setToolTip(QString::fromLocal8Bit(reason.c_str()));
}

// The line edit keeps the scroll that kept the cursor in view, so a text a
// little wider than the field would stay cut at its start.
void UpgradeDialog::ShowPortEntryStart() {
    portBox_->lineEdit()->setCursorPosition(0);
}

// Leaving the field ends its editing; losing the window or opening the list does not.
bool UpgradeDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == portBox_ && event->type() == QEvent::FocusOut) {
        Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            ShowPortEntryStart();
    }
    return QDialog::eventFilter(watched, event);
}

void UpgradeDialog::ShowFace(bool busy) {
    const QPixmap& face = busy ? faces_->busy : faces_->idle;
    upgradeButton_->setIcon(FaceIcon(face));
    upgradeButton_->setIconSize(face.size());
    emit FaceShown(busy);
}

// A new worker starts only once the busy mark is clear, which the last one
// clears as its last act: joining it waits for no more than its return.
bool UpgradeDialog::StartWorker(void (*body)()) {
    if (worker_.joinable()) worker_.join();
    try {
        worker_ = std::thread(body);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

// Shown without blocking the dialog, which stays usable as with an ownerless
// box; the worker waits for the answer. A dialog closed meanwhile never
// answers, and the worker goes down with the process.
bool UpgradeDialog::AskYesNo(const QString& caption, const QString& text) {
    if (QThread::currentThread() == thread())
        return NewQuestion(caption, text)->exec() == QMessageBox::Yes;
    std::promise<bool> answer;
    std::future<bool> answered = answer.get_future();
    QMetaObject::invokeMethod(
        this,
        [this, &caption, &text, &answer] {
            QMessageBox* box = NewQuestion(caption, text);
            connect(box, &QMessageBox::finished, box, [this, box, &answer] {
                QObject::disconnect(box, &QMessageBox::finished, nullptr, nullptr);
                pendingQuestion_ = nullptr;
                answer.set_value(box->clickedButton() == box->button(QMessageBox::Yes));
            });
            pendingQuestion_ = box;
            box->setWindowModality(Qt::NonModal);
            box->show();
        },
        Qt::BlockingQueuedConnection);
    return answered.get();
}

QMessageBox* UpgradeDialog::NewQuestion(const QString& caption, const QString& text) {
    auto* box = new QMessageBox(QMessageBox::NoIcon, caption, text,
                                QMessageBox::Yes | QMessageBox::No, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    return box;
}

void UpgradeDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->accept();  // Escape never closes the dialog
        return;
    }
    QDialog::keyPressEvent(event);
}

bool UpgradeDialog::ConfirmCloseDuringUpgrade() {
    return QMessageBox::question(this, QString::fromLatin1(CloseDuringUpgradeCaption),
                                 QString::fromLatin1(CloseDuringUpgradeQuestion),
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

// Monitor mode holds the port too, but nothing is left half done there.
void UpgradeDialog::reject() {
    if (UpgradeWorkerRunning() && !ConfirmCloseDuringUpgrade()) return;
    if (pendingQuestion_) {
        pendingQuestion_->disconnect();
        pendingQuestion_->hide();
        pendingQuestion_ = nullptr;
    }
    QDialog::reject();
}

void UpgradeDialog::showEvent(QShowEvent* event) {
    if (!centred_ && screen()) {
        move(screen()->availableGeometry().center() - rect().center());
        centred_ = true;
    }
    QDialog::showEvent(event);
}

// The Qt dialog used as a user would: a chosen image, a pty path typed into
// the port entry, the Upgrade button, against the emulated scanner.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/access_mode.h"
#include "serial/serial.h"
#include "shell/dialog_qt.h"
#include "shell/main_dialog.h"
#include "shell/port_map_linux.h"
#include "sim/bootsim.h"
#include "tests/temp_file.h"
#include "tests/trace_capture.h"

namespace {

const sim::Identity kImage = {"ORVANE", "5800", "HW-A1", "1.00.01"};
const int kWaitMs = 60000;  // only a bound for a hung run, never a pass condition

std::vector<unsigned char> HeaderedImage(size_t size, const sim::Identity& id, uint8_t key) {
    std::mt19937 rng(key);
    sim::Bytes image = sim::BuildImageHeader(id, key, rng);
    while (image.size() < size) image.push_back(static_cast<uint8_t>(rng()));
    return image;
}

// The button's picture laid over the face's own background is the face.
bool Shows(const QPushButton* button, const QPixmap& face) {
    QImage expected = face.toImage().convertToFormat(QImage::Format_RGB32);
    QImage shown(expected.size(), QImage::Format_RGB32);
    shown.fill(expected.pixelColor(0, 0));
    QPainter painter(&shown);
    painter.drawPixmap(0, 0, button->icon().pixmap(face.size()));
    painter.end();
    return !face.isNull() && shown == expected;
}

int Kilobytes(const QString& status) {
    return status.endsWith(QStringLiteral("K byte(s) sent")) ? status.split('K').first().toInt()
                                                             : -1;
}

// The character at the field's left edge as it is painted now (the line edit
// settles its scroll when it paints).
int FirstShownCharacter(QLineEdit* entry) {
    entry->grab();
    return entry->cursorPositionAt(QPoint(entry->contentsRect().left(), entry->height() / 2));
}

void SaveScreenshot(QWidget* widget, const char* name) {
    QDir().mkpath(QStringLiteral(ORVANE_SCREENSHOT_DIR));
    QString path = QStringLiteral(ORVANE_SCREENSHOT_DIR "/%1").arg(QLatin1String(name));
    EXPECT_TRUE(widget->grab().save(path)) << path.toStdString();
    std::fprintf(stderr, "screenshot: %s\n", qPrintable(path));
}

// Answers every message box that shows up, from a timer as a user would.
class BoxAnswerer {
   public:
    struct Seen {
        QString caption, text;
        bool dialogUsable;  // no modal box in the way of the main dialog
    };

    BoxAnswerer(QMessageBox::StandardButton answer, QWidget* dialog) {
        QObject::connect(&timer_, &QTimer::timeout, [this, answer, dialog] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(w);
                if (!box || !box->isVisible()) continue;
                seen.push_back({box->windowTitle(), box->text(),
                                dialog->isEnabled() && !QApplication::activeModalWidget()});
                QTest::mouseClick(box->button(answer), Qt::LeftButton);
            }
        });
        timer_.start(20);
    }
    std::vector<Seen> seen;

   private:
    QTimer timer_;
};

class DialogTest : public ::testing::Test {
   protected:
    void SetUp() override {
        faces = LoadButtonFaces();
        ASSERT_FALSE(faces.idle.isNull());
        ASSERT_FALSE(faces.busy.isNull());
        AccessMode = EndUser;
        BusyMark = 0;
        ImagePath[0] = 0;
    }
    void TearDown() override {
        WaitUntilIdle();
        dialog.reset();
        SerialClose();
        AccessMode = EndUser;
        BusyMark = 0;
    }

    void Open(const QString& image) {
        dialog = std::make_unique<UpgradeDialog>(
            &faces, [this, image](QWidget* owner, const QString& title, const QStringList& list) {
                chooserTitle = title;
                filters = list;
                chooserBeforeShow = !owner->isVisible();
                return image;
            });
        UpgradeDialog* d = dialog.get();
        QObject::connect(d, &UpgradeDialog::StatusShown, [this, d](const QString& text) {
            statuses << text;
            EXPECT_EQ(text, d->StatusLine()->text());
            statusTips << d->StatusLine()->toolTip();
            if (!runningShotAt.isEmpty() && text == runningShotAt) {
                runningShotAt.clear();
                SaveScreenshot(d, "dialog-running.png");
            }
            if (!closeAt.isEmpty() && text == closeAt) {
                closeAt.clear();
                d->close();
            }
            if (Kilobytes(text) == 1)
                busyFaceDuringTransfer = Shows(d->UpgradeButton(), faces.busy);
        });
        QObject::connect(d, &UpgradeDialog::FaceShown,
                         [this](bool busy) { faceLog.push_back(busy); });
        QObject::connect(d->ProgressBar(), &QProgressBar::valueChanged,
                         [this](int value) { positions.push_back(value); });
        d->Initialize();
        d->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(d));
    }
    void StartScanner() {
        scanner = std::make_unique<sim::BootSim>(options);
        ASSERT_TRUE(scanner->Start());
    }
    void TypePort(const QString& text) {
        QLineEdit* entry = dialog->PortBox()->lineEdit();
        entry->clear();
        QTest::keyClicks(entry, text);
    }
    void PressUpgrade() { QTest::mouseClick(dialog->UpgradeButton(), Qt::LeftButton); }
    // Serves the event loop (which the worker's updates need) until done.
    static bool WaitUntil(const std::function<bool()>& done) {
        QEventLoop loop;
        QTimer poll, deadline;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (done()) loop.quit();
        });
        QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        poll.start(5);
        deadline.start(kWaitMs);
        if (!done()) loop.exec();
        return done();
    }
    bool WaitUntilIdle() {
        // The worker clears the busy mark before it counts as ended.
        return WaitUntil([this] { return !dialog || !UpgradeWorkerRunning(); });
    }
    // Press Upgrade with the scanner's path typed in and wait for the worker.
    void RunUpgrade() {
        TypePort(QString::fromStdString(scanner->DevicePath()));
        PressUpgrade();
        ASSERT_TRUE(WaitUntilIdle());
        scanner->WaitFor([](const sim::BootSimReport& r) { return r.started; }, 2000);
    }
    int CountCommand(const std::string& command) {
        int n = 0;
        for (const std::string& c : scanner->Report().commands) n += c == command;
        return n;
    }

    TraceCapture trace;
    ButtonFaces faces;
    std::unique_ptr<UpgradeDialog> dialog;
    sim::BootSimOptions options;
    std::unique_ptr<sim::BootSim> scanner;
    QStringList statuses, statusTips, filters;
    QString chooserTitle, runningShotAt, closeAt;
    bool chooserBeforeShow = false, busyFaceDuringTransfer = false;
    std::vector<bool> faceLog;
    std::vector<int> positions;
};

}  // namespace

TEST_F(DialogTest, FullUpgradeShowsProgressFacesAndResult) {
    std::vector<unsigned char> bytes = HeaderedImage(45000, kImage, 0x5A);
    TempFile image(bytes, ".bin");
    options.expectedKey = 0x5A;
    StartScanner();
    Open(image.Path());

    EXPECT_TRUE(chooserBeforeShow);
    EXPECT_EQ(QStringLiteral("Open file"), chooserTitle);
    EXPECT_EQ(QStringList({"BIN file (*.bin)", "FONT file (*.fon)"}), filters);
    EXPECT_EQ(QFileInfo(image.Path()).fileName(), dialog->ImageName()->text());
    EXPECT_TRUE(dialog->FontBox()->isHidden());
    EXPECT_TRUE(Shows(dialog->UpgradeButton(), faces.idle));
    TypePort(QString::fromStdString(scanner->DevicePath()));
    SaveScreenshot(dialog.get(), "dialog-idle.png");

    runningShotAt = QStringLiteral("20K byte(s) sent");
    RunUpgrade();

    EXPECT_EQ(QStringLiteral("upgrade success!!!"), dialog->StatusLine()->text());
    ASSERT_GE(statuses.size(), 4);
    EXPECT_EQ(QString(), statuses[0]);  // emptied by the press, then by the worker
    EXPECT_EQ(QString(), statuses[1]);
    EXPECT_EQ(QStringLiteral("handshaking..."), statuses[2]);
    EXPECT_EQ(QStringLiteral("erasing flash..."), statuses[3]);
    int i = 4;
    while (i < statuses.size() && statuses[i] == QStringLiteral("erasing flash...")) ++i;
    EXPECT_EQ(7, i);  // key code, flash erase, parameter erase, upload
    int last = 0;
    for (; i < statuses.size() - 1; ++i) {
        ASSERT_GE(Kilobytes(statuses[i]), last) << statuses[i].toStdString();
        last = Kilobytes(statuses[i]);
    }
    EXPECT_EQ(43, last);
    EXPECT_EQ(QStringLiteral("upgrade success!!!"), statuses.last());

    EXPECT_EQ((std::vector<bool>{false, true, false}), faceLog);  // idle, busy, idle
    EXPECT_TRUE(busyFaceDuringTransfer);
    EXPECT_TRUE(Shows(dialog->UpgradeButton(), faces.idle));
    EXPECT_EQ(354, dialog->ProgressBar()->maximum());  // measured over the whole file
    EXPECT_EQ(354, dialog->ProgressBar()->value());    // full, though the header was not sent
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_NE(positions.end(), std::find(positions.begin(), positions.end(), 346));

    sim::BootSimReport report = scanner->Report();
    EXPECT_TRUE(report.keyAccepted);
    EXPECT_TRUE(std::equal(bytes.begin() + 1024, bytes.end(), report.flash.begin()));
}

TEST_F(DialogTest, BusyMarkBlocksASecondPressUntilTheWorkerEnds) {
    TempFile image(HeaderedImage(8192, kImage, 7), ".BIN");
    StartScanner();
    Open(image.Path());
    TypePort(QString::fromStdString(scanner->DevicePath()));
    PressUpgrade();
    PressUpgrade();  // the port is held: without the busy mark this would be refused
    ASSERT_TRUE(WaitUntilIdle());
    scanner->WaitFor([](const sim::BootSimReport& r) { return r.started; }, 2000);
    EXPECT_EQ(1, scanner->Report().uploads);
    EXPECT_EQ(1, CountCommand("whoru"));
    EXPECT_EQ(2, statuses.count(QString()));
    EXPECT_FALSE(statuses.contains(QStringLiteral("Cannot open this com port")));

    RunUpgrade();  // accepted again once the worker has ended
    EXPECT_EQ(2, scanner->Report().uploads);
    EXPECT_EQ(QStringLiteral("upgrade success!!!"), statuses.last());
}

TEST_F(DialogTest, OverrideQuestionAnsweredYesGoesOn) {
    AccessMode = Override;
    options.identity = {"ORVANE", "5801", "HW-A1", "1.00.00"};
    TempFile image(HeaderedImage(4096, kImage, 9), ".bin");
    StartScanner();
    Open(image.Path());
    BoxAnswerer answerer(QMessageBox::Yes, dialog.get());
    RunUpgrade();

    ASSERT_EQ(1u, answerer.seen.size());
    EXPECT_EQ(QStringLiteral("Mismatch Module NO."), answerer.seen[0].caption);
    EXPECT_TRUE(answerer.seen[0].text.contains(QStringLiteral("Old Module No\t: 5801\n")));
    EXPECT_TRUE(answerer.seen[0].text.contains(QStringLiteral("New Module No\t: 5800\n")));
    EXPECT_TRUE(answerer.seen[0].dialogUsable);
    EXPECT_EQ(QStringLiteral("upgrade success!!!"), statuses.last());
    EXPECT_EQ(1, scanner->Report().uploads);
}

TEST_F(DialogTest, OverrideQuestionAnsweredNoStopsBeforeErasing) {
    AccessMode = Override;
    options.identity = {"ORVANE", "5801", "HW-A1", "1.00.00"};
    TempFile image(HeaderedImage(4096, kImage, 9), ".bin");
    StartScanner();
    Open(image.Path());
    BoxAnswerer answerer(QMessageBox::No, dialog.get());
    RunUpgrade();

    ASSERT_EQ(1u, answerer.seen.size());
    EXPECT_EQ(QStringLiteral("Mismatch Module NO."), statuses.last());
    EXPECT_TRUE(scanner->Report().erases.empty());
    EXPECT_TRUE(Shows(dialog->UpgradeButton(), faces.idle));
}

TEST_F(DialogTest, FontImageShowsTheBoxAndItsTickChoosesTheTargetWord) {
    TempFile image(HeaderedImage(4096, kImage, 3), ".Fon");
    StartScanner();
    Open(image.Path());
    EXPECT_FALSE(dialog->FontBox()->isHidden());
    EXPECT_EQ(QStringLiteral("KX5800/RLT4"), dialog->FontBox()->text());
    QTest::mouseClick(dialog->FontBox(), Qt::LeftButton);
    SaveScreenshot(dialog.get(), "dialog-font.png");
    RunUpgrade();
    EXPECT_EQ(0x200, FontTargetWord);
    EXPECT_EQ(QStringLiteral("upgrade success!!!"), statuses.last());
}

TEST_F(DialogTest, CancelledChooserLeavesNoImage) {
    StartScanner();
    Open(QString());
    EXPECT_TRUE(dialog->ImageName()->text().isEmpty());
    EXPECT_TRUE(dialog->FontBox()->isHidden());
    TypePort(QString::fromStdString(scanner->DevicePath()));
    PressUpgrade();
    EXPECT_EQ(QStringLiteral("Invalid file type"), dialog->StatusLine()->text());
    EXPECT_FALSE(UpgradeWorkerRunning());
}

TEST_F(DialogTest, EscapeKeepsTheDialogOpenAndCloseAsksOnlyDuringAnUpgrade) {
    TempFile image(HeaderedImage(16384, kImage, 5), ".bin");
    StartScanner();
    Open(image.Path());
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    QTest::keyClick(dialog->PortBox()->lineEdit(), Qt::Key_Escape);
    EXPECT_TRUE(dialog->isVisible());

    {
        BoxAnswerer answerer(QMessageBox::No, dialog.get());
        closeAt = QStringLiteral("2K byte(s) sent");  // the worker waits while we ask
        RunUpgrade();
        ASSERT_EQ(1u, answerer.seen.size());
        EXPECT_TRUE(answerer.seen[0].text.startsWith(QStringLiteral("An upgrade is running.")));
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(QStringLiteral("upgrade success!!!"), statuses.last());
    }
    {
        BoxAnswerer answerer(QMessageBox::Yes, dialog.get());
        closeAt = QStringLiteral("1K byte(s) sent");
        RunUpgrade();
        ASSERT_EQ(1u, answerer.seen.size());
        EXPECT_FALSE(dialog->isVisible());
    }
}

TEST_F(DialogTest, MonitorModeClosesWithoutAsking) {
    StartScanner();
    Open(QString());
    BoxAnswerer answerer(QMessageBox::No, dialog.get());
    TypePort(QStringLiteral("^") + QString::fromStdString(scanner->DevicePath()));
    PressUpgrade();
    EXPECT_EQ(1, BusyMark.load());
    EXPECT_FALSE(UpgradeWorkerRunning());
    dialog->close();
    QTest::qWait(100);  // room for a question to show up, were one asked
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_TRUE(answerer.seen.empty());
    SerialClose();
    BusyMark = 0;
}

TEST_F(DialogTest, PortListStaysSortedAndTheBarClampsItsPosition) {
    Open(QString());
    const DialogView* view = UpgradeDialog::View();
    dialog->PortBox()->clear();
    for (const char* name : {"COM2", "COM10", "com4", "COM10"}) view->addPortName(name);
    view->selectFirstPort();
    QStringList items;
    for (int i = 0; i < dialog->PortBox()->count(); ++i) items << dialog->PortBox()->itemText(i);
    EXPECT_EQ(QStringList({"COM10", "COM10", "COM2", "com4"}), items);
    EXPECT_EQ(QStringLiteral("COM10"), dialog->PortBox()->currentText());

    view->display.setProgressRange(0, 4464);
    view->display.setProgressPosition(70000);
    EXPECT_EQ(4464, dialog->ProgressBar()->value());
    view->display.setProgressRange(5, 10);
    view->display.setProgressPosition(1);
    EXPECT_EQ(5, dialog->ProgressBar()->value());

    TypePort(QString(80, QChar('x')));
    char entry[PortEntrySize];
    view->readPortEntry(entry, sizeof entry);
    EXPECT_EQ(std::string(63, 'x'), entry);
}

TEST_F(DialogTest, DroppedListIsAsWideAsItsLongestLabel) {
    Open(QString());
    QComboBox* box = dialog->PortBox();
    box->clear();
    const QString longest =
        QStringLiteral("COM97 ttyACM0 Orvane 5800 Imager Virtual COM Port (boot loader)");
    for (const QString& name :
         {QStringLiteral("COM1 ttyS0"), QStringLiteral("COM34 ttyUSB1 FT232R USB UART"), longest})
        UpgradeDialog::View()->addPortName(name.toLocal8Bit().constData());
    box->showPopup();
    QAbstractItemView* list = box->view();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(list->window()));
    SaveScreenshot(list->window(), "dialog-port-list.png");

    int textWidth = QFontMetrics(list->font()).horizontalAdvance(longest);
    EXPECT_GT(textWidth, box->width());  // else any list at least as wide as the box would do
    EXPECT_GE(list->viewport()->width(), textWidth);
    // The delegate elides a label whose cell is narrower than it asks for.
    QModelIndex widest = box->model()->index(box->findText(longest), box->modelColumn());
    EXPECT_GE(list->visualRect(widest).width(), list->sizeHintForIndex(widest).width());
    box->hidePopup();

    box->clear();
    UpgradeDialog::View()->addPortName("COM1");
    box->showPopup();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(list->window()));
    EXPECT_GE(list->window()->width(), box->width());
    box->hidePopup();
}

TEST_F(DialogTest, PortEntryShowsTheStartOfATypedPathOnceLeft) {
    Open(QString());
    dialog->activateWindow();  // focus needs an active window, which no window manager may give
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    QLineEdit* entry = dialog->PortBox()->lineEdit();
    const QString path = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A9-if00-port0");
    TypePort(path);
    ASSERT_TRUE(dialog->PortBox()->hasFocus());
    EXPECT_EQ(path.size(), entry->cursorPosition());  // still being typed: the cursor stays
    ASSERT_GT(FirstShownCharacter(entry), 0);         // scrolled to the cursor

    QTest::keyClick(entry, Qt::Key_Tab);
    ASSERT_TRUE(dialog->UpgradeButton()->hasFocus());
    EXPECT_EQ(path, entry->text());
    EXPECT_EQ(0, entry->cursorPosition());
    EXPECT_EQ(0, FirstShownCharacter(entry));
    EXPECT_EQ(path, dialog->PortBox()->toolTip());

    // Clicking Upgrade leaves the field too (a path that exists nowhere: the
    // command opens what it is given).
    QTest::mouseClick(entry, Qt::LeftButton);
    ASSERT_TRUE(dialog->PortBox()->hasFocus());
    TypePort(QStringLiteral("/dev/no-such-tty"));
    PressUpgrade();
    EXPECT_TRUE(dialog->UpgradeButton()->hasFocus());
    EXPECT_EQ(QStringLiteral("Cannot open this com port"), dialog->StatusLine()->text());
    EXPECT_EQ(QStringLiteral("/dev/no-such-tty"), entry->text());
    EXPECT_EQ(0, entry->cursorPosition());
    EXPECT_EQ(0, FirstShownCharacter(entry));
}

TEST_F(DialogTest, PortEntryShowsTheStartOfAPickedLabel) {
    Open(QString());
    dialog->activateWindow();  // focus needs an active window, which no window manager may give
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    QComboBox* box = dialog->PortBox();
    box->clear();
    const QString label = QStringLiteral("COM34 ttyUSB1 FT232R USB UART");
    for (const char* name : {"COM1 ttyS0", "COM34 ttyUSB1 FT232R USB UART"})
        UpgradeDialog::View()->addPortName(name);
    UpgradeDialog::View()->selectFirstPort();
    box->setFocus();
    box->showPopup();
    QAbstractItemView* list = box->view();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(list->window()));
    QSignalSpy picked(box, &QComboBox::activated);
    QRect item = list->visualRect(box->model()->index(box->findText(label), box->modelColumn()));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, item.center());
    ASSERT_TRUE(!picked.isEmpty() || picked.wait(kWaitMs));

    QLineEdit* entry = box->lineEdit();
    EXPECT_EQ(label, entry->text());
    ASSERT_GT(entry->fontMetrics().horizontalAdvance(label), entry->width());
    EXPECT_EQ(0, entry->cursorPosition());
    EXPECT_EQ(0, FirstShownCharacter(entry));
    EXPECT_EQ(label, box->toolTip());
}

TEST_F(DialogTest, RefusedPortTellsWhyInTheStatusTooltip) {
    Open(QString());
    TypePort(QStringLiteral("/dev/no-such-tty"));
    PressUpgrade();
    EXPECT_EQ(QStringLiteral("Cannot open this com port"), dialog->StatusLine()->text());
    EXPECT_TRUE(dialog->StatusLine()->toolTip().startsWith(
        QStringLiteral("no such device: /dev/no-such-tty;")))
        << dialog->StatusLine()->toolTip().toStdString();

    TypePort(QStringLiteral("COM250"));
    PressUpgrade();
    EXPECT_EQ(QStringLiteral("Cannot open this com port"), dialog->StatusLine()->text());
    EXPECT_EQ(QStringLiteral("COM250 is not a serial port of this system"),
              dialog->StatusLine()->toolTip());
}

// A listed adapter whose device node has gone: the reason names the device, not the label.
TEST_F(DialogTest, RefusedListedPortNamesItsDevice) {
    namespace fs = std::filesystem;
    struct FakePorts {
        fs::path root =
            fs::temp_directory_path() /
            ("orvane-dialog-ports-" + std::to_string(QCoreApplication::applicationPid()));
        FakePorts() {
            fs::remove_all(root);
            fs::path usb = root / "devices/usb1/1-1";
            fs::create_directories(usb / "1-1:1.0/ttyUSB1");
            std::ofstream(usb / "product") << "FT232R USB UART\n";
            fs::create_directories(root / "class/tty/ttyUSB1");
            fs::create_directory_symlink(usb / "1-1:1.0/ttyUSB1",
                                         root / "class/tty/ttyUSB1/device");
            fs::create_directories(root / "dev");  // without the node
            SetPortMapRoots((root / "class/tty").c_str(), (root / "dev").c_str());
        }
        ~FakePorts() {
            SetPortMapRoots(nullptr, nullptr);
            fs::remove_all(root);
        }
    } ports;

    Open(QString());
    EXPECT_EQ(QStringLiteral("COM34 ttyUSB1 FT232R USB UART"), dialog->PortBox()->currentText());
    PressUpgrade();
    EXPECT_EQ(QStringLiteral("Cannot open this com port"), dialog->StatusLine()->text());
    std::string device = (ports.root / "dev/ttyUSB1").string();
    EXPECT_TRUE(dialog->StatusLine()->toolTip().startsWith(
        QString::fromStdString("no such device: " + device + ";")))
        << dialog->StatusLine()->toolTip().toStdString();
}

TEST_F(DialogTest, RefusalAfterAnUpgradeEmptiesTheBarAndALaterRunDropsTheReason) {
    TempFile image(HeaderedImage(4096, kImage, 11), ".bin");
    StartScanner();
    Open(image.Path());
    QProgressBar* bar = dialog->ProgressBar();
    QLabel* status = dialog->StatusLine();
    RunUpgrade();
    ASSERT_EQ(QStringLiteral("upgrade success!!!"), statuses.last());
    ASSERT_GT(bar->value(), bar->minimum());

    TypePort(QStringLiteral("/dev/no-such-tty"));
    PressUpgrade();
    EXPECT_EQ(QStringLiteral("Cannot open this com port"), status->text());
    EXPECT_EQ(bar->minimum(), bar->value());
    EXPECT_FALSE(status->toolTip().isEmpty());

    qsizetype before = statusTips.size();
    RunUpgrade();
    ASSERT_EQ(QStringLiteral("upgrade success!!!"), statuses.last());
    ASSERT_GT(statusTips.size(), before);
    for (qsizetype i = before; i < statusTips.size(); ++i)
        EXPECT_EQ(QString(), statusTips[i]) << statuses[i].toStdString();
    EXPECT_EQ(QString(), status->toolTip());
    ASSERT_GT(bar->value(), bar->minimum());

    std::snprintf(ImagePath, sizeof ImagePath, "%s", "notes.txt");
    TypePort(QString::fromStdString(scanner->DevicePath()));
    PressUpgrade();
    EXPECT_EQ(QStringLiteral("Invalid file type"), status->text());
    EXPECT_EQ(bar->minimum(), bar->value());
    EXPECT_EQ(QString(), status->toolTip());  // the port did open
}

int main(int argc, char** argv) {
    // These tests never need a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

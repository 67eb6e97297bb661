#include "upgrade/form1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include "platform/boxes.h"
#include "platform/clock.h"
#include "platform/datadir.h"
#include "platform/qt/dialogs.h"
#include "upgrade/registry.h"
#include "upgrade/serialport.h"
#include "upgrade/uploadlink.h"

namespace fs = std::filesystem;

namespace upgrade {

const char kBootLoaderFile[] = "W39L512.dat";
const char kFatStub[] = "FAT STUB\r\n";
const char kFlashOk[] = "FLASH OK\r\n";

namespace {

const char kCaption[] = "Corvane Software Updater V0.4";
const char kMainProgramKey[] = "Software\\Hobrin\\corvane\\1.0";
const QColor kRed(255, 0, 0);
const QColor kGreen(0, 255, 0);
constexpr int kAutoEndMs = 2000;

int64_t Now() { return platform::clock().NowMs(); }
void Rest() { platform::clock().SleepMs(kPassMs); }

} // namespace

std::string FirmwareDir() {
    const char* env = std::getenv("CORVANE_FIRMWARE_DIR");
    if (env && *env) return env;
    return platform::ProgramDir();
}

std::vector<std::string> FilesMatching(const std::string& dir, const std::string& pattern) {
    auto fold = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        return text;
    };
    const bool wild = !pattern.empty() && pattern[0] == '*';
    const std::string want = fold(wild ? pattern.substr(1) : pattern);
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() < want.size() || (!wild && name.size() != want.size())) continue;
        if (fold(name.substr(name.size() - want.size())) != want) continue;
        if (it->is_regular_file(ec)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string BootLoaderPath(const std::string& dir) {
    const std::vector<std::string> found = FilesMatching(dir, kBootLoaderFile);
    std::string name = kBootLoaderFile;
    if (!found.empty() && std::find(found.begin(), found.end(), name) == found.end())
        name = found.front();
    return (fs::path(dir) / name).string();
}

Form1::Form1(const QString& commandLine, UploadLink* link, QWidget* parent)
    : QMainWindow(parent),
      commandLine_(commandLine),
      ownLink_(link ? nullptr : std::make_unique<CommLink>()),
      MSComm1(link ? *link : *ownLink_) {
    setObjectName("Form1");
    setWindowTitle(kCaption);

    auto* central = new QWidget(this);
    Command1 = new QPushButton("Program", central);
    Command1->setObjectName("Command1");
    Label1 = new QLabel(central);
    Label1->setObjectName("Label1");
    Label1->setTextFormat(Qt::PlainText);
    QFont bold = Label1->font();
    bold.setBold(true);
    Label1->setFont(bold);
    Label1->setAutoFillBackground(true);
    Label1->setMinimumWidth(240);
    ProgressBar1 = new QProgressBar(central);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setTextVisible(false);
    ProgressBar1->hide();
    auto* grid = new QGridLayout(central);
    grid->addWidget(Command1, 0, 0);
    grid->addWidget(Label1, 0, 1);
    grid->addWidget(ProgressBar1, 1, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    setCentralWidget(central);

    mnuExit = menuBar()->addAction("E&xit");
    mnuComport = menuBar()->addAction("&COM port");

    TimerAuto = new QTimer(this);
    TimerAuto->setObjectName("TimerAuto");
    TimerAuto->setInterval(kAutoEndMs);
    TimerAuto->setTimerType(Qt::PreciseTimer);   // a coarse one may end the program early

    Beep = [] { QApplication::beep(); };
    EndProgram = [] { QCoreApplication::exit(0); };

    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(mnuExit, &QAction::triggered, this, &Form1::mnuExit_Click);
    connect(mnuComport, &QAction::triggered, this, &Form1::mnuComport_Click);
    connect(TimerAuto, &QTimer::timeout, this, &Form1::TimerAuto_Timer);
    MSComm1.OnComm = [this] { MSComm1_OnComm(); };
}

Form1::~Form1() {
    MSComm1.OnComm = nullptr;
    try {
        if (MSComm1.PortOpen()) MSComm1.SetPortOpen(false);
    } catch (...) {
    }
}

QColor Form1::StatusColour() const { return Label1->palette().color(QPalette::Window); }

void Form1::Form_Load() {
    ComPort = ValueNumber(ReadRegistryValue(HKEY_CURRENT_USER, kMainProgramKey, "Port"), 0);
    if (ComPort < 0) ShowSerialPort(this);
    AutoMode = commandLine_ == "AUTO";
    show();
    if (AutoMode) QTimer::singleShot(0, this, &Form1::Command1_Click);
}

void Form1::MSComm1_OnComm() {
    try {
        if (MSComm1.CommEvent() == 2) RxBuffer += MSComm1.Input();
    } catch (...) {
        // The receive event reports nothing; a failing line shows in the waits.
    }
}

void Form1::mnuComport_Click() { ShowSerialPort(this); }

void Form1::mnuExit_Click() {
    ending_ = true;
    EndProgram();
}

void Form1::TimerAuto_Timer() {
    TimerAuto->stop();
    ending_ = true;
    EndProgram();
}

void Form1::closeEvent(QCloseEvent* event) {
    ending_ = true;
    EndProgram();
    event->accept();
}

std::string Form1::ChooseCodeFile() {
    const std::string dir = FirmwareDir();
    const std::vector<std::string> found = FilesMatching(dir, "*.hex");
    if (found.size() == 1) return (fs::path(dir) / found.front()).string();

    QFileDialog dialog(this, QString(), QString::fromStdString(dir));
    dialog.setObjectName("CommonDialog");
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({"Hex files (*.hex)", "All Files (*)"});
    if (platform::ExecModal(dialog) != QDialog::Accepted) return "";
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty() || chosen.front().isEmpty()) return "";
    const std::string path = chosen.front().toStdString();
    std::error_code ec;
    return fs::is_regular_file(path, ec) ? path : "";
}

void Form1::Command1_Click() {
    if (running_) return;
    const std::string codePath = ChooseCodeFile();
    if (codePath.empty()) return;

    running_ = true;
    phase_ = Phase::BootLoader;
    Command1->setEnabled(false);
    try {
        Upload(codePath);
    } catch (const Ended&) {
    } catch (const Aborted&) {
    } catch (const platform::UnansweredBox&) {
        Finish();
        throw;
    } catch (const std::exception&) {
        // A failing serial operation: the phase it broke says which transfer failed.
        try {
            Fail(phase_);
        } catch (const Ended&) {
        }
    }
    Finish();
}

void Form1::Finish() {
    try {
        if (MSComm1.PortOpen()) MSComm1.SetPortOpen(false);
    } catch (...) {
    }
    Command1->setEnabled(true);
    running_ = false;
}

void Form1::Upload(const std::string& codePath) {
    ComPort = ReadPortSetting();
    if (ComPort < 0) {
        ShowSerialPort(this);
        ComPort = ReadPortSetting();
    }
    if (ComPort < 0) throw Ended{};   // no port chosen: nothing has started
    MSComm1.SetCommPort(ComPort);

    SetStatus("transferring boot loader", QApplication::palette().color(QPalette::Button));
    RxBuffer.clear();

    // Both images are read and checked before the unit leaves its normal mode.
    HexOutcome read = ReadHexImage(BootLoaderPath(FirmwareDir()), BootImage);
    if (read == HexOutcome::Refused) throw Ended{};
    if (read != HexOutcome::Read || BootImage.ImageEnd() == 0 ||
        BootImage.ImageEnd() > kMaxBootLoader)
        Fail(Phase::BootLoader);
    read = ReadHexImage(codePath, CodeImage);
    if (read == HexOutcome::Refused) throw Ended{};
    if (read != HexOutcome::Read || CodeImage.ImageEnd() == 0 ||
        CodeImage.ImageEnd() > kMaxMainCode)
        Fail(Phase::MainCode);

    // Upgrade mode: the command at 2400 baud, then the boot loader at 19200 baud.
    MSComm1.SetSettings("2400,n,8,1");
    MSComm1.SetPortOpen(true);
    Pause(2000);
    RxBuffer.clear();
    MSComm1.Output(std::string("ATE0+XLDR\r"));
    Pause(1000);
    MSComm1.SetPortOpen(false);

    MSComm1.SetSettings("19200,n,8,1");
    MSComm1.SetPortOpen(true);
    Pause(100);
    DoEvents();
    RxBuffer.clear();
    MSComm1.Output(BootImage.data);
    DoEvents();
    const int trailer = BootImage.ImageEnd() + 258;
    LengthTrailer = {uint8_t(trailer / 256), uint8_t(trailer % 256)};
    MSComm1.Output(LengthTrailer);
    WaitFatStub();

    phase_ = Phase::MainCode;
    DoEvents();
    SendMainCode();
    // From here on "FLASH OK" must be all that comes; a unit that answers before the queue
    // is seen empty is not missed.
    RxBuffer.clear();
    WaitDrained();
    WaitFlashOk();
}

void Form1::SendMainCode() {
    const int end = CodeImage.ImageEnd();
    TxBlock = {uint8_t(end % 256), uint8_t(end / 256), 0, 0};
    MSComm1.Output(TxBlock);

    SetStatus("Transferring main code", StatusColour());
    ProgressBar1->setValue(0);
    ProgressBar1->setMaximum(end + 1);
    ProgressBar1->show();

    int p = 1;   // 1-based index of the next byte
    while (p <= end) {
        const int size = std::min(kBlockSize, end - p + 1);
        TxBlock.assign(CodeImage.data.begin() + (p - 1), CodeImage.data.begin() + (p - 1 + size));
        p += size;
        const int64_t start = Now();
        while (true) {
            DoEvents();
            if (Now() - start > kReplyTimeoutMs) Fail(Phase::MainCode);
            if (MSComm1.OutBufferCount() == 0 && MSComm1.CTSHolding()) break;
            Rest();
        }
        MSComm1.Output(TxBlock);
        ProgressBar1->setValue(p);
    }
    ProgressBar1->hide();
}

// "FAT STUB" must be all that came since the buffer was emptied. Its time counts from the
// moment the boot loader has left the output queue; the queue itself must keep moving.
void Form1::WaitFatStub() {
    int64_t movedAt = Now();
    int64_t drainedAt = -1;
    int lastQueued = INT_MAX;
    while (true) {
        DoEvents();
        if (RxBuffer == kFatStub) return;
        const int64_t now = Now();
        if (drainedAt < 0) {
            const int queued = MSComm1.OutBufferCount();
            if (queued == 0) {
                drainedAt = now;
            } else if (queued < lastQueued) {
                lastQueued = queued;
                movedAt = now;
            } else if (now - movedAt > kReplyTimeoutMs) {
                Fail(Phase::BootLoader);
            }
        }
        if (drainedAt >= 0 && now - drainedAt > kReplyTimeoutMs) Fail(Phase::BootLoader);
        Rest();
    }
}

void Form1::WaitDrained() {
    const int64_t start = Now();
    while (true) {
        DoEvents();
        if (MSComm1.OutBufferCount() == 0) return;
        if (Now() - start > kReplyTimeoutMs) Fail(Phase::MainCode);
        Rest();
    }
}

void Form1::WaitFlashOk() {
    const int64_t start = Now();
    while (true) {
        DoEvents();
        if (RxBuffer == kFlashOk) break;
        if (Now() - start > kReplyTimeoutMs) Fail(Phase::MainCode);
        Rest();
    }
    SetStatus("Programming OK", kGreen);
    if (AutoMode) TimerAuto->start();
}

void Form1::Fail(Phase phase) {
    SetStatus(phase == Phase::BootLoader ? "Bootloader Transfer failed" : "Code Transfer failed",
              kRed);
    if (Beep) Beep();
    throw Ended{};
}

void Form1::SetStatus(const QString& text, const QColor& colour) {
    Label1->setText(text);
    QPalette palette = Label1->palette();
    palette.setColor(QPalette::Window, colour);
    Label1->setPalette(palette);
}

void Form1::DoEvents() {
    QCoreApplication::processEvents();
    if (ending_) throw Aborted{};
}

void Form1::Pause(int64_t ms) {
    const int64_t start = Now();
    while (true) {
        DoEvents();
        const int64_t left = ms - (Now() - start);
        if (left <= 0) return;
        platform::clock().SleepMs(std::min(left, kPassMs));
    }
}

} // namespace upgrade

// The updater's main window and the upload: the boot loader and the main code go to the
// unit's boot loader over the serial line, with the course and the result in the window.
#pragma once
#include <QMainWindow>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "upgrade/hexfile.h"

class QAction;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace upgrade {

class UploadLink;

// Where the firmware files lie: $CORVANE_FIRMWARE_DIR when set, else the program's directory.
std::string FirmwareDir();

// The regular files of dir whose names match pattern, a name or "*" and an ending, in any
// letter case; sorted by name.
std::vector<std::string> FilesMatching(const std::string& dir, const std::string& pattern);

// The boot loader file of dir: "W39L512.dat" in any letter case, that spelling first.
std::string BootLoaderPath(const std::string& dir);

extern const char kBootLoaderFile[];      // "W39L512.dat"
extern const char kFatStub[];             // the unit's reply after the boot loader
extern const char kFlashOk[];             // the unit's reply after the main code
constexpr int kMaxBootLoader = 65277;     // its length field carries size + 258 in 16 bits
constexpr int kMaxMainCode = 65535;
constexpr int kBlockSize = 100;
constexpr int64_t kReplyTimeoutMs = 5000;
constexpr int64_t kPassMs = 1;            // rest between two passes of a wait

class Form1 : public QMainWindow {
    Q_OBJECT
public:
    // commandLine: the program's arguments as one text. link: the serial control to use
    // (not owned); nullptr makes the window use the real one.
    explicit Form1(const QString& commandLine, UploadLink* link = nullptr,
                   QWidget* parent = nullptr);
    ~Form1() override;

    // Start-up: reads the main program's port, asks for a port first when it is negative,
    // shows the window and, given "AUTO", starts the upload from the event loop.
    void Form_Load();
    // The upload; returns when it has ended, whichever way.
    void Command1_Click();
    void MSComm1_OnComm();
    void mnuComport_Click();
    void mnuExit_Click();
    void TimerAuto_Timer();

    bool Uploading() const { return running_; }
    QColor StatusColour() const;

    // Controls.
    QPushButton* Command1;
    QLabel* Label1;
    QProgressBar* ProgressBar1;
    QTimer* TimerAuto;
    QAction* mnuExit;
    QAction* mnuComport;

    // State.
    int32_t ComPort = 0;
    bool AutoMode = false;
    std::string RxBuffer;
    HexImage BootImage;
    HexImage CodeImage;
    std::vector<uint8_t> LengthTrailer;
    std::vector<uint8_t> TxBlock;

    // Seams: the system beep, and ending the program.
    std::function<void()> Beep;
    std::function<void()> EndProgram;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    enum class Phase { BootLoader, MainCode };
    struct Ended {};     // the upload is over; its outcome has been shown (or is silent)
    struct Aborted {};   // the program is ending

    std::string ChooseCodeFile();
    void Upload(const std::string& codePath);
    void SendMainCode();
    void WaitFatStub();
    void WaitDrained();
    void WaitFlashOk();
    [[noreturn]] void Fail(Phase phase);
    void SetStatus(const QString& text, const QColor& colour);
    void DoEvents();
    void Pause(int64_t ms);
    void Finish();

    QString commandLine_;
    std::unique_ptr<UploadLink> ownLink_;
    UploadLink& MSComm1;
    Phase phase_ = Phase::BootLoader;
    bool running_ = false;
    bool ending_ = false;
};

} // namespace upgrade

// The main window: tray-resident, folder tree and panes, the serial port, the receive
// timers, start-up and window life.
#pragma once
#include <QIcon>
#include <QMainWindow>
#include <memory>
#include <string>

#include "engine/mainwindow.h"
#include "platform/serial.h"

class QAction;
class QMenu;
class QPrinter;
class QSplitter;
class QStatusBar;
class QSystemTrayIcon;
class QTimer;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;
class QFileDialog;
class TMSGFrame1;
class TPBFrame1;
class TDBGFrame1;
namespace platform { class CommPump; }

class TMainForm : public QMainWindow, public IMainWindow {
    Q_OBJECT
public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // Start-up and window life.
    void FormCreate();
    void FormCloseQuery(bool& canClose);
    void FormClose();
    void Exit1Click();
    void MaximiseClick();
    void AppMinimize();
    void AppRestore();
    void TrayDoubleClick();
    void QueryEndSession();
    // Power events: 0 query suspend; 2, 6, 7, 18 cancel or resume. Returns 1.
    int PowerBroadcast(int event);

    // Views and actions.
    void ShowView(int view);
    void DirsChange(QTreeWidgetItem* node);
    void NewSMSExecute();
    void ReplyActionExecute();
    void ActionResendExecute();
    void PrintDlg1Execute();                  // opens the print dialog
    void PrintDlg1Accept(QPrinter& printer);  // prints the current view's preview
    void ImportPBExecute();
    void ActionOptionsExecute();
    void HelpAboutExecute();

    // The serial port (the engine reaches these through IMainWindow).
    int WriteToModem(const std::string& text) override;
    bool OpenPort(int n) override;
    void SetPort(int n) override;
    bool ClosePort() override;
    std::string ReadInput() override;
    void SetCommPort(int n) override;
    void AddTrace(const std::string& text, bool received) override;
    void AddInboxMessage(const std::string& number, const std::string& text,
                         const std::string& date, bool old) override;
    void MSComm1Comm();

    // Receive timers.
    void Timer1Timer();
    void RXPollTimerTimer();

    // Tray icon.
    void AddTrayIcon();
    void ModifyIcon(int kind) override;
    void RemoveTrayIcon();
    QString TrayTip() const;     // the tip in force
    int TrayKind() const;        // 1 normal, 2 mail waiting

    // Controls and components, named as the layout names them.
    platform::CommControl MSComm1;
    QTreeWidget* Dirs = nullptr;
    QSplitter* Splitter1 = nullptr;
    TMSGFrame1* MSGFrame11 = nullptr;
    TMSGFrame1* MSGFrameSent = nullptr;
    TMSGFrame1* MSGFrameUnsent = nullptr;
    TPBFrame1* PBFrame11 = nullptr;
    TDBGFrame1* DBGFrame11 = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QToolBar* ActionToolBar1 = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* RXPollTimer = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* Maximise = nullptr;
    QAction* Exit1 = nullptr;
    QAction* About1 = nullptr;

    QAction* NewSMS = nullptr;
    QAction* ReplyAction = nullptr;
    QAction* ActionResend = nullptr;
    QAction* PrintDlg1 = nullptr;
    QAction* ImportPB = nullptr;
    QAction* ActionOptions = nullptr;
    QAction* HelpAbout = nullptr;
    QAction* HelpContents1 = nullptr;
    QAction* MyActionExit = nullptr;
    QAction* EditCut1 = nullptr;
    QAction* EditCopy1 = nullptr;
    QAction* EditPaste1 = nullptr;
    QAction* EditSelectAll1 = nullptr;

    QIcon NormalIcon;
    QIcon MailIcon;
    QSystemTrayIcon* TrayIcon = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<platform::CommPump> pump_;
    int trayKind_ = 1;
};

extern TMainForm* MainForm;

// The main window: tray-resident, folder tree and panes, the serial port, the receive
// timers, start-up and window life.
#pragma once
#include <QIcon>
#include <QMainWindow>
#include <QPointer>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>
#include <string>

#include "engine/portwindow.h"
#include "platform/qt/trayhost.h"

class QAction;
class QMenu;
class QPrinter;
class QSplitter;
class QStatusBar;
class QTimer;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;
class QFileDialog;
class TMSGFrame1;
class TPBFrame1;
class TDBGFrame1;
namespace platform { class CommPump; }

class TMainForm : public QMainWindow, public PortWindow {
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
    // A resume is carried out from the event loop; each notice searches, and at most one
    // "not found" box is open at a time.
    int PowerBroadcast(int event);
    // True while a suspend waits for the running exchange to end before closing the port.
    bool SuspendClosePending() const { return closePending_; }
    // Run by a short timer while a close is pending, one call a wait: closes the port once
    // no exchange runs; after the hundredth wait it gives up and leaves the port open.
    void CheckPendingClose();
    // Follows the login manager's sleep signal on the system bus and holds a delay lock
    // so the port can be closed first. False when there is no system bus.
    bool WatchPowerEvents();

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
    void HelpContents1Execute();
    // Help context of the widget that has the focus: 160 message lists, 130 phonebook and
    // debug pane, 100 the rest of the main window.
    int FocusHelpContext() const;
    int HelpContextOf(const QWidget* widget) const;
    void UpdateEditActions();

    // The serial port: the rules are PortWindow's (the engine reaches them through
    // IMainWindow); the window adds the trace, the Inbox and the receive event.
    void AddTrace(const std::string& text, bool received) override;
    InboxFiling AddInboxMessage(const std::string& number, const std::string& text,
                                const std::string& date, bool old, bool readBefore) override;
    void MSComm1Comm();

    // Tray icon. It is put up once the desktop has a tray; until then it is looked for
    // again every TrayLookMs (a program started with the session often comes before the
    // panel).
    void AddTrayIcon();
    void ModifyIcon(int kind) override;
    void RemoveTrayIcon();
    void LookForTray();
    // A click on the icon: the left click on a StatusNotifierItem host (which never
    // reports a double-click), the left double-click on an XEmbed tray, restores.
    void TrayActivated(QSystemTrayIcon::ActivationReason reason);
    QString TrayTip() const;     // the tip in force
    int TrayKind() const;        // 1 normal, 2 mail waiting
    static constexpr int TrayLookMs = 1000;
    // Whether the desktop has a tray; without one the window is never hidden away.
    bool TrayAvailable = false;
    // The protocol of the tray the icon is on; Absent until there is one.
    platform::TrayHost TrayProtocol = platform::TrayHost::Absent;

    // Controls and components, named as the layout names them (MSComm1 is PortWindow's).
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
    QAction* HelpContext = nullptr;   // F1

    QIcon NormalIcon;
    QIcon MailIcon;
    QSystemTrayIcon* TrayIcon = nullptr;

protected:
    bool NoticeCheckDisabled() const override;
    bool PollDisabled() const override;
    void ShowExchangeError(const std::string& text) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private slots:
    void PrepareForSleep(bool start);

private:
    void BuildActions();
    void BuildMenus();
    void BuildTree();
    void FindAndPoll();
    void ResumeScan();
    void ShowNotFound();   // "The Corvane modem unit was not found.", unless one is open
    void TakeSleepLock();
    void ReleaseSleepLock();
    void WatchEditTarget(QWidget* now);

    std::unique_ptr<platform::CommPump> pump_;
    int trayKind_ = 1;
    QTimer* trayLook_ = nullptr;
    QTimer* closeCheck_ = nullptr;
    bool closePending_ = false;
    int closeWaits_ = 0;
    bool notFoundOpen_ = false;
    int sleepLock_ = -1;                 // the login manager's delay lock, -1 when none
    QPointer<QWidget> editTarget_;
};

extern TMainForm* MainForm;

// Shows an error that ended a handler in an "Error" box; while one such box is open,
// further errors are not stacked on top of it.
void ShowHandlerError(const std::string& text);
// Runs a handler's work; an error it raises is shown by ShowHandlerError and the program
// runs on. A box that a test left unanswered still passes through.
void RunGuarded(const std::function<void()>& work);

// How the program asks the event loop to end; tests replace it. Returns the previous hook.
std::function<void()> SetQuitHook(std::function<void()> hook);

// The start of the program: creates the seven windows in their order, each complete
// before the next, runs the event loop unless Exit came during start-up, and destroys
// the windows. An error that escapes is shown in a box. Returns 0.
int RunCorvane();
void CreateForms();
void DestroyForms();
// SIGTERM, the session manager's end of the session and the login manager's shutdown take
// the Exit road.
void InstallSessionEndHandlers();

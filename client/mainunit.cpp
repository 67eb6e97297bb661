#include "client/mainunit.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSocketNotifier>
#include <QSplitter>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTextEdit>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <csignal>
#include <stdexcept>
#include <fcntl.h>
#include <unistd.h>

#include "client/about.h"
#include "client/compose.h"
#include "client/config.h"
#include "client/dbgframe.h"
#include "client/msgframe.h"
#include "client/passwd.h"
#include "client/pbframe.h"
#include "client/sessionwatch.h"
#include "engine/globals.h"
#include "engine/serparse.h"
#include "engine/settings.h"
#include "platform/boxes.h"
#include "platform/cp1252.h"
#include "platform/datadir.h"
#include "platform/qt/commpump.h"
#include "platform/qt/dialogs.h"
#include "platform/qt/help.h"

// Resources of a static library are registered by hand.
static void InitClientResources() { Q_INIT_RESOURCE(corvane); }

TMainForm* MainForm = nullptr;

namespace {

const char* const kNotFound = "The Corvane modem unit was not found.";
constexpr int kSuspendWaits = 100;   // waits of 100 ms for an exchange before a suspend
const char* const kHelpContext = "helpContext";
const char* const kLogin1 = "org.freedesktop.login1";
const char* const kLogin1Path = "/org/freedesktop/login1";
const char* const kLogin1Manager = "org.freedesktop.login1.Manager";

std::function<void()> g_quit = [] { QCoreApplication::exit(0); };

// Runs its action when the scope ends, whichever way.
template <class F> struct AtExit {
    F f;
    ~AtExit() { f(); }
};
template <class F> AtExit(F) -> AtExit<F>;

QString Q(const std::string& bytes) { return platform::FromCp1252(bytes); }

// Hints are "short|long": the short text is the tool tip, the long one the status tip.
void SetHint(QAction* action, const QString& hint) {
    const int bar = hint.indexOf('|');
    action->setToolTip(bar < 0 ? hint : hint.left(bar));
    action->setStatusTip(bar < 0 ? hint : hint.mid(bar + 1));
}

} // namespace

void ShowHandlerError(const std::string& text) {
    static bool open = false;
    if (open) return;
    open = true;
    AtExit reset{[] { open = false; }};
    platform::MessageBox(platform::Utf8ToCp1252(text), "Error");
}

void RunGuarded(const std::function<void()>& work) {
    try {
        work();
    } catch (const platform::UnansweredBox&) {
        throw;
    } catch (const std::exception& e) {
        ShowHandlerError(e.what());
    }
}

std::function<void()> SetQuitHook(std::function<void()> hook) {
    std::function<void()> previous = std::move(g_quit);
    g_quit = hook ? std::move(hook) : [] { QCoreApplication::exit(0); };
    return previous;
}

// ---------------------------------------------------------------------------------------
// Construction

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent) {
    InitClientResources();
    MainForm = this;
    SetMainWindow(this);
    platform::SetModalOwner(this);
    setObjectName("MainForm");
    setProperty(kHelpContext, 100);
    resize(587, 406);

    Splitter1 = new QSplitter(Qt::Horizontal, this);
    Splitter1->setObjectName("Splitter1");
    Splitter1->setChildrenCollapsible(false);
    BuildTree();
    Splitter1->addWidget(Dirs);

    auto* panes = new QWidget(Splitter1);
    auto* paneLayout = new QVBoxLayout(panes);
    paneLayout->setContentsMargins(0, 0, 0, 0);
    MSGFrame11 = new TMSGFrame1(panes);
    MSGFrameSent = new TMSGFrame1(panes);
    MSGFrameUnsent = new TMSGFrame1(panes);
    PBFrame11 = new TPBFrame1(panes);
    DBGFrame11 = new TDBGFrame1(panes);
    const std::pair<QWidget*, int> frames[] = {{MSGFrame11, 160}, {MSGFrameSent, 160},
                                               {MSGFrameUnsent, 160}, {PBFrame11, 130},
                                               {DBGFrame11, 130}};
    for (const auto& [frame, context] : frames) {
        frame->setProperty(kHelpContext, context);
        frame->setVisible(false);
        paneLayout->addWidget(frame);
    }
    Splitter1->addWidget(panes);
    Splitter1->setStretchFactor(1, 1);
    Splitter1->setSizes({121, 466});
    setCentralWidget(Splitter1);

    StatusBar1 = statusBar();
    BuildActions();
    BuildMenus();

    if (const QScreen* s = screen())
        move(s->availableGeometry().center() - rect().center());

    NormalIcon = QIcon(":/corvane/littleicon.xpm");
    MailIcon = QIcon(":/corvane/mailicon.xpm");
    setWindowIcon(NormalIcon);
    AddTrayIcon();

    MSComm1.OnComm = [this] { MSComm1Comm(); };
    pump_ = std::make_unique<platform::CommPump>(MSComm1);
    pump_->OnHangUp = [this] { RunGuarded([this] { LineHungUp(); }); };

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(250);
    // Queued: a timer does not fire again inside its own handler, so a box opened by a tick
    // would stop that timer until it is answered; from the posted call it keeps ticking.
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); }, Qt::QueuedConnection);
    RXPollTimer = new QTimer(this);
    RXPollTimer->setObjectName("RXPollTimer");
    RXPollTimer->setInterval(60000);
    connect(RXPollTimer, &QTimer::timeout, this, [this] { RXPollTimerTimer(); },
            Qt::QueuedConnection);
    Timer1->start();
    RXPollTimer->start();

    closeCheck_ = new QTimer(this);
    closeCheck_->setInterval(100);
    connect(closeCheck_, &QTimer::timeout, this, &TMainForm::CheckPendingClose);
}

TMainForm::~TMainForm() {
    // The base class destroys the children after this body and the members are gone; focus
    // moves while they go, and a signal must not reach this window then.
    disconnect(qApp, nullptr, this, nullptr);
    disconnect(QApplication::clipboard(), nullptr, this, nullptr);
    if (editTarget_) disconnect(editTarget_, nullptr, this, nullptr);
    RemoveTrayIcon();
    ReleaseSleepLock();
    pump_.reset();
    if (MainForm == this) MainForm = nullptr;
    try {
        if (&MainWindow() == this) SetMainWindow(nullptr);
    } catch (const std::logic_error&) {
        // no window was set
    }
}

void TMainForm::BuildTree() {
    Dirs = new QTreeWidget(this);
    Dirs->setObjectName("Dirs");
    Dirs->setProperty(kHelpContext, 100);
    Dirs->setHeaderHidden(true);
    Dirs->setRootIsDecorated(false);
    Dirs->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Dirs->setMinimumWidth(100);

    QIcon folder(":/corvane/folder.xpm");
    folder.addFile(":/corvane/folder-open.xpm", {}, QIcon::Selected);
    QIcon book(":/corvane/book.xpm");
    book.addFile(":/corvane/book-open.xpm", {}, QIcon::Selected);
    for (const char* name : {"Inbox", "Sent", "Drafts"})
        new QTreeWidgetItem(Dirs, QStringList{name});
    for (int i = 0; i < 3; ++i) Dirs->topLevelItem(i)->setIcon(0, folder);
    (new QTreeWidgetItem(Dirs, QStringList{"Phonebook"}))->setIcon(0, book);

    connect(Dirs, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* node, QTreeWidgetItem*) { DirsChange(node); });
}

void TMainForm::BuildActions() {
    auto make = [this](const char* name, const QString& text, const QString& hint,
                       const char* image, bool enabled) {
        auto* action = new QAction(text, this);
        action->setObjectName(name);
        if (!hint.isEmpty()) SetHint(action, hint);
        if (image) action->setIcon(QIcon(QString(":/corvane/") + image));
        action->setEnabled(enabled);
        addAction(action);   // shortcuts work wherever the window has the focus
        return action;
    };
    NewSMS = make("NewSMS", "&NewSMS", "Compose|Compose a new SMS message", "compose.xpm", true);
    ReplyAction = make("ReplyAction", "Reply", "Reply|Reply to this message", "reply.xpm", false);
    ActionResend = make("ActionResend", "Edit and Resend",
                        "Edit and Resend|Open this message in the compose window ready to be "
                        "resent",
                        "resend.xpm", true);
    PrintDlg1 = make("PrintDlg1", "&Print...", "Print|Print the selected message", "print.xpm",
                     false);
    PrintDlg1->setShortcut(QKeySequence("Ctrl+P"));
    ImportPB = make("ImportPB", "&Import Phonebook", "", nullptr, true);
    ActionOptions = make("ActionOptions", "&Settings ...", "Change your settings", nullptr, true);
    HelpAbout = make("HelpAbout", "&About...", "", nullptr, true);
    HelpContents1 = make("HelpContents1", "&Contents", "Help Contents", "help.xpm", true);
    MyActionExit = make("MyActionExit", "E&xit", "Exit|Quits this application", "exit.xpm", true);
    EditCut1 = make("EditCut1", "Cu&t", "Cut|Cuts the selection and puts it on the Clipboard",
                    "cut.xpm", false);
    EditCut1->setShortcut(QKeySequence("Ctrl+X"));
    EditCopy1 = make("EditCopy1", "&Copy",
                     "Copy|Copies the selection and puts it on the Clipboard", "copy.xpm", false);
    EditCopy1->setShortcut(QKeySequence("Ctrl+C"));
    EditPaste1 = make("EditPaste1", "&Paste", "Paste|Inserts Clipboard contents", "paste.xpm",
                      false);
    EditPaste1->setShortcut(QKeySequence("Ctrl+V"));
    EditSelectAll1 = make("EditSelectAll1", "Select &All", "Select All|Selects the entire document",
                          nullptr, false);
    EditSelectAll1->setShortcut(QKeySequence("Ctrl+A"));
    HelpContext = make("HelpContext", "Help", "", nullptr, true);
    HelpContext->setShortcut(QKeySequence(Qt::Key_F1));

    connect(NewSMS, &QAction::triggered, this, &TMainForm::NewSMSExecute);
    connect(ReplyAction, &QAction::triggered, this, &TMainForm::ReplyActionExecute);
    connect(ActionResend, &QAction::triggered, this, &TMainForm::ActionResendExecute);
    connect(PrintDlg1, &QAction::triggered, this, &TMainForm::PrintDlg1Execute);
    connect(ImportPB, &QAction::triggered, this, &TMainForm::ImportPBExecute);
    connect(ActionOptions, &QAction::triggered, this, &TMainForm::ActionOptionsExecute);
    connect(HelpAbout, &QAction::triggered, this, &TMainForm::HelpAboutExecute);
    connect(HelpContents1, &QAction::triggered, this, &TMainForm::HelpContents1Execute);
    connect(MyActionExit, &QAction::triggered, this, &TMainForm::Exit1Click);
    connect(HelpContext, &QAction::triggered, this,
            [this] { platform::ShowHelp(FocusHelpContext()); });

    const std::pair<QAction*, const char*> edits[] = {
        {EditCut1, "cut"}, {EditCopy1, "copy"}, {EditPaste1, "paste"},
        {EditSelectAll1, "selectAll"}};
    for (const auto& [action, slot] : edits)
        connect(action, &QAction::triggered, this, [this, slot = slot] {
            if (editTarget_) QMetaObject::invokeMethod(editTarget_, slot);
            UpdateEditActions();
        });
    connect(qApp, &QApplication::focusChanged, this,
            [this](QWidget*, QWidget* now) { WatchEditTarget(now); });
    connect(QApplication::clipboard(), &QClipboard::dataChanged, this,
            &TMainForm::UpdateEditActions);
}

void TMainForm::BuildMenus() {
    QMenuBar* bar = menuBar();
    bar->setObjectName("ActionMainMenuBar1");
    QMenu* file = bar->addMenu("&File");
    file->addActions({ImportPB, MyActionExit});
    QMenu* edit = bar->addMenu("&Edit");
    edit->addActions({EditCut1, EditCopy1, EditPaste1, EditSelectAll1});
    QMenu* sms = bar->addMenu("&SMS");
    sms->addActions({NewSMS, ActionOptions});
    QMenu* help = bar->addMenu("&Help");
    help->addActions({HelpContents1, HelpAbout});

    ActionToolBar1 = addToolBar("Tools");
    ActionToolBar1->setObjectName("ActionToolBar1");
    ActionToolBar1->setToolButtonStyle(Qt::ToolButtonIconOnly);
    ActionToolBar1->setMovable(false);
    // No menu on the bars that would hide the tool bar: the user can't customise them.
    setContextMenuPolicy(Qt::PreventContextMenu);
    ActionToolBar1->addActions(
        {NewSMS, ReplyAction, ActionResend, PrintDlg1, EditCut1, EditCopy1, EditPaste1});

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    Maximise = PopupMenu1->addAction("&Restore", this, &TMainForm::MaximiseClick);
    Maximise->setObjectName("Maximise");
    Exit1 = PopupMenu1->addAction("E&xit", this, &TMainForm::Exit1Click);
    Exit1->setObjectName("Exit1");
    About1 = HelpAbout;
    PopupMenu1->addAction(About1);
}

// ---------------------------------------------------------------------------------------
// Start-up and window life

void TMainForm::FormCreate() {
    BuildLineEnds();
    Settings.ModemVersion = "0000";
    ExitRequested = false;
    LoadSettings();
    const std::string phonebook = platform::DataPath("phonebook.csv");
    if (Settings.DebugMode)
        (new QTreeWidgetItem(Dirs, QStringList{"Debug"}))->setIcon(0, QIcon(":/corvane/debug.xpm"));
    PBFrame11->LoadPhonebook(phonebook, true);
    MSGFrame11->LoadFromFile("inbox.csv", true);
    MSGFrame11->SetFirstColumnCaption("From");
    MSGFrame11->mnuResend->setVisible(false);
    MSGFrameSent->LoadFromFile("sent.csv", true);
    MSGFrameSent->SetFirstColumnCaption("To");
    MSGFrameSent->mnuReply->setVisible(false);
    MSGFrameUnsent->LoadFromFile("unsent.csv", true);
    MSGFrameUnsent->SetFirstColumnCaption("To");
    MSGFrameUnsent->mnuReply->setVisible(false);
    setWindowTitle(Q(CaptionBase));
    ShowView(1);
    {
        const QSignalBlocker quiet(Dirs);   // the tree shows where the view is
        Dirs->setCurrentItem(Dirs->topLevelItem(0));
    }

    RunGuarded([this] { FindAndPoll(); });
}

// Start-up and resume: finds the unit, opens the port and collects what waits, or says the
// unit was not found. A line lost meanwhile is reopened by the receive ticks.
void TMainForm::FindAndPoll() {
    if (FindModem()) {
        OpenPort(0);
        RunExchange(ModemBusy, [] { PollUnread(); });
    } else {
        ShowNotFound();
    }
}

void TMainForm::FormCloseQuery(bool& canClose) {
    canClose = ExitRequested;
    if (canClose) return;
    if (TrayAvailable)
        hide();
    else
        showMinimized();   // without a tray a hidden window could not be reached again
}

void TMainForm::FormClose() { SaveSettings(); }

void TMainForm::closeEvent(QCloseEvent* event) {
    bool canClose = false;
    FormCloseQuery(canClose);
    if (canClose) {
        FormClose();
        event->accept();
    } else {
        event->ignore();
    }
}

void TMainForm::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && TrayAvailable)
        QTimer::singleShot(0, this, &TMainForm::AppMinimize);
}

void TMainForm::Exit1Click() {
    ExitRequested = true;
    g_quit();
}

void TMainForm::QueryEndSession() {
    ExitRequested = true;
    g_quit();
}

// Brings back every window of the program. Some window managers iconify a dialog's whole
// window group with it; a modal dialog left iconified would block the shown main window.
void TMainForm::TrayDoubleClick() {
    show();
    if (isMinimized()) {
        showNormal();
        AppRestore();
    }
    if (MailWaiting) Dirs->setCurrentItem(Dirs->topLevelItem(0));
    platform::RestateTransients();
    QWidget* modal = QApplication::activeModalWidget();
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window == this || window == modal || !window->isVisible()) continue;
        if (window->windowType() == Qt::Popup || window->windowType() == Qt::ToolTip) continue;
        if (window->isMinimized()) window->showNormal();
        window->raise();
    }
    // The modal one in front, with the keyboard.
    if (modal) {
        if (modal->isMinimized()) modal->showNormal();
        modal->raise();
        modal->activateWindow();
    }
}

void TMainForm::MaximiseClick() { TrayDoubleClick(); }

void TMainForm::AppMinimize() {
    if (TrayAvailable) hide();
}

void TMainForm::AppRestore() {
    show();
    raise();
    activateWindow();
}

// ---------------------------------------------------------------------------------------
// Serial port

void TMainForm::AddTrace(const std::string& text, bool received) {
    DBGFrame11->AddTrace(text, received);
}

IMainWindow::InboxFiling TMainForm::AddInboxMessage(const std::string& number,
                                                    const std::string& text,
                                                    const std::string& date, bool old,
                                                    bool readBefore) {
    return MSGFrame11->AddReceived(number, text, date, old, readBefore);
}

void TMainForm::MSComm1Comm() {
    RunGuarded([this] { ReadReceived(); });
}

// ---------------------------------------------------------------------------------------
// Receive timers

bool TMainForm::NoticeCheckDisabled() const { return DBGFrame11->ChkDisableCMT->isChecked(); }

bool TMainForm::PollDisabled() const { return DBGFrame11->ChkDisablePoll->isChecked(); }

void TMainForm::ShowExchangeError(const std::string& text) { ShowHandlerError(text); }

// ---------------------------------------------------------------------------------------
// Suspend and resume

int TMainForm::PowerBroadcast(int event) {
    switch (event) {
    case 0:
        Suspended = true;
        closePending_ = true;
        closeWaits_ = 0;
        if (MSComm1.PortOpen() && (Sending || ModemBusy || Polling))
            closeCheck_->start();   // closes once the exchange has ended
        else
            CheckPendingClose();
        break;
    case 2:
    case 6:
    case 7:
    case 18:
        Suspended = false;
        closePending_ = false;
        closeCheck_->stop();
        QTimer::singleShot(0, this, &TMainForm::ResumeScan);   // each notice searches
        break;
    default:
        break;
    }
    return 1;
}

void TMainForm::CheckPendingClose() {
    if (closePending_ && MSComm1.PortOpen() && (Sending || ModemBusy || Polling)) {
        if (++closeWaits_ < kSuspendWaits) return;
        // The exchange outlasted the last wait: the port stays open.
    } else if (closePending_) {
        ClosePort();
    }
    closePending_ = false;
    closeCheck_->stop();
    ReleaseSleepLock();
}

void TMainForm::ResumeScan() {
    if (Suspended) return;   // a suspend that came first cancels it
    RunGuarded([this] { FindAndPoll(); });
}

void TMainForm::ShowNotFound() {
    if (notFoundOpen_) return;   // one such box at a time
    notFoundOpen_ = true;
    AtExit done{[this] { notFoundOpen_ = false; }};
    platform::MessageBox(kNotFound, "Error");
}

// The login manager announces sleep on the system bus; a delay lock gives the program
// the moment it needs to close the port first.
bool TMainForm::WatchPowerEvents() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) return false;
    if (!bus.connect(kLogin1, kLogin1Path, kLogin1Manager, "PrepareForSleep", this,
                     SLOT(PrepareForSleep(bool))))
        return false;
    TakeSleepLock();
    return true;
}

void TMainForm::PrepareForSleep(bool start) {
    if (start) {
        PowerBroadcast(0);
    } else {
        PowerBroadcast(7);
        TakeSleepLock();
    }
}

void TMainForm::TakeSleepLock() {
    if (sleepLock_ >= 0) return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kLogin1, kLogin1Path, kLogin1Manager, "Inhibit");
    call << QString("sleep") << QString("Corvane") << QString("close the serial port")
         << QString("delay");
    const QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 2000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return;
    const auto fd = qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().at(0));
    if (fd.isValid()) sleepLock_ = ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
}

void TMainForm::ReleaseSleepLock() {
    if (sleepLock_ < 0) return;
    ::close(sleepLock_);
    sleepLock_ = -1;
}

// ---------------------------------------------------------------------------------------
// The program's start and end

void CreateForms() {
    new TMainForm;   // sets MainForm
    MainForm->FormCreate();
    FrmCompose = new TFrmCompose(MainForm);
    AboutBox = new TAboutBox(MainForm);
    FrmRecipient = new TFrmRecipient(MainForm);
    FormOptions = new TFormOptions(MainForm);
    ComposeCloseDlg = new TComposeCloseDlg(MainForm);
    FrmPass = new TFrmPass(MainForm);
}

void DestroyForms() {
    delete FrmPass;
    FrmPass = nullptr;
    delete ComposeCloseDlg;
    ComposeCloseDlg = nullptr;
    delete FormOptions;
    FormOptions = nullptr;
    delete FrmRecipient;
    FrmRecipient = nullptr;
    delete AboutBox;
    AboutBox = nullptr;
    delete FrmCompose;
    FrmCompose = nullptr;
    delete MainForm;   // clears MainForm
}

int RunCorvane() {
    try {
        CreateForms();
        if (!ExitRequested) {
            if (!MainForm->TrayAvailable) MainForm->show();
            MainForm->WatchPowerEvents();
            QApplication::exec();
        }
    } catch (const platform::UnansweredBox&) {
        throw;
    } catch (const std::exception& e) {
        platform::MessageBox(platform::Utf8ToCp1252(e.what()), "Corvane");
    } catch (...) {
        platform::MessageBox("", "Corvane");
    }
    DestroyForms();
    return 0;
}

namespace {
int g_termPipe[2] = {-1, -1};

void OnTerm(int) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_termPipe[1], &byte, 1);
}

void EndSession() {
    if (MainForm)
        MainForm->QueryEndSession();
    else {
        ExitRequested = true;
        g_quit();
    }
}
} // namespace

void InstallSessionEndHandlers() {
    if (g_termPipe[0] < 0) {
        if (::pipe2(g_termPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
        auto* notifier = new QSocketNotifier(g_termPipe[0], QSocketNotifier::Read, qApp);
        QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
            char buffer[16];
            while (::read(g_termPipe[0], buffer, sizeof buffer) > 0) {
            }
            EndSession();
        });
        struct sigaction action {};
        action.sa_handler = OnTerm;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &action, nullptr);
    }
    static SessionWatch* session = nullptr;
    if (!session) {
        session = new SessionWatch([] { EndSession(); }, qApp);
        session->WatchShutdown();
    }
}

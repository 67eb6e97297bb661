#include "client/compose.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QStyle>
#include <QTextBlock>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <memory>

#include "client/mainunit.h"
#include "client/msgframe.h"
#include "client/pbfile.h"
#include "client/pbframe.h"
#include "engine/globals.h"
#include "engine/serparse.h"
#include "platform/boxes.h"
#include "platform/qt/dialogs.h"
#include "platform/qt/help.h"
#include "platform/qt/pasteguard.h"

TFrmCompose* FrmCompose = nullptr;
TFrmRecipient* FrmRecipient = nullptr;
TComposeCloseDlg* ComposeCloseDlg = nullptr;
bool ComposeCheckOnClose = false;

namespace {

SmsSender g_sender;

constexpr int kHelpCompose = 140;
constexpr int kHelpRecipient = 150;
constexpr int kNothingSent = 6;

const char* const kBadRecipient =
    "Either the recipient's number is invalid, or their name could not be found in the Phonebook.";

int SendThroughEngine(const std::string& text, const std::string& number) {
    if (g_sender) return g_sender(text, number);
    return SendSms(text, number);
}

// Stamp for the Sent and Drafts lists.
std::string NowStamp() {
    return platform::ToCp1252(
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")));
}

QString NormaliseBreaks(QString text) {
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QChar(0x2029), QLatin1Char('\n'));
    return text;
}

// The longest head of text that fits into room characters (line breaks count 2).
QString FittingHead(const QString& text, int room) {
    int used = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        const bool pair = text.at(i).isHighSurrogate() && i + 1 < text.size();
        const int cost = text.at(i) == QLatin1Char('\n') ? 2 : 1;
        if (used + cost > room) break;
        used += cost;
        i += pair ? 2 : 1;
    }
    return text.left(i);
}

// Icons for the edit actions: the desktop theme's, else a small drawing.
QIcon EditIcon(const char* themeName, char kind) {
    QIcon themed = QIcon::fromTheme(QString::fromLatin1(themeName));
    if (!themed.isNull()) return themed;
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(40, 40, 60), 1.2));
    switch (kind) {
    case 'x':   // scissors
        p.drawLine(QPointF(4, 1), QPointF(11, 11));
        p.drawLine(QPointF(12, 1), QPointF(5, 11));
        p.drawEllipse(QPointF(4, 13), 2.3, 2.3);
        p.drawEllipse(QPointF(12, 13), 2.3, 2.3);
        break;
    case 'c':   // two pages
        p.setBrush(Qt::white);
        p.drawRect(QRectF(1.5, 1.5, 8, 10));
        p.drawRect(QRectF(6.5, 4.5, 8, 10));
        break;
    default:    // clipboard with a page
        p.setBrush(QColor(200, 160, 90));
        p.drawRect(QRectF(2.5, 2.5, 10, 12));
        p.setBrush(QColor(120, 120, 130));
        p.drawRect(QRectF(5.5, 1, 4, 3));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(7.5, 6.5, 7, 8.5));
        break;
    }
    p.end();
    return QIcon(pm);
}

enum EditCmd { CmdCut, CmdCopy, CmdPaste, CmdSelectAll, CmdUndo, CmdDelete };

} // namespace

int MemoLength(const QString& plainText) {
    const QString text = NormaliseBreaks(plainText);
    return static_cast<int>(text.toUcs4().size() + text.count(QLatin1Char('\n')));
}

std::string MemoTextToCp1252(const QString& plainText) {
    QString text = NormaliseBreaks(plainText);
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return platform::ToCp1252(text);
}

QString MemoTextFromCp1252(const std::string& bytes) {
    return NormaliseBreaks(platform::FromCp1252(bytes));
}

std::string UnquoteNumber(const std::string& number) {
    if (number.size() >= 2 && number.front() == '"' && number.back() == '"')
        return number.substr(1, number.size() - 2);
    return number;
}

bool ResolveRecipient(const std::string& typed, const NumberLookup& lookup, std::string& number) {
    number.clear();
    std::string found;
    if (lookup && lookup(typed, found)) {
        number = found;
        return true;
    }
    // A number: its digits, with blanks, "-", "(", ")" and "+" passed over.
    return pbfile::ReduceNumber(typed, number);
}

SmsSender SetComposeSender(SmsSender sender) {
    SmsSender previous = std::move(g_sender);
    g_sender = std::move(sender);
    return previous;
}

// ---------------------------------------------------------------------------------------
// TLimitedMemo

TLimitedMemo::TLimitedMemo(int maxLength, QWidget* parent)
    : QPlainTextEdit(parent), maxLength_(maxLength) {}

int TLimitedMemo::room() const {
    const int selected = MemoLength(textCursor().selectedText());
    return maxLength_ - (MemoLength(toPlainText()) - selected);
}

void TLimitedMemo::keyPressEvent(QKeyEvent* event) {
    int adds = 0;
    const bool plainKey = !(event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier));
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        adds = 2;
    } else if (plainKey && !event->text().isEmpty()
               && (event->text().at(0).isPrint() || event->text().at(0) == QLatin1Char('\t'))) {
        adds = MemoLength(event->text());
    }
    if (adds > 0 && adds > room()) {
        event->accept();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void TLimitedMemo::insertFromMimeData(const QMimeData* source) {
    if (!platform::HasPastableText(source) || isReadOnly()) return;
    const QString head = FittingHead(NormaliseBreaks(source->text()), room());
    if (head.isEmpty()) return;
    textCursor().insertText(head);
    ensureCursorVisible();
}

void TLimitedMemo::inputMethodEvent(QInputMethodEvent* event) {
    const QString commit = NormaliseBreaks(event->commitString());
    if (!commit.isEmpty() && MemoLength(commit) > room()) {
        QInputMethodEvent cut(event->preeditString(), event->attributes());
        cut.setCommitString(FittingHead(commit, room()), event->replacementStart(),
                            event->replacementLength());
        QPlainTextEdit::inputMethodEvent(&cut);
        return;
    }
    QPlainTextEdit::inputMethodEvent(event);
}

// ---------------------------------------------------------------------------------------
// TFrmCompose

TFrmCompose::TFrmCompose(QWidget* parent) : QDialog(parent) {
    if (!FrmCompose) FrmCompose = this;
    setWindowTitle(QStringLiteral("Compose"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint);
    QStyle* st = style();

    auto makeAction = [this](const QString& caption, const QString& hint, const QIcon& icon) {
        auto* action = new QAction(icon, caption, this);
        const qsizetype bar = hint.indexOf(QLatin1Char('|'));
        if (bar >= 0) {
            action->setToolTip(hint.left(bar));
            action->setStatusTip(hint.mid(bar + 1));
        }
        return action;
    };
    ClearMessage = makeAction(QStringLiteral("&New"), QStringLiteral("Clear Message|Clear the text in this message"),
                              st->standardIcon(QStyle::SP_FileIcon));
    ActionSend = makeAction(QStringLiteral("&Send"), QStringLiteral("Send|Send the message"),
                            st->standardIcon(QStyle::SP_ArrowForward));
    ActionSend->setEnabled(false);
    ActionClose = makeAction(QStringLiteral("&Close"), QString(), QIcon());
    Help = makeAction(QStringLiteral("&Help"), QString(), QIcon());
    EditCut1 = makeAction(QStringLiteral("Cu&t"), QStringLiteral("Cut|Cuts the selection and puts it on the Clipboard"),
                          EditIcon("edit-cut", 'x'));
    EditCopy1 = makeAction(QStringLiteral("&Copy"), QStringLiteral("Copy|Copies the selection and puts it on the Clipboard"),
                           EditIcon("edit-copy", 'c'));
    EditPaste1 = makeAction(QStringLiteral("&Paste"), QStringLiteral("Paste|Inserts Clipboard contents"),
                            EditIcon("edit-paste", 'v'));
    EditSelectAll1 = makeAction(QStringLiteral("Select &All"), QStringLiteral("Select All|Selects the entire document"), QIcon());
    EditUndo1 = makeAction(QStringLiteral("&Undo"), QStringLiteral("Undo|Reverts the last action"), QIcon());
    EditDelete1 = makeAction(QStringLiteral("&Delete"), QStringLiteral("Delete|Erases the selection"), QIcon());
    EditCut1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_X));
    EditCopy1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    EditPaste1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_V));
    EditSelectAll1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    EditUndo1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    EditDelete1->setShortcut(QKeySequence(Qt::Key_Delete));
    // The text boxes handle these keys themselves while they have the focus.
    for (QAction* a : {EditCut1, EditCopy1, EditPaste1, EditSelectAll1, EditUndo1, EditDelete1})
        a->setShortcutContext(Qt::WidgetShortcut);

    connect(ClearMessage, &QAction::triggered, this, [this] { ClearMessageExecute(); });
    connect(ActionSend, &QAction::triggered, this, [this] { ActionSendExecute(); });
    connect(ActionClose, &QAction::triggered, this, [this] { ActionCloseExecute(); });
    connect(Help, &QAction::triggered, this, [this] { HelpExecute(); });
    connect(EditCut1, &QAction::triggered, this, [this] { EditCommand(CmdCut); });
    connect(EditCopy1, &QAction::triggered, this, [this] { EditCommand(CmdCopy); });
    connect(EditPaste1, &QAction::triggered, this, [this] { EditCommand(CmdPaste); });
    connect(EditSelectAll1, &QAction::triggered, this, [this] { EditCommand(CmdSelectAll); });
    connect(EditUndo1, &QAction::triggered, this, [this] { EditCommand(CmdUndo); });
    connect(EditDelete1, &QAction::triggered, this, [this] { EditCommand(CmdDelete); });

    auto* menuBar = new QMenuBar(this);
    QMenu* file = menuBar->addMenu(QStringLiteral("&File"));
    file->addAction(ClearMessage);
    file->addAction(ActionSend);
    file->addAction(ActionClose);
    QMenu* edit = menuBar->addMenu(QStringLiteral("&Edit"));
    for (QAction* a : {EditCut1, EditCopy1, EditPaste1, EditSelectAll1, EditUndo1, EditDelete1})
        edit->addAction(a);
    QMenu* help = menuBar->addMenu(QStringLiteral("&Help"));
    help->addAction(Help);

    auto* toolBar = new QToolBar(this);
    toolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    for (QAction* a : {ActionSend, ClearMessage, EditCut1, EditCopy1, EditPaste1})
        toolBar->addAction(a);

    auto* toBar = new QWidget(this);
    BtnTo = new QPushButton(st->standardIcon(QStyle::SP_FileDialogContentsView),
                            QStringLiteral("To:"), toBar);
    BtnTo->setAutoDefault(false);
    BtnTo->setToolTip(QStringLiteral("Choose your recipient from the address book"));
    BtnTo->setStatusTip(BtnTo->toolTip());
    EditTo = new QLineEdit(toBar);
    EditTo->setToolTip(QStringLiteral("Enter your recipient here"));
    EditTo->setStatusTip(EditTo->toolTip());
    auto* toLayout = new QHBoxLayout(toBar);
    toLayout->setContentsMargins(0, 0, 0, 0);
    toLayout->addWidget(BtnTo);
    toLayout->addWidget(EditTo, 1);
    connect(BtnTo, &QPushButton::clicked, this, [this] { BtnToClick(); });
    connect(EditTo, &QLineEdit::textChanged, this, [this] { EditToChange(); });

    MemoSMS = new TLimitedMemo(SmsMaxLength, this);
    connect(MemoSMS, &QPlainTextEdit::textChanged, this, [this] { MemoSMSChange(); });

    ComposeStatus = new QStatusBar(this);
    ComposeStatus->setSizeGripEnabled(false);
    StatusPanel0 = new QLabel(ComposeStatus);
    StatusPanel0->setMinimumWidth(300);
    StatusPanel1 = new QLabel(QStringLiteral("160 Chars Remaining"), ComposeStatus);
    StatusPanel1->setMinimumWidth(50);
    for (QLabel* panel : {StatusPanel0, StatusPanel1}) panel->setTextFormat(Qt::PlainText);
    ComposeStatus->addWidget(StatusPanel0, 1);
    ComposeStatus->addWidget(StatusPanel1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->setMenuBar(menuBar);
    layout->addWidget(toolBar);
    layout->addWidget(toBar);
    layout->addWidget(MemoSMS, 1);
    layout->addWidget(ComposeStatus);
    setFixedSize(466, 206);
}

TFrmCompose::~TFrmCompose() {
    if (FrmCompose == this) FrmCompose = nullptr;
}

TPBFrame1* TFrmCompose::Phonebook() const {
    if (PhonebookFrame) return PhonebookFrame;
    return MainForm ? MainForm->PBFrame11 : nullptr;
}

TMSGFrame1* TFrmCompose::Sent() const {
    if (SentFrame) return SentFrame;
    return MainForm ? MainForm->MSGFrameSent : nullptr;
}

TMSGFrame1* TFrmCompose::Drafts() const {
    if (DraftsFrame) return DraftsFrame;
    return MainForm ? MainForm->MSGFrameUnsent : nullptr;
}

int TFrmCompose::ShowModal() {
    FormShow();
    const int result = platform::ExecModal(*this);
    ClearPendingDraft();
    return result;
}

void TFrmCompose::SetMemoText(const QString& text) {
    const QString plain = NormaliseBreaks(text);
    if (plain == MemoSMS->toPlainText()) return;
    MemoSMS->setPlainText(plain);
}

void TFrmCompose::SetRecipient(const QString& text) {
    if (text == EditTo->text()) return;
    EditTo->setText(text);
}

void TFrmCompose::FocusMemoAtStart() {
    QTextCursor cursor = MemoSMS->textCursor();
    cursor.movePosition(QTextCursor::Start);
    MemoSMS->setTextCursor(cursor);
    MemoSMS->setFocus();
    focusMemoOnShow_ = true;
}

std::string TFrmCompose::MessageText() const { return MemoTextToCp1252(MemoSMS->toPlainText()); }

void TFrmCompose::SetPendingDraft(TMSGFrame1* drafts, int row) {
    if (!drafts || row < 0 || row >= drafts->Count()) {
        pending_.reset();
        return;
    }
    SetPendingDraft(drafts, drafts->ItemNumber(row), drafts->ItemText(row), drafts->ItemDate(row));
}

void TFrmCompose::SetPendingDraft(TMSGFrame1* drafts, const std::string& number,
                                  const std::string& text, const std::string& date) {
    if (!drafts) {
        pending_.reset();
        return;
    }
    pending_ = PendingDraft{drafts, number, text, date};
}

void TFrmCompose::ClearPendingDraft() { pending_.reset(); }

void TFrmCompose::SettlePendingDraft() {
    if (!pending_) return;
    const PendingDraft draft = *pending_;
    pending_.reset();
    TMSGFrame1* list = draft.list;
    for (int i = 0; i < list->Count(); ++i) {
        if (list->ItemNumber(i) != draft.number || list->ItemText(i) != draft.text
            || list->ItemDate(i) != draft.date)
            continue;
        QTreeWidgetItem* item = list->msglist->topLevelItem(i);
        const bool shown = item && (item->isSelected() || list->msglist->currentItem() == item);
        delete list->msglist->takeTopLevelItem(i);
        if (shown) {
            list->RichEdit1->clear();
            if (MainForm && MainForm->PrintDlg1) MainForm->PrintDlg1->setEnabled(false);
            if (MainForm && MainForm->ReplyAction) MainForm->ReplyAction->setEnabled(false);
        }
        list->SaveToFile(list->FileName);
        return;
    }
}

void TFrmCompose::MemoSMSChange() {
    const QString text = MemoSMS->toPlainText();
    StatusPanel1->setText(QStringLiteral("%1 Characters remaining").arg(SmsMaxLength - MemoLength(text)));
    ActionSend->setEnabled(!text.isEmpty());
}

void TFrmCompose::EditToChange() {
    ActionSend->setEnabled(!MemoSMS->toPlainText().isEmpty() && !EditTo->text().isEmpty());
}

void TFrmCompose::ActionSendExecute() {
    ActionSend->setEnabled(false);
    MemoSMS->setEnabled(false);
    EditTo->setEnabled(false);

    std::string number;
    int result = kNothingSent;
    const std::string text = SendableText(MessageText());   // as Sent will hold it
    NumberLookup lookup;
    if (TPBFrame1* book = Phonebook())
        lookup = [book](const std::string& name, std::string& out) { return book->LookupNumber(name, out); };

    if (!ResolveRecipient(platform::ToCp1252(EditTo->text()), lookup, number)) {
        platform::MessageBox(kBadRecipient, "Error");
    } else {
        StatusPanel1->setText(QStringLiteral("Sending..."));
        Sending = true;
        // The engine blocks this thread: show "Sending..." and the disabled boxes first.
        platform::PaintWindowsNow();
        try {
            result = SendThroughEngine(text, number);
        } catch (const platform::UnansweredBox&) {
            Sending = false;
            ActionSend->setEnabled(true);
            MemoSMS->setEnabled(true);
            EditTo->setEnabled(true);
            throw;
        } catch (...) {
            // A failure of the serial layer during the send counts as a failed send.
            result = SMS_ERROR;
        }
    }

    ActionSend->setEnabled(true);
    MemoSMS->setEnabled(true);
    EditTo->setEnabled(true);
    ComposeCheckOnClose = true;

    const char* failure = nullptr;
    switch (result) {
    case SMS_SENT:
        ComposeCheckOnClose = false;
        if (TMSGFrame1* sent = Sent()) sent->AddMessage(number, text, NowStamp(), true);
        SettlePendingDraft();
        if (Settings.ClearCompose) {
            SetMemoText(QString());
            SetRecipient(QString());
        }
        ActionCloseExecute();
        break;
    case SMS_NOT_FOUND: failure = "Failed to initialise the modem. Please check the modem."; break;
    case SMS_BUSY: failure = "The modem is busy receiving a message. Please try again."; break;
    case SMS_TIMEOUT: failure = "Sending timed out. Please check the modem."; break;
    case kNothingSent: break;
    default: failure = "Sending failed. Please check the modem."; break;
    }
    if (failure) {
        StatusPanel1->setText(QStringLiteral("Error"));
        try {
            platform::MessageBox(failure, "Error");
        } catch (...) {
            Sending = false;
            throw;
        }
    }
    Sending = false;
}

void TFrmCompose::ClearMessageExecute() {
    SetMemoText(MemoTextFromCp1252(Settings.Signature));
    FocusMemoAtStart();
}

void TFrmCompose::BtnToClick() {
    std::unique_ptr<TFrmRecipient> own;
    TFrmRecipient* chooser = FrmRecipient;
    if (!chooser) {
        own = std::make_unique<TFrmRecipient>(this);
        chooser = own.get();
    }
    chooser->Target = this;
    QTreeWidget* list = chooser->rcplist;
    list->clear();
    list->setUpdatesEnabled(false);
    if (TPBFrame1* book = Phonebook()) {
        QList<QTreeWidgetItem*> rows;
        for (const auto& [name, num] : book->Entries())
            rows.append(new QTreeWidgetItem(
                QStringList{platform::FromCp1252(name), platform::FromCp1252(num)}));
        list->addTopLevelItems(rows);
    }
    list->setUpdatesEnabled(true);
    platform::ExecModal(*chooser);
    chooser->Target = nullptr;
}

void TFrmCompose::ActionCloseExecute() { done(QDialog::Rejected); }

void TFrmCompose::HelpExecute() { platform::ShowHelp(kHelpCompose); }

void TFrmCompose::FormShow() { ComposeCheckOnClose = true; }

bool TFrmCompose::FormCloseQuery() {
    if (!ComposeCheckOnClose) return true;
    const std::string text = MessageText();
    if (text.empty() || text == Settings.Signature) return true;

    std::unique_ptr<TComposeCloseDlg> own;
    TComposeCloseDlg* dialog = ComposeCloseDlg;
    if (!dialog) {
        own = std::make_unique<TComposeCloseDlg>(this);
        dialog = own.get();
    }
    switch (dialog->ShowModal()) {
    case 1:
        // The close under way is refused; a successful send closes the window itself.
        ActionSendExecute();
        return false;
    case 2:
        ClearMessageExecute();
        SettlePendingDraft();
        return true;
    case 3:
        if (TMSGFrame1* drafts = Drafts()) {
            drafts->AddMessage(platform::ToCp1252(EditTo->text()), text, NowStamp(), true);
            SettlePendingDraft();
        }
        return true;
    default:
        return false;
    }
}

void TFrmCompose::FormClose() {
    ActionSend->setEnabled(true);
    MemoSMS->setEnabled(true);
    EditTo->setEnabled(true);
    MemoSMSChange();
    // A close that asked nothing (an empty text or just the signature) drops the draft;
    // the other closes have settled it already.
    SettlePendingDraft();
}

void TFrmCompose::done(int result) {
    if (!FormCloseQuery()) return;
    FormClose();
    QDialog::done(result);
}

bool TFrmCompose::event(QEvent* e) {
    if (e->type() == QEvent::StatusTip) {
        StatusPanel0->setText(static_cast<QStatusTipEvent*>(e)->tip());
        return true;
    }
    return QDialog::event(e);
}

void TFrmCompose::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    if (focusMemoOnShow_) {
        MemoSMS->setFocus();
        focusMemoOnShow_ = false;
    }
}

void TFrmCompose::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_F1) {
        HelpExecute();
        return;
    }
    // No cancel button: Esc does not close the window.
    if (e->key() == Qt::Key_Escape) return;
    QDialog::keyPressEvent(e);
}

void TFrmCompose::EditCommand(int command) {
    QWidget* target = focusWidget();
    if (auto* line = qobject_cast<QLineEdit*>(target)) {
        switch (command) {
        case CmdCut: line->cut(); break;
        case CmdCopy: line->copy(); break;
        case CmdPaste: line->paste(); break;
        case CmdSelectAll: line->selectAll(); break;
        case CmdUndo: line->undo(); break;
        case CmdDelete:
            if (line->hasSelectedText()) line->del();
            break;
        }
    } else if (auto* memo = qobject_cast<QPlainTextEdit*>(target)) {
        switch (command) {
        case CmdCut: memo->cut(); break;
        case CmdCopy: memo->copy(); break;
        case CmdPaste: memo->paste(); break;
        case CmdSelectAll: memo->selectAll(); break;
        case CmdUndo: memo->undo(); break;
        case CmdDelete: memo->textCursor().removeSelectedText(); break;
        }
    }
}

// ---------------------------------------------------------------------------------------
// TFrmRecipient

TFrmRecipient::TFrmRecipient(QWidget* parent) : QDialog(parent) {
    if (!FrmRecipient) FrmRecipient = this;
    setWindowTitle(QStringLiteral("Choose Recipient"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);

    rcplist = new QTreeWidget(this);
    rcplist->setColumnCount(2);
    rcplist->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Number")});
    rcplist->setRootIsDecorated(false);
    rcplist->setSelectionBehavior(QAbstractItemView::SelectRows);
    rcplist->setSelectionMode(QAbstractItemView::SingleSelection);
    rcplist->header()->setMinimumSectionSize(100);
    rcplist->header()->resizeSection(0, 100);
    rcplist->header()->setStretchLastSection(true);
    rcplist->setSortingEnabled(true);
    rcplist->sortByColumn(0, Qt::AscendingOrder);
    rcplist->header()->setSectionsClickable(false);   // stays sorted by name
    connect(rcplist, &QTreeWidget::itemDoubleClicked, this, [this] { OKBtnClick(); });

    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });
    connect(CancelBtn, &QPushButton::clicked, this, [this] { done(2); });

    auto* panel = new QHBoxLayout;
    panel->addStretch();
    panel->addWidget(OKBtn);
    panel->addWidget(CancelBtn);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(rcplist, 1);
    layout->addLayout(panel);
    setFixedSize(345, 255);
}

TFrmRecipient::~TFrmRecipient() {
    if (FrmRecipient == this) FrmRecipient = nullptr;
}

void TFrmRecipient::OKBtnClick() {
    const QList<QTreeWidgetItem*> selected = rcplist->selectedItems();
    TFrmCompose* target = Target ? Target : FrmCompose;
    if (!selected.isEmpty() && target) target->SetRecipient(selected.first()->text(0));
    done(1);
}

void TFrmRecipient::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_F1) {
        platform::ShowHelp(kHelpRecipient);
        return;
    }
    QDialog::keyPressEvent(e);
}

// ---------------------------------------------------------------------------------------
// TComposeCloseDlg

TComposeCloseDlg::TComposeCloseDlg(QWidget* parent) : QDialog(parent) {
    if (!ComposeCloseDlg) ComposeCloseDlg = this;
    setWindowTitle(QStringLiteral("Message not sent"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    Label1 = new QLabel(QStringLiteral("Your message has not been sent. Would you like to"), this);
    Label1->setWordWrap(true);
    Button1 = new QPushButton(QStringLiteral("&Send now"), this);
    Button2 = new QPushButton(QStringLiteral("&Discard Message"), this);
    Button3 = new QPushButton(QStringLiteral("S&ave to Drafts"), this);
    int code = 1;
    for (QPushButton* b : {Button1, Button2, Button3}) {
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, [this, code] { done(code); });
        ++code;
    }
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(4);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 6, 8, 8);
    layout->addWidget(Label1);
    layout->addLayout(buttons);
    setFixedSize(309, 101);
    // The room beside the captions is shared out equally, so that each caption has the
    // same padding in its button.
    int captions = 0;
    const auto caption = [](const QPushButton* b) {
        return b->fontMetrics().horizontalAdvance(QString(b->text()).remove(QLatin1Char('&')));
    };
    for (const QPushButton* b : {Button1, Button2, Button3}) captions += caption(b);
    const int spare = (width() - 16 - 2 * buttons->spacing() - captions) / 3;
    for (QPushButton* b : {Button1, Button2, Button3}) {
        b->setFixedWidth(caption(b) + spare);
        buttons->addWidget(b);
    }
}

TComposeCloseDlg::~TComposeCloseDlg() {
    if (ComposeCloseDlg == this) ComposeCloseDlg = nullptr;
}

int TComposeCloseDlg::ShowModal() {
    platform::CentreOnScreen(*this);
    return platform::ExecModal(*this);
}

void TComposeCloseDlg::reject() {}

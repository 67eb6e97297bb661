#include "client/msgframe.h"

#include <QAction>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>
#include <QPrintDialog>
#include <QPrinter>
#include <QSet>
#include <QShortcut>
#include <QSplitter>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "client/compose.h"
#include "client/csvline.h"
#include "client/datafile.h"
#include "client/mainunit.h"
#include "engine/globals.h"
#include "platform/boxes.h"
#include "platform/datadir.h"
#include "platform/qt/dialogs.h"

int SortColumn = -1;
bool SortAscending = true;

namespace {

const char kInbox[] = "inbox.csv";
const char kDrafts[] = "unsent.csv";

// One message of a list. The record keeps the bytes as stored; the view asks for texts
// only for the rows it paints, and the font follows the status.
class MsgItem : public QTreeWidgetItem {
public:
    explicit MsgItem(msgfile::Record r) : QTreeWidgetItem(UserType), rec(std::move(r)) {}

    QVariant data(int column, int role) const override {
        if (role == Qt::DisplayRole) {
            switch (column) {
            case 0: return platform::FromCp1252(rec.number);
            case 1: {
                QString text = platform::FromCp1252(rec.text);
                text.replace(QLatin1Char('\r'), QLatin1Char(' '));
                text.replace(QLatin1Char('\n'), QLatin1Char(' '));
                return text;
            }
            case 2: return platform::FromCp1252(rec.date);
            default: return {};
            }
        }
        if (role == Qt::FontRole) {
            if (rec.status != "New") return {};
            QFont font = treeWidget() ? treeWidget()->font() : QFont();
            font.setBold(true);
            return font;
        }
        return QTreeWidgetItem::data(column, role);
    }

    // Sorting reads the keys made just before the sort.
    bool operator<(const QTreeWidgetItem& other) const override {
        int c = QString::localeAwareCompare(sortKey, static_cast<const MsgItem&>(other).sortKey);
        return SortAscending ? c < 0 : c > 0;
    }

    void Changed() { emitDataChanged(); }

    msgfile::Record rec;
    QString sortKey;
};

MsgItem* Msg(QTreeWidgetItem* item) { return static_cast<MsgItem*>(item); }
const MsgItem* Msg(const QTreeWidgetItem* item) { return static_cast<const MsgItem*>(item); }

const std::string& Field(const MsgItem* item, int column) {
    switch (column) {
    case 0: return item->rec.number;
    case 1: return item->rec.text;
    default: return item->rec.date;
    }
}

QString SortKey(const MsgItem* item, int column) {
    return platform::FromCp1252(Field(item, column)).toCaseFolded();
}

} // namespace

TMSGFrame1::TMSGFrame1(QWidget* parent) : QWidget(parent) {
    setObjectName("TMSGFrame1");
    SortColumn = -1;
    SortAscending = true;

    msglist = new QTreeWidget;
    msglist->setObjectName("msglist");
    msglist->setColumnCount(3);
    msglist->setHeaderLabels({"To", "Message", "Date"});
    msglist->setRootIsDecorated(false);
    msglist->setUniformRowHeights(true);
    msglist->setSelectionMode(QAbstractItemView::ExtendedSelection);
    msglist->setSelectionBehavior(QAbstractItemView::SelectRows);
    msglist->setEditTriggers(QAbstractItemView::NoEditTriggers);
    msglist->setSortingEnabled(false);
    msglist->setContextMenuPolicy(Qt::CustomContextMenu);
    QHeaderView* header = msglist->header();
    header->setMinimumSectionSize(50);
    header->setStretchLastSection(false);
    header->setSectionsClickable(true);
    header->setSectionResizeMode(0, QHeaderView::Interactive);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    header->setSectionResizeMode(2, QHeaderView::Interactive);
    header->resizeSection(0, 150);
    header->resizeSection(2, 150);

    RichEdit1 = new QTextEdit;
    RichEdit1->setObjectName("RichEdit1");
    RichEdit1->setReadOnly(true);
    RichEdit1->setAcceptRichText(false);
    RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    Splitter2 = new QSplitter(Qt::Vertical);
    Splitter2->setObjectName("Splitter2");
    Splitter2->addWidget(msglist);
    Splitter2->addWidget(RichEdit1);
    Splitter2->setChildrenCollapsible(false);
    Splitter2->setStretchFactor(0, 1);
    Splitter2->setStretchFactor(1, 0);
    Splitter2->setSizes({300, 100});
    RichEdit1->setMinimumHeight(1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Splitter2);

    MSGPopup = new QMenu(this);
    MSGPopup->setObjectName("MSGPopup");
    mnuResend = MSGPopup->addAction("&Edit and Resend");
    mnuResend->setObjectName("mnuResend");
    mnuReply = MSGPopup->addAction("&Reply");
    mnuReply->setObjectName("mnuReply");
    mnuPrint = MSGPopup->addAction("&Print");
    mnuPrint->setObjectName("mnuPrint");
    mnuPrint->setToolTip("Print");
    mnuPrint->setStatusTip("Print this message");
    mnuDelete = MSGPopup->addAction("&Delete");
    mnuDelete->setObjectName("mnuDelete");
    mnuDelete->setToolTip("Delete");
    mnuDelete->setStatusTip("Delete this message");
    mnuDelete->setShortcut(QKeySequence::Delete);
    mnuDelete->setShortcutContext(Qt::WidgetShortcut);

    connect(mnuResend, &QAction::triggered, this, [this] { mnuResendClick(); });
    connect(mnuReply, &QAction::triggered, this, [this] { mnuReplyClick(); });
    connect(mnuPrint, &QAction::triggered, this, [this] { mnuPrintClick(); });
    connect(mnuDelete, &QAction::triggered, this, [this] { mnuDeleteClick(); });
    connect(msglist, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        MSGPopupPopup();
        MSGPopup->popup(msglist->viewport()->mapToGlobal(pos));
    });
    // The Del key on the list works as the menu's short-cut: the menu's opening handler
    // decides first whether the entry is enabled.
    auto* del = new QShortcut(QKeySequence::Delete, msglist, nullptr, nullptr, Qt::WidgetShortcut);
    connect(del, &QShortcut::activated, this, [this] {
        MSGPopupPopup();
        if (mnuDelete->isEnabled() && mnuDelete->isVisible()) mnuDeleteClick();
    });
    connect(header, &QHeaderView::sectionClicked, this, [this](int c) { msglistColumnClick(c); });
    connect(msglist->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TMSGFrame1::SelectionChanged);
}

void TMSGFrame1::SetFirstColumnCaption(const QString& caption) {
    msglist->headerItem()->setText(0, caption);
}

int TMSGFrame1::Count() const { return msglist->topLevelItemCount(); }

std::string TMSGFrame1::ItemNumber(int i) const { return Msg(msglist->topLevelItem(i))->rec.number; }
std::string TMSGFrame1::ItemText(int i) const { return Msg(msglist->topLevelItem(i))->rec.text; }
std::string TMSGFrame1::ItemDate(int i) const { return Msg(msglist->topLevelItem(i))->rec.date; }
std::string TMSGFrame1::ItemStatus(int i) const { return Msg(msglist->topLevelItem(i))->rec.status; }

std::string TMSGFrame1::CleanMessage(const std::string& text) {
    return msgfile::CleanMessage(text);
}

bool TMSGFrame1::AddMessage(const std::string& number, const std::string& text,
                            const std::string& date, bool old) {
    msglist->addTopLevelItem(
        new MsgItem({number, msgfile::CleanMessage(text), date, old ? "Old" : "New"}));
    return FileName.empty() || SaveToFile(FileName);
}

IMainWindow::InboxFiling TMSGFrame1::AddReceived(const std::string& number,
                                                 const std::string& text,
                                                 const std::string& date, bool old,
                                                 bool readBefore) {
    const std::string clean = msgfile::CleanMessage(text);
    for (int i = readBefore ? msglist->topLevelItemCount() - 1 : -1; i >= 0; --i) {
        const msgfile::Record& rec = Msg(msglist->topLevelItem(i))->rec;
        if (rec.number == number && rec.date == date && rec.text == clean)
            return {false, FileName.empty() || !unsaved_ || SaveToFile(FileName)};
    }
    return {true, AddMessage(number, text, date, old)};
}

bool TMSGFrame1::SaveToFile(const std::string& name) {
    std::string bytes;
    const int n = msglist->topLevelItemCount();
    bytes.reserve(static_cast<std::size_t>(n) * 192);
    csvline::AppendLines(bytes, std::size_t(n), [this](std::string& out, std::size_t i) {
        msgfile::AppendRecord(out, Msg(msglist->topLevelItem(int(i)))->rec);
    });
    const bool saved = datafile::SaveDataFile(name, bytes, &pendingRescue_);
    if (name == FileName) unsaved_ = !saved;
    return saved;
}

void TMSGFrame1::LoadFromFile(const std::string& name, bool clear) {
    FileName = name;
    if (clear) unsaved_ = false;   // the list is then the file's
    bulk_ = true;
    if (clear) msglist->clear();
    bulk_ = false;
    const std::string path = platform::DataPath(name);
    std::string bytes;
    bool exists = false;
    if (!datafile::ReadFile(path, bytes, &exists)) {
        if (exists) pendingRescue_ = path;   // unreadable: no save may replace it unseen
        return;
    }
    msgfile::ParseResult parsed = msgfile::ParseFile(bytes);
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(parsed.records.size()));
    for (auto& rec : parsed.records) items.append(new MsgItem(std::move(rec)));
    msglist->setUpdatesEnabled(false);
    msglist->addTopLevelItems(items);
    msglist->setUpdatesEnabled(true);
    if (parsed.badLine >= 0) {
        pendingRescue_ = path;   // kept aside before it is first saved over
        platform::MessageBox("The message file is not in the correct format", "Error");
    }
}

int TMSGFrame1::CompareItems(const QTreeWidgetItem* item1, const QTreeWidgetItem* item2,
                             int column) {
    int c = QString::localeAwareCompare(SortKey(Msg(item1), column), SortKey(Msg(item2), column));
    return SortAscending ? c : -c;
}

void TMSGFrame1::msglistColumnClick(int column) {
    if (column == SortColumn)
        SortAscending = !SortAscending;
    else
        SortColumn = column;
    if (column < 0 || column > 2) return;
    const int n = msglist->topLevelItemCount();
    for (int i = 0; i < n; ++i) {
        MsgItem* item = Msg(msglist->topLevelItem(i));
        item->sortKey = SortKey(item, column);
    }
    // The model's sort is stable and keeps the selection; the direction is in operator<.
    bulk_ = true;
    msglist->sortItems(column, Qt::AscendingOrder);
    bulk_ = false;
    for (int i = 0; i < n; ++i) Msg(msglist->topLevelItem(i))->sortKey.clear();
}

void TMSGFrame1::SelectionChanged(const QItemSelection& selected, const QItemSelection&) {
    if (bulk_) return;
    QList<QTreeWidgetItem*> items;
    for (const QModelIndex& index : selected.indexes()) {
        if (index.column() == 0) items.append(msglist->itemFromIndex(index));
    }
    if (items.isEmpty()) return;
    // Each newly selected message turns "Old"; the one in focus (else the last) is shown.
    QTreeWidgetItem* shown = items.contains(msglist->currentItem()) ? msglist->currentItem()
                                                                   : items.last();
    bool changed = false;
    for (QTreeWidgetItem* item : items) changed |= MarkOld(item);
    ShowMessage(shown);
    if (changed && !FileName.empty()) SaveToFile(FileName);
}

void TMSGFrame1::msglistSelectItem(QTreeWidgetItem* item, bool selected) {
    if (!selected || !item) return;
    bool changed = MarkOld(item);
    ShowMessage(item);
    if (changed && !FileName.empty()) SaveToFile(FileName);
}

bool TMSGFrame1::MarkOld(QTreeWidgetItem* item) {
    MsgItem* msg = Msg(item);
    if (msg->rec.status != "New") return false;
    msg->rec.status = "Old";
    msg->Changed();
    return true;
}

void TMSGFrame1::ShowMessage(QTreeWidgetItem* item) {
    const MsgItem* msg = Msg(item);
    RichEdit1->clear();
    QTextCharFormat bold;
    bold.setFontWeight(QFont::Bold);
    QTextCharFormat regular;
    regular.setFontWeight(QFont::Normal);
    QTextCursor cursor(RichEdit1->document());
    cursor.insertText(FileName == kInbox ? "From: " : "To: ", bold);
    cursor.insertText(platform::FromCp1252(msg->rec.number), regular);
    cursor.insertText("\r\n", regular);
    cursor.insertText("Date: ", bold);
    cursor.insertText(platform::FromCp1252(msg->rec.date), regular);
    cursor.insertText("\r\n", regular);
    cursor.insertText("Message Text: ", bold);
    cursor.insertText(platform::FromCp1252(msg->rec.text), regular);

    SelectedNumber = msg->rec.number;
    SelectedText = msg->rec.text;
    SetMainActions(true, true, true);
    if (MainForm) MainForm->ModifyIcon(1);
    MailWaiting = false;
}

void TMSGFrame1::SetMainActions(bool print, bool reply, bool resend) {
    if (!MainForm) return;
    if (MainForm->PrintDlg1) MainForm->PrintDlg1->setEnabled(print);
    if (MainForm->ReplyAction) MainForm->ReplyAction->setEnabled(reply);
    if (resend && MainForm->ActionResend) MainForm->ActionResend->setEnabled(true);
}

void TMSGFrame1::MSGPopupPopup() {
    const bool any = msglist->selectionModel()->hasSelection();
    for (QAction* a : {mnuResend, mnuReply, mnuPrint, mnuDelete}) a->setEnabled(any);
}

void TMSGFrame1::RemoveItems(const QList<QTreeWidgetItem*>& doomed) {
    if (doomed.isEmpty()) return;
    bulk_ = true;
    msglist->setUpdatesEnabled(false);
    if (doomed.size() == 1) {
        delete doomed.first();
    } else {
        // Rebuilding the list is linear; deleting rows one by one is not.
        QSet<QTreeWidgetItem*> gone(doomed.begin(), doomed.end());
        QList<QTreeWidgetItem*> all = msglist->invisibleRootItem()->takeChildren();
        QList<QTreeWidgetItem*> kept;
        kept.reserve(all.size() - gone.size());
        for (QTreeWidgetItem* item : all) {
            if (gone.contains(item))
                delete item;
            else
                kept.append(item);
        }
        msglist->addTopLevelItems(kept);
    }
    msglist->setUpdatesEnabled(true);
    bulk_ = false;
}

void TMSGFrame1::mnuDeleteClick() {
    QList<QTreeWidgetItem*> selected = msglist->selectedItems();
    if (!selected.isEmpty()) {
        const char* question = selected.size() == 1
                                   ? "Are you sure you want to delete this message?"
                                   : "Are you sure you want to delete these messages?";
        if (platform::MessageBox(question, "Delete?", platform::BoxButtons::YesNo) ==
            platform::IDYES) {
            RemoveItems(selected);
            RichEdit1->clear();
            SetMainActions(false, false, false);
        }
    }
    if (!FileName.empty()) SaveToFile(FileName);
}

void TMSGFrame1::mnuReplyClick() {
    if (!FrmCompose) return;
    // The unit quotes the sender's number; the reply goes to the bare number.
    FrmCompose->SetRecipient(platform::FromCp1252(UnquoteNumber(SelectedNumber)));
    if (FrmCompose->MemoSMS && FrmCompose->MemoSMS->document()->isEmpty()) {
        FrmCompose->SetMemoText(platform::FromCp1252(Settings.Signature));
        FrmCompose->FocusMemoAtStart();
    }
    FrmCompose->ShowModal();
}

void TMSGFrame1::mnuResendClick() {
    if (!FrmCompose) return;
    FrmCompose->SetRecipient(platform::FromCp1252(SelectedNumber));
    FrmCompose->SetMemoText(platform::FromCp1252(SelectedText));
    FrmCompose->FocusMemoAtStart();
    if (FileName == kDrafts) {
        // The draft (the first selected one) stays in the list and its file until the
        // compose window knows what became of it.
        int row = -1;
        const int n = msglist->topLevelItemCount();
        for (int i = 0; i < n && row < 0; ++i) {
            if (msglist->topLevelItem(i)->isSelected()) row = i;
        }
        FrmCompose->SetPendingDraft(this, row);
    }
    FrmCompose->ShowModal();
}

void TMSGFrame1::mnuPrintClick() {
    QPrinter printer;
    QPrintDialog dialog(&printer, this);
    if (platform::ExecModal(dialog) == QDialog::Accepted) PrintPreview(printer);
}

void TMSGFrame1::PrintPreview(QPrinter& printer) {
    printer.setDocName("Corvane Message");
    RichEdit1->document()->print(&printer);
}

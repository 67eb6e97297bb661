#include "client/pbframe.h"

#include <QAction>
#include <QCoreApplication>
#include <QEvent>
#include <QGridLayout>
#include <QHeaderView>
#include <QInputMethodEvent>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <filesystem>

#include "client/compose.h"
#include "client/csvline.h"
#include "client/datafile.h"
#include "client/pbfile.h"
#include "platform/boxes.h"
#include "platform/datadir.h"
#include "platform/qt/dialogs.h"

bool EditingExisting = false;
std::string SavedName;
std::string SavedNumber;

namespace {

const char kPhonebook[] = "phonebook.csv";

// One entry: the bytes as stored, and the name as text for ordering and display.
class PbItem : public QTreeWidgetItem {
public:
    PbItem(std::string n, std::string num)
        : QTreeWidgetItem(UserType), name(std::move(n)), number(std::move(num)),
          qname(platform::FromCp1252(name)) {}

    QVariant data(int column, int role) const override {
        if (role == Qt::DisplayRole) {
            if (column == 0) return qname;
            if (column == 1) return QString::fromLatin1(number);
            return {};
        }
        return QTreeWidgetItem::data(column, role);
    }

    std::string name;
    std::string number;
    QString qname;
};

const PbItem* Pb(const QTreeWidgetItem* item) { return static_cast<const PbItem*>(item); }

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec1, ec2;
    auto ca = std::filesystem::weakly_canonical(a, ec1);
    auto cb = std::filesystem::weakly_canonical(b, ec2);
    return ec1 || ec2 ? a == b : ca == cb;
}

} // namespace

TPBFrame1::TPBFrame1(QWidget* parent) : QWidget(parent) {
    setObjectName("TPBFrame1");

    pbklist = new QTreeWidget;
    pbklist->setObjectName("pbklist");
    pbklist->setColumnCount(2);
    pbklist->setHeaderLabels({"Name", "Number"});
    pbklist->setRootIsDecorated(false);
    pbklist->setUniformRowHeights(true);
    pbklist->setSelectionMode(QAbstractItemView::SingleSelection);
    pbklist->setSelectionBehavior(QAbstractItemView::SelectRows);
    pbklist->setEditTriggers(QAbstractItemView::NoEditTriggers);
    pbklist->setSortingEnabled(false);
    pbklist->setContextMenuPolicy(Qt::CustomContextMenu);
    pbklist->header()->setMinimumSectionSize(100);
    pbklist->header()->resizeSection(0, 100);
    pbklist->header()->setStretchLastSection(true);

    auto* panel = new QWidget;
    panel->setObjectName("Panel1");
    panel->setFixedHeight(73);
    lblname = new QLabel("Name");
    lblname->setObjectName("lblname");
    lblnumber = new QLabel("Number");
    lblnumber->setObjectName("lblnumber");
    EditPBName = new QLineEdit;
    EditPBName->setObjectName("EditPBName");
    EditPBNumber = new QLineEdit;
    EditPBNumber->setObjectName("EditPBNumber");
    BtnPBOK = new QPushButton("&OK");
    BtnPBOK->setObjectName("BtnPBOK");
    BtnPBOK->setDefault(true);
    BtnPBNew = new QPushButton("&New");
    BtnPBNew->setObjectName("BtnPBNew");
    BtnPBCancel = new QPushButton("&Cancel");
    BtnPBCancel->setObjectName("BtnPBCancel");
    BtnPBKEdit = new QPushButton("Edit");
    BtnPBKEdit->setObjectName("BtnPBKEdit");

    auto* grid = new QGridLayout(panel);
    grid->setContentsMargins(4, 4, 4, 4);
    grid->addWidget(lblname, 0, 0);
    grid->addWidget(EditPBName, 0, 1);
    grid->addWidget(BtnPBOK, 0, 2);
    grid->addWidget(BtnPBNew, 0, 2);
    grid->addWidget(lblnumber, 1, 0);
    grid->addWidget(EditPBNumber, 1, 1);
    grid->addWidget(BtnPBCancel, 1, 2);
    grid->addWidget(BtnPBKEdit, 1, 2);
    grid->setColumnStretch(1, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(pbklist, 1);
    layout->addWidget(panel);

    setTabOrder(EditPBName, EditPBNumber);
    setTabOrder(EditPBNumber, BtnPBOK);
    setTabOrder(BtnPBOK, BtnPBCancel);
    setTabOrder(BtnPBCancel, BtnPBNew);
    setTabOrder(BtnPBNew, BtnPBKEdit);

    for (QWidget* w : std::initializer_list<QWidget*>{lblname, lblnumber, EditPBName,
                                                      EditPBNumber, BtnPBOK, BtnPBCancel}) {
        w->setVisible(false);
        w->setEnabled(false);
    }
    BtnPBKEdit->setEnabled(false);

    PBPopUp = new QMenu(this);
    PBPopUp->setObjectName("PBPopUp");
    Edit1 = PBPopUp->addAction("&Edit");
    Edit1->setObjectName("Edit1");
    Edit1->setShortcut(QKeySequence(Qt::Key_Return));
    Edit1->setShortcutContext(Qt::WidgetShortcut);
    Delete1 = PBPopUp->addAction("&Delete");
    Delete1->setObjectName("Delete1");
    Delete1->setShortcut(QKeySequence::Delete);
    Delete1->setShortcutContext(Qt::WidgetShortcut);
    NewSMS1 = PBPopUp->addAction("&Send SMS");
    NewSMS1->setObjectName("NewSMS1");

    connect(Edit1, &QAction::triggered, this, [this] { Edit1Click(); });
    connect(Delete1, &QAction::triggered, this, [this] { Delete1Click(); });
    connect(NewSMS1, &QAction::triggered, this, [this] { NewSMS1Click(); });
    connect(BtnPBOK, &QPushButton::clicked, this, [this] { BtnPBOKClick(); });
    connect(BtnPBCancel, &QPushButton::clicked, this, [this] { BtnPBCancelClick(); });
    connect(BtnPBNew, &QPushButton::clicked, this, [this] { BtnPBNewClick(); });
    connect(BtnPBKEdit, &QPushButton::clicked, this, [this] { Edit1Click(); });
    // Enter in either field presses the default button.
    for (QLineEdit* edit : {EditPBName, EditPBNumber}) {
        connect(edit, &QLineEdit::returnPressed, this, [this] {
            if (BtnPBOK->isVisible() && BtnPBOK->isEnabled()) BtnPBOKClick();
        });
    }
    EditPBNumber->installEventFilter(this);
    connect(pbklist, &QTreeWidget::itemDoubleClicked, this, [this] { NewSMS1Click(); });
    connect(pbklist, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        PBPopUpPopup();
        PBPopUp->popup(pbklist->viewport()->mapToGlobal(pos));
    });
    // The list's short-cuts run the menu's opening handler first.
    auto shortcut = [this](const QKeySequence& keys, QAction* action, void (TPBFrame1::*fn)()) {
        auto* s = new QShortcut(keys, pbklist, nullptr, nullptr, Qt::WidgetShortcut);
        connect(s, &QShortcut::activated, this, [this, action, fn] {
            PBPopUpPopup();
            if (action->isEnabled()) (this->*fn)();
        });
    };
    shortcut(QKeySequence(Qt::Key_Return), Edit1, &TPBFrame1::Edit1Click);
    shortcut(QKeySequence(Qt::Key_Enter), Edit1, &TPBFrame1::Edit1Click);
    shortcut(QKeySequence::Delete, Delete1, &TPBFrame1::Delete1Click);
    connect(pbklist->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection& selected, const QItemSelection& deselected) {
                for (const QModelIndex& i : deselected.indexes())
                    if (i.column() == 0) pbklistSelectItem(pbklist->itemFromIndex(i), false);
                for (const QModelIndex& i : selected.indexes())
                    if (i.column() == 0) pbklistSelectItem(pbklist->itemFromIndex(i), true);
            });
}

bool TPBFrame1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == EditPBNumber && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        switch (key->key()) {
        case Qt::Key_Tab: case Qt::Key_Backtab: case Qt::Key_Return: case Qt::Key_Enter:
        case Qt::Key_Escape:
        case Qt::Key_Delete:   // types nothing, though its text is DEL on X11
            return false;
        default:
            break;
        }
        const QString text = key->text();
        // No character: cursor keys and the like; Ctrl keys are the field's own (Ctrl+V
        // pastes, and pasted text is not filtered). Alt and Super keys type their character.
        if (text.isEmpty() || (key->modifiers() & Qt::ControlModifier)) return false;
        char c = text.size() == 1 && text[0].unicode() < 128 ? char(text[0].unicode()) : '?';
        EditPBNumberKeyPress(c);
        return c == 0;
    }
    // Text that an input method commits is typed, too: only its digits go in.
    if (watched == EditPBNumber && event->type() == QEvent::InputMethod) {
        auto* im = static_cast<QInputMethodEvent*>(event);
        QString digits;
        for (const QChar ch : im->commitString()) {
            char c = ch.unicode() < 128 ? char(ch.unicode()) : '?';
            EditPBNumberKeyPress(c);
            if (c != 0) digits += ch;
        }
        if (digits == im->commitString()) return false;
        QInputMethodEvent filtered(im->preeditString(), im->attributes());
        filtered.setCommitString(digits, im->replacementStart(), im->replacementLength());
        QCoreApplication::sendEvent(EditPBNumber, &filtered);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TPBFrame1::EditPBNumberKeyPress(char& key) {
    if ((key >= '0' && key <= '9') || key == 8) return;
    key = 0;
}

void TPBFrame1::AddEntry(const std::string& name, const std::string& number) {
    auto* item = new PbItem(name, number);
    // After the last entry that does not sort behind the new one.
    int lo = 0, hi = pbklist->topLevelItemCount();
    while (lo < hi) {
        int mid = (lo + hi) / 2;
        if (QString::localeAwareCompare(Pb(pbklist->topLevelItem(mid))->qname, item->qname) > 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    pbklist->insertTopLevelItem(lo, item);
}

std::vector<std::pair<std::string, std::string>> TPBFrame1::Entries() const {
    std::vector<std::pair<std::string, std::string>> out;
    const int n = pbklist->topLevelItemCount();
    out.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const QTreeWidgetItem* row = pbklist->topLevelItem(i);
        if (row == editing_) continue;
        const PbItem* item = Pb(row);
        out.emplace_back(item->name, item->number);
    }
    return out;
}

int TPBFrame1::SelectedIndex() const {
    const int n = pbklist->topLevelItemCount();
    for (int i = 0; i < n; ++i) {
        if (pbklist->topLevelItem(i)->isSelected()) return i;
    }
    return -1;
}

void TPBFrame1::LoadPhonebook(const std::string& path, bool clearFirst) {
    if (clearFirst) {
        pbklist->clear();
        editing_ = nullptr;
    }
    std::string bytes;
    bool exists = false;
    const std::string own = platform::DataPath(kPhonebook);
    const bool ownFile = SameFile(path, own);
    if (!datafile::ReadFile(path, bytes, &exists)) {
        if (exists && ownFile) pendingRescue_ = own;   // no save may replace it unseen
        return;
    }
    pbfile::ParseResult parsed = pbfile::ParseFile(bytes);
    pbklist->setUpdatesEnabled(false);
    for (const auto& entry : parsed.entries) AddEntry(entry.name, entry.number);
    pbklist->setUpdatesEnabled(true);
    if (parsed.badLine >= 0) {
        // The phonebook's own file is kept aside before it is first saved over. An
        // imported file is never written, so it needs no copy.
        if (ownFile) pendingRescue_ = own;
        platform::MessageBox("The Phonebook file is not in the correct format", "Error");
    }
}

void TPBFrame1::SavePhonebook(const std::string& name) {
    std::string bytes;
    const int n = pbklist->topLevelItemCount();
    csvline::AppendLines(bytes, std::size_t(n), [this](std::string& out, std::size_t i) {
        const PbItem* item = Pb(pbklist->topLevelItem(int(i)));
        pbfile::AppendLine(out, {item->name, item->number});
    });
    datafile::SaveDataFile(name, bytes, &pendingRescue_);
}

bool TPBFrame1::LookupNumber(const std::string& text, std::string& number) const {
    const QLocale locale;
    const QString wanted = locale.toUpper(platform::FromCp1252(text));
    const int n = pbklist->topLevelItemCount();
    for (int i = 0; i < n; ++i) {
        const QTreeWidgetItem* row = pbklist->topLevelItem(i);
        if (row == editing_) continue;
        const PbItem* item = Pb(row);
        if (locale.toUpper(item->qname) == wanted) {
            number = item->number;
            return true;
        }
    }
    return false;
}

void TPBFrame1::SetEditMode(bool editing) {
    pbklist->setEnabled(!editing);
    for (QLineEdit* edit : {EditPBName, EditPBNumber}) {
        edit->clear();
        edit->setVisible(editing);
        edit->setEnabled(editing);
    }
    for (QWidget* w : std::initializer_list<QWidget*>{lblname, lblnumber, BtnPBOK, BtnPBCancel}) {
        w->setVisible(editing);
        w->setEnabled(editing);
    }
    BtnPBNew->setVisible(!editing);
    BtnPBNew->setEnabled(!editing);
    BtnPBKEdit->setVisible(!editing);
    if (editing) EditPBName->setFocus();
}

void TPBFrame1::BtnPBOKClick() {
    const std::string typedNumber = platform::ToCp1252(EditPBNumber->text());
    const QString typedName = EditPBName->text();
    std::string number;
    const bool numberValid = pbfile::ReduceNumber(typedNumber, number);
    // Looked at before the code page: a character it has no place for is no "?".
    std::string name;
    bool nameValid = true;
    for (const QChar ch : typedName) {
        if (ch.unicode() >= 32 && ch.unicode() <= 126)
            name += char(ch.unicode());
        else
            nameValid = false;
    }
    std::string message;
    if (!numberValid || typedNumber.empty()) message = "The number you entered is not valid.";
    if (!nameValid || typedName.isEmpty()) message = "The name you entered is not valid.";
    if (!message.empty()) {
        platform::MessageBox(message, "Error");
        return;
    }
    // The entry being edited leaves only now, replaced by the edited one.
    delete editing_;
    editing_ = nullptr;
    pbklist->setUpdatesEnabled(false);
    AddEntry(name, number);
    pbklist->setUpdatesEnabled(true);
    SavePhonebook(kPhonebook);
    SetEditMode(false);
}

void TPBFrame1::BtnPBCancelClick() {
    if (EditingExisting) {
        if (editing_) {
            editing_->setHidden(false);
            editing_ = nullptr;
        } else {
            AddEntry(SavedName, SavedNumber);   // the list was cleared meanwhile
        }
    }
    SetEditMode(false);
}

void TPBFrame1::BtnPBNewClick() {
    EditingExisting = false;
    SavedName.clear();
    SavedNumber.clear();
    if (editing_) editing_->setHidden(false);
    editing_ = nullptr;
    SetEditMode(true);
}

void TPBFrame1::Edit1Click() {
    const int index = SelectedIndex();
    if (index == -1) return;
    QTreeWidgetItem* item = pbklist->topLevelItem(index);
    SetEditMode(true);
    EditPBName->setText(Pb(item)->qname);
    EditPBNumber->setText(QString::fromLatin1(Pb(item)->number));
    EditingExisting = true;
    SavedName = platform::ToCp1252(EditPBName->text());
    SavedNumber = platform::ToCp1252(EditPBNumber->text());
    // Out of view until OK replaces it or Cancel brings it back; every save still has it.
    item->setSelected(false);
    item->setHidden(true);
    editing_ = item;
}

void TPBFrame1::Delete1Click() {
    const int index = SelectedIndex();
    if (index != -1 &&
        platform::MessageBox("Are you sure you want to delete this entry?", "Delete?",
                             platform::BoxButtons::YesNo) == platform::IDYES) {
        delete pbklist->topLevelItem(index);
    }
    SavePhonebook(kPhonebook);
}

void TPBFrame1::NewSMS1Click() {
    const int index = SelectedIndex();
    if (index == -1 || !FrmCompose) return;
    FrmCompose->SetRecipient(Pb(pbklist->topLevelItem(index))->qname);
    FrmCompose->ShowModal();
}

void TPBFrame1::PBPopUpPopup() {
    const bool any = SelectedIndex() != -1;
    NewSMS1->setEnabled(any);
    Delete1->setEnabled(any);
    Edit1->setEnabled(any);
}

void TPBFrame1::pbklistSelectItem(QTreeWidgetItem* item, bool selected) {
    if (!item) return;
    BtnPBKEdit->setEnabled(selected);
}

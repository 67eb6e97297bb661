// The compose window: counter and Send state, the length cap, recipient resolution, the
// send and its results, the close check, drafts reopened for editing, the chooser.
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTreeWidget>

#include <functional>
#include <memory>

#include "client/compose.h"
#include "client/msgframe.h"
#include "client/pbframe.h"
#include "platform/boxes.h"
#include "platform/serial.h"
#include "tests/client/dlg_support.h"
#include "tests/sim/modemsim.h"

namespace {

using testing_support::BoxScript;

void Key(QWidget* w, int key, const QString& text = QString()) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(w, &press);
}

// What a label showed and whether a box was enabled, each as last painted.
class PaintWatch : public QObject {
public:
    PaintWatch(QLabel* label, QPlainTextEdit* box) : label_(label), box_(box) {
        label->installEventFilter(this);
        box->viewport()->installEventFilter(this);
    }
    QString labelText;
    bool labelFits = false;
    bool boxEnabled = true;
protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            if (watched == label_) {
                labelText = label_->text();
                labelFits = label_->width() >= label_->sizeHint().width();
            }
            else boxEnabled = box_->isEnabled();
        }
        return false;
    }
private:
    QLabel* label_;
    QPlainTextEdit* box_;
};

class ComposeWindow : public dlgtest::DialogTest {
protected:
    std::unique_ptr<TMSGFrame1> sent, drafts;
    std::unique_ptr<TFrmCompose> frm;
    std::vector<std::pair<std::string, std::string>> sends;   // (text, number)
    std::function<int()> result = [] { return 1; };
    bool sendingDuringSend = false;
    int closes = 0;

    void SetUp() override {
        DialogTest::SetUp();
        closes = 0;
        sends.clear();
        result = [] { return 1; };
        sent = std::make_unique<TMSGFrame1>();
        sent->FileName = "sent.csv";
        drafts = std::make_unique<TMSGFrame1>();
        drafts->FileName = "unsent.csv";
        frm = std::make_unique<TFrmCompose>();
        frm->SentFrame = sent.get();
        frm->DraftsFrame = drafts.get();
        QObject::connect(frm.get(), &QDialog::finished, [this] { ++closes; });
        SetComposeSender([this](const std::string& text, const std::string& number) {
            sends.emplace_back(text, number);
            sendingDuringSend = Sending;
            return result();
        });
    }
    void TearDown() override {
        SetComposeSender({});
        frm.reset();
        DialogTest::TearDown();
    }
    // The texts that the file holds, read back as the program would.
    std::vector<std::string> FileTexts(const std::string& name) const {
        TMSGFrame1 reread;
        reread.LoadFromFile(name, true);
        std::vector<std::string> texts;
        for (int i = 0; i < reread.Count(); ++i) texts.push_back(reread.ItemText(i));
        return texts;
    }
    QString Panel() const { return frm->StatusPanel1->text(); }
    int Length() const { return MemoLength(frm->MemoSMS->toPlainText()); }
    void AtEnd() { frm->MemoSMS->moveCursor(QTextCursor::End); }
    // Answers the "Message not sent" dialog with code; counts how often it was asked.
    int* AnswerCloseDialog(int code) {
        static int asked;
        asked = 0;
        platform::SetDialogScript([code](QDialog& d) {
            EXPECT_EQ(d.windowTitle(), "Message not sent");
            ++asked;
            return code;
        });
        return &asked;
    }
};

TEST_F(ComposeWindow, CounterAndSendFollowTheLastChangeHandler) {
    EXPECT_EQ(Panel(), "160 Chars Remaining");
    EXPECT_FALSE(frm->ActionSend->isEnabled());
    struct Step { const char* memo; const char* to; const char* panel; bool send; };
    const Step steps[] = {
        {"Hello", nullptr, "155 Characters remaining", true},   // no recipient needed
        {nullptr, "Bob", "155 Characters remaining", true},
        {nullptr, "", "155 Characters remaining", false},       // recipient change decides
        {"a\nb", nullptr, "156 Characters remaining", true},    // a break counts two
        {"a\r\nb\r\nc", nullptr, "153 Characters remaining", true},
        {"", nullptr, "160 Characters remaining", false},
        {nullptr, "Bob", "160 Characters remaining", false},
    };
    for (const Step& s : steps) {
        if (s.memo) frm->SetMemoText(s.memo);
        if (s.to) frm->SetRecipient(s.to);
        EXPECT_EQ(Panel(), s.panel) << (s.memo ? s.memo : s.to);
        EXPECT_EQ(frm->ActionSend->isEnabled(), s.send) << (s.memo ? s.memo : s.to);
    }
    frm->SetMemoText(QString(160, 'x'));
    EXPECT_EQ(Panel(), "0 Characters remaining");
}

TEST_F(ComposeWindow, CapHoldsForTypingEnterAndPaste) {
    struct Case { int start; int key; const char* typed; int after; };
    const Case cases[] = {
        {159, 'A', "a", 160}, {160, 'B', "b", 160},
        {158, Qt::Key_Return, "\r", 160}, {159, Qt::Key_Return, "\r", 159},
    };
    for (const Case& c : cases) {
        frm->SetMemoText(QString(c.start, 'x'));
        AtEnd();
        Key(frm->MemoSMS, c.key, c.typed);
        EXPECT_EQ(Length(), c.after) << "start " << c.start << " key " << c.key;
    }
    struct Paste { int start; const char* clip; const char* tail; };
    const Paste pastes[] = {
        {157, "abcdef", "abc"}, {158, "a\nbc", "a"}, {157, "a\r\nbc", "a\n"}, {160, "z", ""},
    };
    for (const Paste& p : pastes) {
        frm->SetMemoText(QString(p.start, 'x'));
        AtEnd();
        QApplication::clipboard()->setText(p.clip);
        frm->MemoSMS->paste();
        EXPECT_EQ(frm->MemoSMS->toPlainText(), QString(p.start, 'x') + p.tail) << p.clip;
    }
    // A full text accepts a key that replaces the selection.
    frm->SetMemoText(QString(160, 'x'));
    frm->MemoSMS->selectAll();
    Key(frm->MemoSMS, 'Q', "q");
    EXPECT_EQ(frm->MemoSMS->toPlainText(), "q");
}

TEST_F(ComposeWindow, OverlongTextFromAnOpenerStaysAndRefusesMore) {
    frm->SetMemoText(QString(170, 'y'));
    EXPECT_EQ(Panel(), "-10 Characters remaining");
    EXPECT_TRUE(frm->ActionSend->isEnabled());
    AtEnd();
    Key(frm->MemoSMS, 'A', "a");
    EXPECT_EQ(Length(), 170);
    Key(frm->MemoSMS, Qt::Key_Backspace);
    EXPECT_EQ(Length(), 169);
}

TEST(ComposeRecipient, ResolvesNamesAndNumbers) {
    const NumberLookup book = [](const std::string& name, std::string& number) {
        const std::pair<const char*, const char*> entries[] = {{"Bob", "447700900001"},
                                                               {"Office 2", "0207946000"}};
        for (const auto& [n, num] : entries) {
            if (QString::fromLatin1(n).compare(QString::fromLatin1(name.c_str()),
                                               Qt::CaseInsensitive) == 0) {
                number = num;
                return true;
            }
        }
        return false;
    };
    struct Case { const char* typed; bool valid; const char* number; };
    const Case cases[] = {
        {"+1 (23) 4-5 6", true, "123456"}, {"bOB", true, "447700900001"},
        {"Office 2", true, "0207946000"}, {"Mary", false, ""}, {"0123x", false, ""},
        {"12 ab", false, ""}, {"", true, ""}, {" -()+", true, ""}, {"12.5", false, ""},
    };
    for (const Case& c : cases) {
        std::string number = "junk";
        EXPECT_EQ(ResolveRecipient(c.typed, book, number), c.valid) << c.typed;
        if (c.valid) {
            EXPECT_EQ(number, c.number) << c.typed;
        }
    }
}

TEST(ComposeRecipient, UnquoteNumberStripsOnePairOnly) {
    const std::pair<const char*, const char*> cases[] = {
        {"\"+447700900123\"", "+447700900123"}, {"\"\"", ""}, {"\"", "\""},
        {"12\"", "12\""}, {"\"a\"b\"", "a\"b"}, {"\"\"1\"\"", "\"1\""}, {"0770", "0770"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(UnquoteNumber(in), out) << in;
}

TEST_F(ComposeWindow, EachResultBringsItsBoxAndPanel) {
    struct Case { int code; const char* box; const char* panel; };
    const Case cases[] = {
        {2, "Sending failed. Please check the modem.", "Error"},
        {3, "Failed to initialise the modem. Please check the modem.", "Error"},
        {4, "The modem is busy receiving a message. Please try again.", "Error"},
        {5, "Sending timed out. Please check the modem.", "Error"},
        {0, "Sending failed. Please check the modem.", "Error"},
        {9, "Sending failed. Please check the modem.", "Error"},
    };
    for (const Case& c : cases) {
        result = [&] { return c.code; };
        frm->SetRecipient("+44 (0)7700-900123");
        frm->SetMemoText("Hi there");
        bool sendingAtBox = false;
        std::string shown;
        auto old = platform::SetBoxHandler([&](const platform::BoxRequest& r) {
            sendingAtBox = Sending;
            shown = r.caption + ": " + r.text;
            return int(platform::IDOK);
        });
        frm->ActionSendExecute();
        platform::SetBoxHandler(old);
        EXPECT_EQ(shown, std::string("Error: ") + c.box) << c.code;
        EXPECT_TRUE(sendingDuringSend);
        EXPECT_TRUE(sendingAtBox) << "Sending is cleared only after the box";
        EXPECT_FALSE(Sending);
        EXPECT_EQ(Panel(), c.panel);
        EXPECT_TRUE(frm->ActionSend->isEnabled() && frm->MemoSMS->isEnabled()
                    && frm->EditTo->isEnabled());
        EXPECT_TRUE(ComposeCheckOnClose);
    }
    EXPECT_EQ(sends.back().second, "4407700900123");
    EXPECT_EQ(sent->Count(), 0);
    EXPECT_EQ(closes, 0);
}

TEST_F(ComposeWindow, SuccessFilesTheNumberUsedAndCloses) {
    for (bool clear : {false, true}) {
        Settings.ClearCompose = clear;
        frm->SetRecipient("+1 (23) 4-5 6");
        frm->SetMemoText("Line one\nLine two");
        ComposeCheckOnClose = true;
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        BoxScript boxes;   // no box may come
        frm->ActionSendExecute();
        const QDateTime after = QDateTime::currentDateTime().addSecs(1);

        ASSERT_EQ(sent->Count(), clear ? 2 : 1);
        const int row = sent->Count() - 1;
        EXPECT_EQ(sends.back(), std::make_pair(std::string("Line one\r\nLine two"),
                                               std::string("123456")));
        EXPECT_EQ(sent->ItemNumber(row), "123456");
        EXPECT_EQ(sent->ItemText(row), "Line one\r\nLine two");
        EXPECT_EQ(sent->ItemStatus(row), "Old");
        const QString date = QString::fromStdString(sent->ItemDate(row));
        EXPECT_TRUE(QRegularExpression("^\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d$").match(date).hasMatch()) << date.toStdString();
        const QDateTime stamp = QDateTime::fromString(date, "yyyy/MM/dd HH:mm:ss");
        EXPECT_TRUE(stamp >= before && stamp <= after) << date.toStdString();
        EXPECT_NE(env.ReadData("sent.csv").find("123456"), std::string::npos);
        EXPECT_FALSE(ComposeCheckOnClose);
        EXPECT_FALSE(Sending);
        EXPECT_EQ(closes, clear ? 2 : 1);
        EXPECT_EQ(frm->MemoSMS->toPlainText().isEmpty(), clear);
        EXPECT_EQ(frm->EditTo->text().isEmpty(), clear);
    }
}

TEST_F(ComposeWindow, SendingStateIsPaintedBeforeTheEngineBlocks) {
    frm->SetRecipient("123");
    frm->SetMemoText("Hi");
    frm->show();
    frm->StatusPanel1->setText("Error");   // as a failed send leaves it: a narrow panel
    QApplication::processEvents();
    PaintWatch watch(frm->StatusPanel1, frm->MemoSMS);
    frm->SetMemoText("Hi there");   // a repaint only scheduled
    QString panelSeen;
    bool panelFitted = false, boxSeenEnabled = true;
    SetComposeSender([&](const std::string&, const std::string&) {
        panelSeen = watch.labelText;
        panelFitted = watch.labelFits;
        boxSeenEnabled = watch.boxEnabled;
        return 1;
    });
    frm->ActionSendExecute();
    EXPECT_EQ(panelSeen, "Sending...");
    EXPECT_TRUE(panelFitted);
    EXPECT_FALSE(boxSeenEnabled);
}

TEST_F(ComposeWindow, RefusedRecipientAndThrownErrors) {
    frm->SetRecipient("Mary");
    frm->SetMemoText("Hello");
    {
        BoxScript boxes;
        boxes.Expect("Either the recipient's number is invalid, or their name could not be found in the Phonebook.");
        frm->ActionSendExecute();
        EXPECT_EQ(boxes.pending(), 0);
    }
    EXPECT_TRUE(sends.empty());
    EXPECT_EQ(Panel(), "155 Characters remaining");
    EXPECT_TRUE(frm->EditTo->isEnabled());

    frm->SetRecipient("0770");
    result = []() -> int { throw platform::SerialError("port vanished"); };
    {
        BoxScript boxes;
        boxes.Expect("Sending failed. Please check the modem.");
        frm->ActionSendExecute();
        EXPECT_EQ(boxes.pending(), 0);
    }
    EXPECT_FALSE(Sending);
    EXPECT_EQ(Panel(), "Error");
    EXPECT_TRUE(frm->ActionSend->isEnabled() && frm->MemoSMS->isEnabled());
    EXPECT_EQ(closes, 0);
}

TEST_F(ComposeWindow, SendThroughTheEngineToTheSimulatedUnit) {
    SetComposeSender({});
    sim::ModemSim unit;
    unit.LinkAsCom(env.ports(), 1);
    unit.Start();
    dlgtest::PortWindow window;
    SetMainWindow(&window);
    Settings.Port = 1;
    window.SetCommPort(1);

    frm->SetRecipient("+44 7700 900123");
    frm->SetMemoText("Hello \x1B" "from the\x1A test");   // 26 and 27 never go out
    {
        BoxScript boxes;
        frm->ActionSendExecute();
    }
    ASSERT_EQ(unit.Sent().size(), 1u);
    EXPECT_EQ(unit.Sent()[0].number, "447700900123");
    EXPECT_EQ(unit.Sent()[0].text, "Hello from the test");
    ASSERT_EQ(sent->Count(), 1);
    EXPECT_EQ(sent->ItemNumber(0), "447700900123");
    EXPECT_EQ(sent->ItemText(0), "Hello from the test");   // Sent holds what went out

    unit.SetErrorFor("AT+CMGS", true);
    {
        BoxScript boxes;
        boxes.Expect("Sending failed. Please check the modem.");
        frm->ActionSendExecute();
        EXPECT_EQ(boxes.pending(), 0);
    }
    EXPECT_EQ(sent->Count(), 1);
    EXPECT_FALSE(Sending);
}

TEST_F(ComposeWindow, NoUnitShowsNotFoundThenInitialiseFailure) {
    SetComposeSender({});
    dlgtest::PortWindow window;
    SetMainWindow(&window);
    frm->SetRecipient("123");
    frm->SetMemoText("Hi");
    BoxScript boxes;
    boxes.Expect("The Corvane modem unit was not found.")
        .Expect("Failed to initialise the modem. Please check the modem.");
    frm->ActionSendExecute();
    EXPECT_EQ(boxes.pending(), 0);
    EXPECT_EQ(Panel(), "Error");
}

TEST_F(ComposeWindow, CloseCheck) {
    struct Case { const char* text; int answer; bool asked; bool closed; int drafts;
                  const char* after; int sent; };
    const Case cases[] = {
        {"", 3, false, true, 0, "", 0},
        {"-- Sig", 3, false, true, 0, "-- Sig", 0},
        {"Call me", 2, true, true, 0, "-- Sig", 0},          // discard: text := signature
        {"Call me", 3, true, true, 1, "Call me", 0},         // drafts keep it, text stays
        {"Call me", 1, true, true, 0, "Call me", 1},         // send now, then closed
    };
    for (const Case& c : cases) {
        SetUp();   // fresh window, frames and files for each case
        Settings.Signature = "-- Sig";
        frm->SetRecipient("+44 (0) 7700");
        frm->SetMemoText(c.text);
        frm->FormShow();
        int* asked = AnswerCloseDialog(c.answer);
        frm->ActionCloseExecute();
        EXPECT_EQ(*asked, c.asked ? 1 : 0) << c.text << " " << c.answer;
        EXPECT_EQ(closes, c.closed ? 1 : 0) << c.text << " " << c.answer;
        EXPECT_EQ(frm->MemoSMS->toPlainText(), c.after);
        EXPECT_EQ(sent->Count(), c.sent);
        ASSERT_EQ(drafts->Count(), c.drafts);
        if (c.drafts) {
            EXPECT_EQ(drafts->ItemNumber(0), "+44 (0) 7700");   // as typed
            EXPECT_EQ(FileTexts("unsent.csv"), std::vector<std::string>{"Call me"});
        }
        // Closed windows ask nothing until shown again.
        TearDown();
    }
}

TEST_F(ComposeWindow, FailedSendNowKeepsTheWindowOpen) {
    result = [] { return 5; };
    frm->SetRecipient("123");
    frm->SetMemoText("Hi");
    frm->FormShow();
    AnswerCloseDialog(1);
    BoxScript boxes;
    boxes.Expect("Sending timed out.");
    frm->ActionCloseExecute();
    EXPECT_EQ(closes, 0);
    EXPECT_TRUE(ComposeCheckOnClose);
}

TEST_F(ComposeWindow, DraftLeavesWhenTheWindowCloses) {
    enum Outcome { Sent, Discarded, SavedAgain, ClosedEmpty, ClosedSignature, LeftOpen };
    struct Case { Outcome how; int draftsAfter; };
    const Case cases[] = {{Sent, 0},        {Discarded, 0},       {SavedAgain, 1},
                          {ClosedEmpty, 0}, {ClosedSignature, 0}, {LeftOpen, 1}};
    for (const Case& c : cases) {
        SetUp();
        drafts->AddMessage("0770", "old draft", "2024/05/06 10:00:00", true);
        frm->SetRecipient("0770");
        frm->SetMemoText("old draft edited");
        frm->SetPendingDraft(drafts.get(), 0);
        ASSERT_TRUE(frm->HasPendingDraft());
        switch (c.how) {
        case Sent: frm->ActionSendExecute(); break;
        case Discarded: frm->FormShow(); AnswerCloseDialog(2); frm->ActionCloseExecute(); break;
        case SavedAgain: frm->FormShow(); AnswerCloseDialog(3); frm->ActionCloseExecute(); break;
        case ClosedEmpty: frm->SetMemoText(""); frm->FormShow(); frm->ActionCloseExecute(); break;
        case ClosedSignature:   // asks nothing
            Settings.Signature = "-- me";
            frm->SetMemoText("-- me");
            frm->FormShow();
            frm->ActionCloseExecute();
            break;
        case LeftOpen:   // the modal run ends without an outcome (the program quits)
            platform::SetDialogScript([](QDialog&) { return 0; });
            frm->ShowModal();
            break;
        }
        ASSERT_EQ(drafts->Count(), c.draftsAfter) << c.how;
        const std::vector<std::string> file = FileTexts("unsent.csv");
        if (c.how == SavedAgain)
            EXPECT_EQ(file, std::vector<std::string>{"old draft edited"});
        else if (c.draftsAfter)
            EXPECT_EQ(file, std::vector<std::string>{"old draft"}) << c.how;
        else
            EXPECT_TRUE(file.empty()) << c.how;
        EXPECT_FALSE(frm->HasPendingDraft());
        TearDown();
    }
}

TEST_F(ComposeWindow, ChooserFillsTheRecipientWithTheName) {
    env.WriteData("book.csv", "\"Zoe\",111\r\n\"Adam\",222\r\n\"Bob\",333");
    TPBFrame1 book;
    book.LoadPhonebook(env.data() + "/book.csv", true);
    frm->PhonebookFrame = &book;
    TFrmRecipient chooser;
    struct Case { const char* pick; bool ok; const char* to; };
    const Case cases[] = {{"Bob", true, "Bob"}, {"Zoe", false, "Bob"}, {nullptr, true, "Bob"}};
    for (const Case& c : cases) {
        QStringList shown;
        platform::SetDialogScript([&](QDialog& d) {
            auto& dlg = dynamic_cast<TFrmRecipient&>(d);
            EXPECT_FALSE(dlg.rcplist->header()->sectionsClickable());   // no re-sort by number
            for (int i = 0; i < dlg.rcplist->topLevelItemCount(); ++i)
                shown << dlg.rcplist->topLevelItem(i)->text(0) + "=" + dlg.rcplist->topLevelItem(i)->text(1);
            if (c.pick)
                dlg.rcplist->findItems(c.pick, Qt::MatchExactly).first()->setSelected(true);
            (c.ok ? dlg.OKBtn : dlg.CancelBtn)->click();
            return dlg.result();
        });
        frm->BtnToClick();
        EXPECT_EQ(shown, QStringList({"Adam=222", "Bob=333", "Zoe=111"}));
        EXPECT_EQ(frm->EditTo->text(), c.to);
    }
    frm->SetRecipient("bob");
    frm->SetMemoText("Hi");
    frm->ActionSendExecute();
    EXPECT_EQ(sends.back().second, "333");
    EXPECT_EQ(sent->ItemNumber(0), "333");
}

TEST(ComposeDialogs, CloseDialogEndsOnlyThroughItsButtons) {
    TComposeCloseDlg dlg;
    dlg.show();
    dlg.close();
    Key(&dlg, Qt::Key_Escape);
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.Label1->text(), "Your message has not been sent. Would you like to");
    const std::pair<QPushButton*, const char*> buttons[] = {
        {dlg.Button1, "&Send now"}, {dlg.Button2, "&Discard Message"}, {dlg.Button3, "S&ave to Drafts"}};
    int code = 1;
    int firstPadding = -1;
    for (const auto& [button, caption] : buttons) {
        EXPECT_EQ(button->text(), caption);
        // Each caption fits with the same padding as its neighbours.
        const int padding = button->width() -
            button->fontMetrics().horizontalAdvance(QString(caption).remove('&'));
        EXPECT_GE(padding, 8) << caption;
        if (firstPadding < 0) firstPadding = padding;
        EXPECT_LE(std::abs(padding - firstPadding), 1) << caption;
        dlg.show();
        button->click();
        EXPECT_FALSE(dlg.isVisible());
        EXPECT_EQ(dlg.result(), code++);
    }
}

} // namespace

// The message-list pane: its file, selection, sorting, deleting, printing, reply and resend.
#include <gtest/gtest.h>

#include <QDialog>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QTextBlock>
#include <QTextEdit>
#include <QTreeWidget>
#include <cerrno>
#include <filesystem>
#include <unistd.h>

#include "client/compose.h"
#include "client/datafile.h"
#include "client/msgframe.h"
#include "engine/globals.h"
#include "platform/qt/dialogs.h"
#include "tests/support/testenv.h"

using testing_support::BoxScript;
using testing_support::TestEnv;

namespace {

const char kReceivedLine[] =
    "\"\"\"+447700900123\"\"\",\"See%20you%20at%207,%20\"\"Caf%E9\"\"%20+1\","
    "\"2006/01/02 10:20:30\",New";
const char kSentLine[] = "\"07700900123\",OK,\"2006/01/02 10:25:00\",Old";
const char kDraftLine[] = "\"Office\",,\"2006/01/02 10:30:00\",Old";

std::vector<std::string> BadCopies(const TestEnv& env, const std::string& name) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(env.data())) {
        std::string n = e.path().filename();
        if (n.rfind(name + ".bad-", 0) == 0) out.push_back(n);
    }
    return out;
}

// Restores a dialog script when it goes.
struct ScopedScript {
    explicit ScopedScript(platform::DialogScript s) : previous(platform::SetDialogScript(std::move(s))) {}
    ~ScopedScript() { platform::SetDialogScript(std::move(previous)); }
    platform::DialogScript previous;
};

class MsgFrameTest : public ::testing::Test {
protected:
    TestEnv env;
    BoxScript boxes;
    TMSGFrame1 frame;

    void Select(int row) {
        frame.msglist->clearSelection();
        frame.msglist->topLevelItem(row)->setSelected(true);
    }
    QStringList Column(int column) const {
        QStringList out;
        for (int i = 0; i < frame.msglist->topLevelItemCount(); ++i)
            out << frame.msglist->topLevelItem(i)->text(column);
        return out;
    }
};

TEST_F(MsgFrameTest, AddMessageWritesTheRecordsByteForByte) {
    frame.LoadFromFile("inbox.csv", true);
    EXPECT_FALSE(env.DataExists("inbox.csv"));   // a missing file is no error
    EXPECT_EQ(frame.FileName, "inbox.csv");
    frame.AddMessage("\"+447700900123\"", "  See you at 7, \"Caf\xE9\" +1\x13", "2006/01/02 10:20:30",
                     false);
    EXPECT_EQ(env.ReadData("inbox.csv"), kReceivedLine);
    frame.AddMessage("07700900123", "OK", "2006/01/02 10:25:00", true);
    frame.AddMessage("Office", "", "2006/01/02 10:30:00", true);
    EXPECT_EQ(env.ReadData("inbox.csv"),
              std::string(kReceivedLine) + "\r\n" + kSentLine + "\r\n" + kDraftLine);
    EXPECT_EQ(frame.ItemText(0), "See you at 7, \"Caf\xE9\" +1");   // cleaned
    EXPECT_EQ(frame.ItemStatus(0), "New");
    EXPECT_EQ(frame.ItemStatus(1), "Old");
    EXPECT_TRUE(frame.msglist->topLevelItem(0)->font(0).bold());
    EXPECT_FALSE(frame.msglist->topLevelItem(1)->font(0).bold());

    TMSGFrame1 again;
    again.LoadFromFile("inbox.csv", true);
    ASSERT_EQ(again.Count(), 3);
    EXPECT_EQ(again.ItemNumber(0), "\"+447700900123\"");
    EXPECT_EQ(again.ItemText(0), "See you at 7, \"Caf\xE9\" +1");
    EXPECT_EQ(again.ItemDate(2), "2006/01/02 10:30:00");
    EXPECT_EQ(again.ItemText(2), "");
    EXPECT_EQ(again.msglist->topLevelItem(0)->text(1), QString::fromUtf8("See you at 7, \"Café\" +1"));

    // Emptied by deletes, the file has no bytes at all.
    boxes.Expect("these messages", platform::IDYES);
    frame.msglist->selectAll();
    frame.mnuDeleteClick();
    EXPECT_EQ(frame.Count(), 0);
    EXPECT_EQ(env.ReadData("inbox.csv"), "");
    EXPECT_TRUE(env.DataExists("inbox.BAK"));
}

TEST_F(MsgFrameTest, AReceivedCopyIsFiledUnlessTheUnitHeldItAsRead) {
    frame.LoadFromFile("inbox.csv", true);
    // The same text sent twice in one second: both are filed.
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(frame.AddReceived("\"+1\"", "OK", "2024/05/12 14:23:11", false, false).added);
    // One left on the unit as read by a collection cut short after the save.
    EXPECT_FALSE(frame.AddReceived("\"+1\"", "OK\r\n", "2024/05/12 14:23:11", false, true).added);
    EXPECT_EQ(frame.Count(), 2);
}

TEST_F(MsgFrameTest, LoadKeepsReadingTolerantRecords) {
    env.WriteData("sent.csv", std::string(kSentLine) + ",extra\r\n\"x\",t,d,new\r\n");
    frame.AddMessage("kept", "", "", true);   // no file bound yet: nothing written
    frame.LoadFromFile("sent.csv", false);
    ASSERT_EQ(frame.Count(), 3);
    EXPECT_EQ(frame.ItemNumber(0), "kept");
    EXPECT_EQ(frame.ItemStatus(2), "new");
    // "new" is no "New": regular style, and selecting it changes nothing.
    EXPECT_FALSE(frame.msglist->topLevelItem(2)->font(0).bold());
    env.WriteData("sent.csv", "untouched");
    Select(2);
    EXPECT_EQ(frame.ItemStatus(2), "new");
    EXPECT_EQ(env.ReadData("sent.csv"), "untouched");
    EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(MsgFrameTest, ABadLineStopsTheLoadAndTheFileIsKeptAside) {
    const std::string original =
        std::string(kSentLine) + "\r\n\"only\",three,fields\r\n" + kDraftLine;
    env.WriteData("inbox.csv", original);
    boxes.Expect("The message file is not in the correct format");
    frame.LoadFromFile("inbox.csv", true);
    ASSERT_EQ(boxes.shown().size(), 1u);
    const auto& box = boxes.shown()[0];
    EXPECT_EQ(box.caption, "Error");
    EXPECT_EQ(box.text, "The message file is not in the correct format");
    ASSERT_EQ(frame.Count(), 1);
    TMSGFrame1 again;   // the next start, with nothing saved between
    boxes.Expect("The message file is not in the correct format");
    again.LoadFromFile("inbox.csv", true);
    EXPECT_TRUE(BadCopies(env, "inbox.csv").empty());   // kept only once it is saved over

    // Later saves rewrite the file from the list; the one copy, made before the first, stays.
    frame.AddMessage("1", "a", "d", false);
    auto copies = BadCopies(env, "inbox.csv");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(env.ReadData(copies[0]), original);
    frame.AddMessage("2", "b", "d", false);
    EXPECT_EQ(BadCopies(env, "inbox.csv").size(), 1u);
    EXPECT_EQ(env.ReadData(copies[0]), original);
    EXPECT_EQ(env.ReadData("inbox.csv"), std::string(kSentLine) + "\r\n\"1\",a,d,New\r\n\"2\",b,d,New");
}

TEST_F(MsgFrameTest, SelectingShowsThePreviewAndMarksNewMessagesOld) {
    frame.LoadFromFile("inbox.csv", true);
    frame.AddMessage("+4411", "<b>not bold</b>\r\nline two", "2006/01/02 10:20:30", false);
    frame.AddMessage("+4422", "old one", "2006/01/03 10:20:30", true);
    MailWaiting = true;
    Select(0);
    EXPECT_FALSE(MailWaiting);
    EXPECT_EQ(frame.ItemStatus(0), "Old");
    EXPECT_FALSE(frame.msglist->topLevelItem(0)->font(0).bold());
    EXPECT_EQ(env.ReadData("inbox.csv"),
              "\"+4411\",%3Cb%3Enot%20bold%3C/b%3E%0D%0Aline%20two,\"2006/01/02 10:20:30\",Old"
              "\r\n\"+4422\",old%20one,\"2006/01/03 10:20:30\",Old");
    EXPECT_EQ(frame.SelectedNumber, "+4411");
    EXPECT_EQ(frame.SelectedText, "<b>not bold</b>\r\nline two");
    EXPECT_EQ(frame.RichEdit1->toPlainText(),
              "From: +4411\nDate: 2006/01/02 10:20:30\nMessage Text: <b>not bold</b>\nline two");
    // Bold runs are the labels and nothing else.
    QStringList bold;
    for (QTextBlock b = frame.RichEdit1->document()->begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().fontWeight() == QFont::Bold) bold << it.fragment().text();
    EXPECT_EQ(bold, (QStringList{"From: ", "Date: ", "Message Text: "}));

    // An "Old" message rewrites nothing; losing the selection leaves the preview.
    env.WriteData("inbox.csv", "untouched");
    MailWaiting = true;
    Select(1);
    EXPECT_EQ(env.ReadData("inbox.csv"), "untouched");
    EXPECT_FALSE(MailWaiting);
    frame.msglist->clearSelection();
    EXPECT_TRUE(frame.RichEdit1->toPlainText().startsWith("From: +4422"));

    TMSGFrame1 sent;
    sent.LoadFromFile("sent.csv", true);
    sent.AddMessage("+4433", "x", "d", true);
    sent.msglist->topLevelItem(0)->setSelected(true);
    EXPECT_TRUE(sent.RichEdit1->toPlainText().startsWith("To: +4433"));
}

TEST_F(MsgFrameTest, SortingIsSharedByAllListsAndSavedInDisplayOrder) {
    TMSGFrame1 other;   // constructing resets the shared state, as at start-up
    frame.LoadFromFile("inbox.csv", true);
    frame.AddMessage("3", "banana", "2006/01/02", true);
    frame.AddMessage("1", "apple", "2006/01/03", true);
    frame.AddMessage("2", "Cherry", "2006/01/01", true);
    other.AddMessage("x", "b", "", true);
    other.AddMessage("y", "A", "", true);
    other.AddMessage("z", "c", "", true);

    struct Step {
        TMSGFrame1* list;
        int column;
        QStringList expected;   // of the "Message" column
    };
    const Step steps[] = {
        {&frame, 2, {"Cherry", "banana", "apple"}},   // Date ascending
        {&frame, 2, {"apple", "banana", "Cherry"}},   // Date again: descending
        {&frame, 1, {"Cherry", "banana", "apple"}},   // Message: direction in force
        {&other, 1, {"A", "b", "c"}},                 // same index elsewhere: flips
        {&other, 0, {"b", "A", "c"}},                 // captions x, y, z ascending
    };
    for (const auto& step : steps) {
        step.list->msglistColumnClick(step.column);
        QStringList texts;
        for (int i = 0; i < step.list->Count(); ++i)
            texts << QString::fromStdString(step.list->ItemText(i));
        EXPECT_EQ(texts, step.expected) << "column " << step.column;
    }
    EXPECT_EQ(SortColumn, 0);
    EXPECT_TRUE(SortAscending);
    frame.mnuDeleteClick();   // nothing selected: asks nothing, saves
    EXPECT_EQ(env.ReadData("inbox.csv"),
              "\"2\",Cherry,2006/01/01,Old\r\n\"3\",banana,2006/01/02,Old\r\n\"1\",apple,2006/01/03,Old");

    // CompareItems: case-insensitive, negated for descending.
    SortAscending = true;
    auto* a = frame.msglist->topLevelItem(2);   // apple
    auto* c = frame.msglist->topLevelItem(0);   // Cherry
    EXPECT_LT(TMSGFrame1::CompareItems(a, c, 1), 0);
    SortAscending = false;
    EXPECT_GT(TMSGFrame1::CompareItems(a, c, 1), 0);
    SortAscending = true;
}

TEST_F(MsgFrameTest, DeleteAsksAndAlwaysRewritesTheFile) {
    frame.LoadFromFile("unsent.csv", true);
    for (const char* n : {"1", "2", "3"}) frame.AddMessage(n, "t", "d", true);
    struct Case {
        std::vector<int> rows;
        int answer;
        const char* question;
        int countAfter;
    };
    const Case cases[] = {
        {{1}, platform::IDNO, "Are you sure you want to delete this message?", 3},
        {{0, 2}, platform::IDNO, "Are you sure you want to delete these messages?", 3},
        {{0, 2}, platform::IDYES, "Are you sure you want to delete these messages?", 1},
    };
    for (const auto& c : cases) {
        frame.msglist->clearSelection();
        for (int r : c.rows) frame.msglist->topLevelItem(r)->setSelected(true);
        env.WriteData("unsent.csv", "stale");
        boxes.Expect(c.question, c.answer);
        frame.mnuDeleteClick();
        EXPECT_EQ(boxes.shown().back().caption, "Delete?");
        EXPECT_EQ(boxes.shown().back().buttons, platform::BoxButtons::YesNo);
        EXPECT_EQ(frame.Count(), c.countAfter);
        EXPECT_NE(env.ReadData("unsent.csv"), "stale");
    }
    EXPECT_EQ(frame.ItemNumber(0), "2");
    EXPECT_TRUE(frame.RichEdit1->toPlainText().isEmpty());
    EXPECT_EQ(boxes.pending(), 0);
}

TEST_F(MsgFrameTest, PopupEntriesFollowTheSelection) {
    frame.AddMessage("1", "t", "d", true);
    frame.MSGPopupPopup();
    for (QAction* a : {frame.mnuResend, frame.mnuReply, frame.mnuPrint, frame.mnuDelete})
        EXPECT_FALSE(a->isEnabled());
    Select(0);
    frame.MSGPopupPopup();
    for (QAction* a : {frame.mnuResend, frame.mnuReply, frame.mnuPrint, frame.mnuDelete})
        EXPECT_TRUE(a->isEnabled());
}

TEST_F(MsgFrameTest, PrintsThePreviewAsOneTitledDocument) {
    frame.LoadFromFile("inbox.csv", true);
    frame.AddMessage("+4411", "print me", "2006/01/02 10:20:30", true);
    Select(0);
    const QString pdf = QString::fromStdString(env.root() + "/out.pdf");
    int dialogs = 0;
    for (int answer : {int(QDialog::Rejected), int(QDialog::Accepted)}) {
        ScopedScript script([&](QDialog& d) {
            ++dialogs;
            auto* pd = dynamic_cast<QPrintDialog*>(&d);
            EXPECT_NE(pd, nullptr);
            if (pd) {
                pd->printer()->setOutputFormat(QPrinter::PdfFormat);
                pd->printer()->setOutputFileName(pdf);
            }
            return answer;
        });
        frame.mnuPrintClick();
        EXPECT_EQ(QFile::exists(pdf), answer == QDialog::Accepted);
    }
    EXPECT_EQ(dialogs, 2);
    QFile file(pdf);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    EXPECT_TRUE(bytes.startsWith("%PDF"));
    // The document title is stored in UTF-16 in the file's information dictionary.
    QByteArray title;
    for (char c : QByteArray("Corvane Message")) title.append('\0').append(c);
    EXPECT_TRUE(bytes.contains("Corvane Message") || bytes.contains(title));
}

class MsgFrameComposeTest : public MsgFrameTest {
protected:
    MsgFrameComposeTest() {
        previous_ = FrmCompose;
        FrmCompose = &compose;
    }
    ~MsgFrameComposeTest() override { FrmCompose = previous_; }
    TFrmCompose compose;
    TFrmCompose* previous_ = nullptr;
};

TEST_F(MsgFrameComposeTest, ReplyAndResendFillTheComposeWindow) {
    Settings.Signature = "-- sig";
    frame.LoadFromFile("inbox.csv", true);
    frame.AddMessage("\"+4411\"", "hello", "d", true);
    Select(0);
    struct Seen {
        QString to, memo;
        bool pending;
    } seen;
    TMSGFrame1 drafts;
    ScopedScript script([&](QDialog&) {
        seen = {compose.EditTo->text(), compose.MemoSMS->toPlainText(), compose.HasPendingDraft()};
        return int(QDialog::Rejected);
    });

    frame.mnuReplyClick();
    EXPECT_EQ(seen.to, "+4411");   // without the quotes the unit put around it
    EXPECT_EQ(frame.ItemNumber(0), "\"+4411\"");   // the stored line keeps them
    EXPECT_EQ(seen.memo, "-- sig");
    compose.SetMemoText("typed earlier");
    frame.mnuReplyClick();
    EXPECT_EQ(seen.memo, "typed earlier");   // a text in the memo stays

    EXPECT_FALSE(seen.pending);

    // Resend from Drafts names the draft to the compose window; a modal run that ends
    // without the window closing leaves it in the list and the file.
    drafts.LoadFromFile("unsent.csv", true);
    drafts.AddMessage("Office", "draft text", "d", true);
    drafts.AddMessage("Home", "other", "d", true);
    drafts.msglist->topLevelItem(0)->setSelected(true);
    drafts.mnuResendClick();
    EXPECT_EQ(seen.to, "Office");
    EXPECT_EQ(seen.memo, "draft text");
    EXPECT_TRUE(seen.pending);
    EXPECT_EQ(drafts.Count(), 2);
    EXPECT_EQ(env.ReadData("unsent.csv"), "\"Office\",draft%20text,d,Old\r\n\"Home\",other,d,Old");
    // With no selection no draft is named; the last selected message opens again.
    drafts.msglist->clearSelection();
    drafts.mnuResendClick();
    EXPECT_EQ(seen.memo, "draft text");
    EXPECT_FALSE(seen.pending);
    Settings.Signature.clear();
}

TEST(MsgFrameAlone, ResendWithoutAComposeWindowKeepsTheDraft) {
    TestEnv env;
    ASSERT_EQ(FrmCompose, nullptr);
    TMSGFrame1 drafts;
    drafts.LoadFromFile("unsent.csv", true);
    drafts.AddMessage("Office", "draft", "d", true);
    drafts.msglist->topLevelItem(0)->setSelected(true);
    drafts.mnuResendClick();
    EXPECT_EQ(drafts.Count(), 1);
    EXPECT_EQ(env.ReadData("unsent.csv"), "\"Office\",draft,d,Old");
}

TEST_F(MsgFrameTest, AFailingSaveIsReportedOnceAndNothingIsLost) {
    frame.LoadFromFile("inbox.csv", true);
    frame.AddMessage("1", "a", "d", true);
    {
        auto previous = datafile::SetWriteHook([](int, const char*, std::size_t) -> long {
            errno = ENOSPC;
            return -1;
        });
        boxes.Expect("could not be saved");
        frame.AddMessage("2", "b", "d", false);
        frame.AddMessage("3", "c", "d", false);
        datafile::SetWriteHook(std::move(previous));
    }
    EXPECT_EQ(boxes.shown().size(), 1u);
    EXPECT_NE(boxes.shown()[0].text.find("inbox.csv"), std::string::npos);
    EXPECT_EQ(env.ReadData("inbox.csv"), "\"1\",a,d,Old");
    EXPECT_EQ(frame.Count(), 3);
    frame.AddMessage("4", "d", "d", false);
    EXPECT_EQ(env.ReadData("inbox.csv"),
              "\"1\",a,d,Old\r\n\"2\",b,d,New\r\n\"3\",c,d,New\r\n\"4\",d,d,New");
}

} // namespace

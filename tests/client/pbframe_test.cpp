// The phonebook file format and the phonebook pane.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>
#include <filesystem>

#include "client/compose.h"
#include "client/pbfile.h"
#include "client/pbframe.h"
#include "platform/qt/dialogs.h"
#include "tests/support/testenv.h"

using testing_support::BoxScript;
using testing_support::TestEnv;

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

TEST(PhonebookFile, LinesAndNumbers) {
    const std::pair<pbfile::Entry, std::string> lines[] = {
        {{"Alice", "0123"}, "\"Alice\",0123"},
        {{"dora, \"Jo\" Ann", "44"}, "\"dora, \"\"Jo\"\" Ann\",44"},
        {{"Nobody", ""}, "\"Nobody\",\"\""},
        {{"", "1"}, "\"\",1"},
    };
    for (const auto& [entry, line] : lines) {
        EXPECT_EQ(pbfile::FormatLine(entry), line);
        auto parsed = pbfile::ParseFile(line);
        ASSERT_EQ(parsed.entries.size(), 1u) << line;
        EXPECT_EQ(parsed.entries[0].name, entry.name);
        EXPECT_EQ(parsed.entries[0].number, entry.number);
    }
    EXPECT_EQ(pbfile::FormatFile({}), "");
    EXPECT_EQ(pbfile::FormatFile({{"a", "1"}, {"b", "2"}}), "\"a\",1\r\n\"b\",2");

    const std::tuple<std::string, bool, std::string> numbers[] = {
        {"+44 (0)12-34 56", true, "440123456"}, {"", true, ""}, {" -()+", true, ""},
        {"12a", false, ""}, {"1.2", false, ""}, {"0800", true, "0800"},
    };
    for (const auto& [text, valid, digits] : numbers) {
        std::string out;
        EXPECT_EQ(pbfile::ReduceNumber(text, out), valid) << text;
        if (valid) {
            EXPECT_EQ(out, digits) << text;
        }
    }
}

TEST(PhonebookFile, ReadingToleranceAndRefusal) {
    struct Case {
        std::string text;
        std::size_t entries;
        long badLine;
    };
    const Case cases[] = {
        {"", 0, -1},
        {"\"a\",1\r\n\"b\",2\r\n", 2, -1},                 // line end after the last line
        {"a,1\nb,\"+44 (1)\"\rc,3", 3, -1},                // bare names, quoted number
        {"\"a\",", 1, -1},                                 // trailing comma: empty number
        {"\"a\",1\r\n\r\n\"b\",2", 1, 1},                  // empty line
        {"\"a\",1\r\n   \r\n\"b\",2", 1, 1},               // line of blanks
        {"\"a\",1\r\nJo Ann,2\r\n\"b\",3", 1, 1},          // unquoted blank: three fields
        {"\"a\",1\r\n\"b\"", 1, 1},                        // one field
        {"\"a\",12x", 0, 0},                               // invalid number
        {std::string("\"a\",1\r\n\0\"b\",2", 12), 1, -1},  // character 0 ends the text
    };
    for (const auto& c : cases) {
        auto parsed = pbfile::ParseFile(c.text);
        EXPECT_EQ(parsed.entries.size(), c.entries) << c.text;
        EXPECT_EQ(parsed.badLine, c.badLine) << c.text;
    }
    EXPECT_EQ(pbfile::ParseFile("a,1\nb,\"+44 (1)\"").entries[1].number, "441");
}

class PBFrameTest : public ::testing::Test {
protected:
    TestEnv env;
    BoxScript boxes;
    TPBFrame1 frame;

    std::string DataPath() const { return env.data() + "/phonebook.csv"; }
    void Load(const std::string& bytes) {
        env.WriteData("phonebook.csv", bytes);
        frame.LoadPhonebook(DataPath(), true);
    }
    void Select(int row) { frame.pbklist->topLevelItem(row)->setSelected(true); }
    void Type(QLineEdit* edit, const QString& text) {
        for (QChar c : text) {
            int key = c == '\b' ? int(Qt::Key_Backspace) : int(c.toUpper().unicode());
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(c));
            QApplication::sendEvent(edit, &press);
        }
    }
    void Edit(const QString& name, const QString& number) {
        frame.EditPBName->setText(name);
        frame.EditPBNumber->setText(number);
    }
};

TEST_F(PBFrameTest, LoadsSortedAndSavesByteForByte) {
    Load("\"carol\",3\r\n\"dora, \"\"Jo\"\" Ann\",\"\"\r\nAlice,\"+44 (1) 2\"\r\nBob,2\r\n");
    EXPECT_EQ(frame.Entries(), (Entries{{"Alice", "4412"}, {"Bob", "2"}, {"carol", "3"},
                                        {"dora, \"Jo\" Ann", ""}}));
    frame.SavePhonebook("phonebook.csv");
    EXPECT_EQ(env.ReadData("phonebook.csv"),
              "\"Alice\",4412\r\n\"Bob\",2\r\n\"carol\",3\r\n\"dora, \"\"Jo\"\" Ann\",\"\"");
    EXPECT_TRUE(env.DataExists("phonebook.BAK"));
    TPBFrame1 again;
    again.LoadPhonebook(DataPath(), true);
    EXPECT_EQ(again.Entries(), frame.Entries());
    // No file: an empty phonebook and no message.
    std::filesystem::remove(DataPath());
    again.LoadPhonebook(DataPath(), true);
    EXPECT_TRUE(again.Entries().empty());
    EXPECT_TRUE(boxes.shown().empty());
}

TEST_F(PBFrameTest, OkChecksTheTypedTexts) {
    struct Case {
        QString name, number;
        const char* message;   // nullptr: accepted
        std::string stored;
    };
    const Case cases[] = {
        {"Jo", "+44 (0)12-34 56", nullptr, "440123456"},
        {"Dash", "- ()+", nullptr, ""},
        {"Jo", "", "The number you entered is not valid.", ""},
        {"Jo", "12a", "The number you entered is not valid.", ""},
        {"", "12", "The name you entered is not valid.", ""},
        {"", "12a", "The name you entered is not valid.", ""},   // wins over the number
        {QString::fromUtf8("Zoë"), "12", "The name you entered is not valid.", ""},
        {QString::fromUtf8("Ωmega 日本"), "12", "The name you entered is not valid.", ""},
        {"Tab\there", "12", "The name you entered is not valid.", ""},
    };
    for (const auto& c : cases) {
        frame.BtnPBNewClick();
        Edit(c.name, c.number);
        if (c.message) boxes.Expect(c.message);
        const std::size_t before = frame.Entries().size();
        frame.BtnPBOKClick();
        if (c.message) {
            EXPECT_EQ(boxes.shown().back().caption, "Error");
            EXPECT_TRUE(frame.BtnPBOK->isVisibleTo(&frame));   // still editing
            EXPECT_EQ(frame.EditPBName->text(), c.name);
            EXPECT_EQ(frame.Entries().size(), before);
            frame.BtnPBCancelClick();
        } else {
            ASSERT_EQ(frame.Entries().size(), before + 1);
            EXPECT_FALSE(frame.BtnPBOK->isVisibleTo(&frame));
            bool found = false;
            for (const auto& [name, number] : frame.Entries())
                found |= name == c.name.toStdString() && number == c.stored;
            EXPECT_TRUE(found) << c.name.toStdString();
        }
    }
    EXPECT_EQ(env.ReadData("phonebook.csv"), "\"Dash\",\"\"\r\n\"Jo\",440123456");
    EXPECT_EQ(boxes.pending(), 0);
}

TEST_F(PBFrameTest, NumberFieldTakesOnlyDigitsFromTheKeyboard) {
    frame.BtnPBNewClick();
    Type(frame.EditPBNumber, "+44 (0)12-34 56");
    EXPECT_EQ(frame.EditPBNumber->text(), "440123456");
    Type(frame.EditPBNumber, "\b\bx9");
    EXPECT_EQ(frame.EditPBNumber->text(), "44012349");
    // Alt, Alt+Shift and Super type their letter into a QLineEdit; an input method commits.
    for (Qt::KeyboardModifiers mods :
         {Qt::KeyboardModifiers(Qt::AltModifier), Qt::AltModifier | Qt::ShiftModifier,
          Qt::KeyboardModifiers(Qt::MetaModifier)}) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_W, mods, "w");
        QApplication::sendEvent(frame.EditPBNumber, &press);
    }
    QInputMethodEvent im;
    im.setCommitString(QString::fromUtf8("5x日6"));
    QApplication::sendEvent(frame.EditPBNumber, &im);
    EXPECT_EQ(frame.EditPBNumber->text(), "4401234956");
    Type(frame.EditPBNumber, "\b\b");
    const std::pair<char, char> keys[] = {{'7', '7'}, {8, 8}, {'a', 0}, {' ', 0}, {'+', 0}};
    for (auto [in, out] : keys) {
        char k = in;
        frame.EditPBNumberKeyPress(k);
        EXPECT_EQ(k, out);
    }
    // Delete and Ctrl+V type no character (their texts are DEL and SYN on X11): they delete
    // and paste as usual.
    frame.EditPBNumber->setCursorPosition(0);
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier, "\x7f");
    QApplication::sendEvent(frame.EditPBNumber, &del);
    EXPECT_EQ(frame.EditPBNumber->text(), "4012349");
    QApplication::clipboard()->setText("+44 ");
    QKeyEvent paste(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier, "\x16");
    QApplication::sendEvent(frame.EditPBNumber, &paste);
    EXPECT_EQ(frame.EditPBNumber->text(), "+44 4012349");
    // Pasted text is not filtered; OK keeps the digits.
    frame.EditPBNumber->setText("+44 (0)12-34 56");
    frame.EditPBName->setText("Paste");
    frame.BtnPBOKClick();
    EXPECT_EQ(frame.Entries(), (Entries{{"Paste", "440123456"}}));
}

TEST_F(PBFrameTest, EditThenCancelChangesNothing) {
    const std::string file = "\"Alice\",1\r\n\"Bob\",2";
    Load(file);
    Select(0);
    frame.Edit1Click();
    EXPECT_EQ(frame.EditPBName->text(), "Alice");
    EXPECT_EQ(frame.EditPBNumber->text(), "1");
    EXPECT_TRUE(EditingExisting);
    EXPECT_EQ(SavedName, "Alice");
    EXPECT_FALSE(frame.pbklist->isEnabled());
    EXPECT_TRUE(frame.pbklist->topLevelItem(0)->isHidden());
    Edit("Changed", "99");
    frame.BtnPBCancelClick();
    EXPECT_EQ(frame.Entries(), (Entries{{"Alice", "1"}, {"Bob", "2"}}));
    EXPECT_FALSE(frame.pbklist->topLevelItem(0)->isHidden());
    EXPECT_TRUE(frame.pbklist->isEnabled());
    EXPECT_EQ(env.ReadData("phonebook.csv"), file);
    EXPECT_FALSE(env.DataExists("phonebook.BAK"));   // not written at all

    // New then Cancel adds nothing.
    frame.BtnPBNewClick();
    Edit("New", "5");
    frame.BtnPBCancelClick();
    EXPECT_EQ(frame.Entries().size(), 2u);
}

TEST_F(PBFrameTest, AnEntryUnderEditSurvivesASaveAndOkReplacesIt) {
    Load("\"Alice\",1\r\n\"Bob\",2");
    env.WriteData("import.txt", "\"Carl\",3");
    Select(0);
    frame.Edit1Click();
    // Out of every list while the edit is open: no lookup or chooser finds it.
    std::string number = "unset";
    EXPECT_FALSE(frame.LookupNumber("alice", number));
    EXPECT_EQ(number, "unset");
    EXPECT_EQ(frame.Entries(), (Entries{{"Bob", "2"}}));
    // An import while the edit is open: the entry is still written.
    frame.LoadPhonebook(env.root() + "/data/import.txt", false);
    frame.SavePhonebook("phonebook.csv");
    EXPECT_EQ(env.ReadData("phonebook.csv"), "\"Alice\",1\r\n\"Bob\",2\r\n\"Carl\",3");
    Edit("Zed", "7");
    frame.BtnPBOKClick();
    EXPECT_EQ(env.ReadData("phonebook.csv"), "\"Bob\",2\r\n\"Carl\",3\r\n\"Zed\",7");
    // An imported name outside codes 32..126 fails OK unchanged; Cancel puts it back.
    env.WriteData("import.txt", "\"Ren\xE9\",4");
    frame.LoadPhonebook(env.data() + "/import.txt", false);
    ASSERT_EQ(frame.Entries()[2].first, "Ren\xE9");
    Select(2);
    frame.Edit1Click();
    boxes.Expect("The name you entered is not valid.");
    frame.BtnPBOKClick();
    frame.BtnPBCancelClick();
    EXPECT_EQ(frame.Entries()[2], (std::pair<std::string, std::string>{"Ren\xE9", "4"}));
}

TEST_F(PBFrameTest, ImportAppendsUpToABadLineAndKeepsNoCopyOfTheImport) {
    Load("\"Bob\",2");
    const std::string import = "\"Alice\",1\r\n\"Dora\",4\r\nJo Ann,5\r\n\"Eve\",6";
    env.WriteData("import.csv", import);
    boxes.Expect("The Phonebook file is not in the correct format");
    frame.LoadPhonebook(env.data() + "/import.csv", false);
    EXPECT_EQ(boxes.shown()[0].text, "The Phonebook file is not in the correct format");
    EXPECT_EQ(boxes.shown()[0].caption, "Error");
    EXPECT_EQ(frame.Entries(), (Entries{{"Alice", "1"}, {"Bob", "2"}, {"Dora", "4"}}));
    frame.SavePhonebook("phonebook.csv");
    EXPECT_EQ(env.ReadData("phonebook.csv"), "\"Alice\",1\r\n\"Bob\",2\r\n\"Dora\",4");
    EXPECT_EQ(env.ReadData("import.csv"), import);
    for (const auto& e : std::filesystem::directory_iterator(env.data()))
        EXPECT_EQ(e.path().filename().string().find(".bad-"), std::string::npos);
}

TEST_F(PBFrameTest, APhonebookThatFailsToLoadIsKeptAside) {
    const std::string original = "\"Alice\",1\r\n\"Bob\",12x\r\n\"Carl\",3";
    boxes.Expect("The Phonebook file is not in the correct format");
    Load(original);
    EXPECT_EQ(boxes.shown()[0].text, "The Phonebook file is not in the correct format");
    const auto copyOf = [&] {
        std::string copy;
        for (const auto& e : std::filesystem::directory_iterator(env.data()))
            if (e.path().filename().string().rfind("phonebook.csv.bad-", 0) == 0)
                copy = e.path().filename();
        return copy;
    };
    EXPECT_TRUE(copyOf().empty());   // kept only once it is saved over
    frame.Delete1Click();   // nothing selected: saves all the same
    const std::string copy = copyOf();
    ASSERT_FALSE(copy.empty());
    EXPECT_EQ(env.ReadData(copy), original);
    frame.Delete1Click();
    EXPECT_EQ(env.ReadData("phonebook.csv"), "\"Alice\",1");
    EXPECT_EQ(env.ReadData(copy), original);
}

TEST_F(PBFrameTest, LookupIgnoresCaseButNotBlanks) {
    Load("\"bob\",1\r\n\"Bob\",2\r\n\"Ann Lee\",3");
    struct Case {
        std::string text;
        bool found;
    };
    const Case cases[] = {{"ANN LEE", true}, {"ann lee", true}, {" Ann Lee", false},
                          {"Ann Lee ", false}, {"Ann", false}, {"", false}};
    for (const auto& c : cases) {
        std::string number = "unchanged";
        EXPECT_EQ(frame.LookupNumber(c.text, number), c.found) << c.text;
        EXPECT_EQ(number, c.found ? "3" : "unchanged") << c.text;
    }
    // Names equal but for case: the first in list order wins.
    std::string number;
    ASSERT_TRUE(frame.LookupNumber("BOB", number));
    const auto entries = frame.Entries();   // "Ann Lee" sorts first in any locale
    ASSERT_EQ(entries[0].first, "Ann Lee");
    EXPECT_EQ(number, entries[1].second);
}

TEST_F(PBFrameTest, DeleteAsksAndAlwaysSaves) {
    Load("\"Alice\",1\r\n\"Bob\",2");
    Select(1);
    env.WriteData("phonebook.csv", "stale");
    boxes.Expect("Are you sure you want to delete this entry?", platform::IDNO);
    frame.Delete1Click();
    EXPECT_EQ(boxes.shown().back().caption, "Delete?");
    EXPECT_EQ(env.ReadData("phonebook.csv"), "\"Alice\",1\r\n\"Bob\",2");
    boxes.Expect("Are you sure you want to delete this entry?", platform::IDYES);
    frame.Delete1Click();
    EXPECT_EQ(env.ReadData("phonebook.csv"), "\"Alice\",1");
}

TEST_F(PBFrameTest, MenuAndEditButtonFollowTheSelection) {
    Load("\"Alice\",1");
    EXPECT_FALSE(frame.BtnPBKEdit->isEnabled());
    for (bool selected : {false, true}) {
        if (selected) Select(0);
        frame.PBPopUpPopup();
        for (QAction* a : {frame.Edit1, frame.Delete1, frame.NewSMS1}) EXPECT_EQ(a->isEnabled(), selected);
        EXPECT_EQ(frame.BtnPBKEdit->isEnabled(), selected);
    }
    frame.pbklist->clearSelection();
    EXPECT_FALSE(frame.BtnPBKEdit->isEnabled());
    frame.Edit1Click();   // nothing selected: no edit starts
    EXPECT_FALSE(frame.BtnPBOK->isVisibleTo(&frame));
}

TEST_F(PBFrameTest, SendSmsOpensTheComposeWindowWithTheName) {
    TFrmCompose compose;
    TFrmCompose* previous = FrmCompose;
    FrmCompose = &compose;
    Load("\"Alice\",1");
    compose.SetMemoText("kept");
    int shown = 0;
    auto old = platform::SetDialogScript([&](QDialog&) {
        ++shown;
        EXPECT_EQ(compose.EditTo->text(), "Alice");
        return int(QDialog::Rejected);
    });
    frame.NewSMS1Click();   // nothing selected
    EXPECT_EQ(shown, 0);
    Select(0);
    frame.NewSMS1Click();
    EXPECT_EQ(shown, 1);
    platform::SetDialogScript(std::move(old));
    FrmCompose = previous;
}

} // namespace

#include <QKeyEvent>
#include <QPalette>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>

#include "client/dbgframe.h"
#include "tests/client/mainwin_support.h"
#include "tests/support/null_mainwindow.h"

namespace {

using maintest::MainTest;

// The text runs of the pane with their colours, in order.
std::vector<std::pair<QString, QColor>> Runs(const QTextEdit& edit) {
    std::vector<std::pair<QString, QColor>> runs;
    for (QTextBlock b = edit.document()->begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it)
            runs.emplace_back(it.fragment().text(), it.fragment().charFormat().foreground().color());
    return runs;
}

// A main window that records what the pane writes, and can fail the write.
class KeyWindow : public NullMainWindow {
public:
    std::vector<std::string> writes;
    bool fail = false;
    int WriteToModem(const std::string& text) override {
        if (fail) throw platform::SerialError("Output: Input/output error");
        writes.push_back(text);
        return 1;
    }
    bool OpenPort(int) override { return true; }
};

void Press(QWidget* target, int key, Qt::KeyboardModifiers mods, const QString& text) {
    QKeyEvent press(QEvent::KeyPress, key, mods, text);
    QCoreApplication::sendEvent(target, &press);
}

class DebugPaneTest : public ::testing::Test {
protected:
    KeyWindow window;
    TDBGFrame1 pane;
    void SetUp() override {
        maintest::ResetGlobals();
        Settings.DebugMode = true;
        SetMainWindow(&window);
    }
    void TearDown() override {
        SetMainWindow(nullptr);
        maintest::ResetGlobals();
    }
};

TEST_F(DebugPaneTest, TrafficIsAppendedInItsColourAtTheEndWhereverTheCaretIs) {
    pane.AddTrace("AT\r\n", false);
    QTextCursor start(pane.RichEdit1->document());
    pane.RichEdit1->setTextCursor(start);   // the user put the caret at the top
    pane.AddTrace("OK\r\n", true);

    const auto runs = Runs(*pane.RichEdit1);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].first, "AT");
    EXPECT_EQ(runs[0].second, QColor(0, 0, 128));
    EXPECT_EQ(runs[1].first, "OK");
    EXPECT_EQ(runs[1].second, QColor(255, 0, 0));
    EXPECT_EQ(pane.RichEdit1->toPlainText(), "AT\nOK\n");
    EXPECT_TRUE(pane.RichEdit1->textCursor().atEnd());
    EXPECT_EQ(pane.RichEdit1->currentCharFormat().foreground().color(),
              pane.RichEdit1->palette().color(QPalette::Text));
}

TEST_F(DebugPaneTest, MarkupFromTheLineIsShownAsPlainText) {
    pane.AddTrace("<b>x</b>&amp;", true);
    EXPECT_EQ(pane.RichEdit1->toPlainText(), "<b>x</b>&amp;");
    for (const auto& [text, colour] : Runs(*pane.RichEdit1)) EXPECT_EQ(colour, QColor(255, 0, 0));
    EXPECT_NE(pane.RichEdit1->document()->begin().begin().fragment().charFormat().fontWeight(),
              QFont::Bold);
}

TEST_F(DebugPaneTest, NothingIsTracedWithTheDebugSettingOff) {
    Settings.DebugMode = false;
    pane.AddTrace("OK\r\n", true);
    EXPECT_TRUE(pane.RichEdit1->document()->isEmpty());
}

TEST_F(DebugPaneTest, TheTraceKeepsTheNewestLines) {
    for (int i = 0; i < TDBGFrame1::MaxTraceLines + 500; ++i)
        pane.AddTrace("line " + std::to_string(i) + "\r\n", i % 2 == 0);
    const QTextDocument* doc = pane.RichEdit1->document();
    EXPECT_LE(doc->blockCount(), TDBGFrame1::MaxTraceLines);
    const QString text = pane.RichEdit1->toPlainText();
    EXPECT_FALSE(text.startsWith("line 0\n"));
    EXPECT_TRUE(text.contains(QString("line %1\n").arg(TDBGFrame1::MaxTraceLines + 499)));

    // One line without an end is held in check as well.
    pane.AddTrace(std::string(TDBGFrame1::MaxTraceChars + 1000, 'x'), true);
    EXPECT_LE(doc->characterCount(), TDBGFrame1::MaxTraceChars + 1);
}

TEST_F(DebugPaneTest, TypedKeysGoOutOneByOneAndStillReachThePane) {
    struct Case {
        int key;
        Qt::KeyboardModifiers mods;
        QString text;
        std::string sent;   // "" = nothing goes out
    };
    const Case cases[] = {
        {Qt::Key_A, Qt::NoModifier, "A", "A"},
        {Qt::Key_T, Qt::NoModifier, "t", "t"},
        {Qt::Key_Return, Qt::NoModifier, "\r", "\r"},
        {Qt::Key_Enter, Qt::KeypadModifier, "\r", "\r"},
        {Qt::Key_Z, Qt::ControlModifier, "", "\x1a"},
        {Qt::Key_Backspace, Qt::NoModifier, "\b", "\b"},
        {Qt::Key_E, Qt::NoModifier, QString(QChar(0xE9)), "\xE9"},   // Windows-1252 byte
        // Edit keys reach the pane only while their actions are off (none here): they type.
        {Qt::Key_C, Qt::ControlModifier, "\x03", "\x03"},
        {Qt::Key_X, Qt::ControlModifier, "\x18", "\x18"},
        {Qt::Key_A, Qt::ControlModifier, "\x01", "\x01"},
        {Qt::Key_BracketLeft, Qt::ControlModifier, "\x1b", "\x1b"},
        {Qt::Key_Underscore, Qt::ControlModifier | Qt::ShiftModifier, "\x1f", "\x1f"},
        {Qt::Key_Delete, Qt::NoModifier, "\x7f", ""},   // types nothing
        {Qt::Key_Left, Qt::NoModifier, "", ""},
        {Qt::Key_Shift, Qt::ShiftModifier, "", ""},
    };
    for (const Case& c : cases) {
        window.writes.clear();
        Press(pane.RichEdit1, c.key, c.mods, c.text);
        if (c.sent.empty())
            EXPECT_TRUE(window.writes.empty()) << c.key;
        else
            EXPECT_EQ(window.writes, std::vector<std::string>{c.sent}) << c.key;
    }

    // The typed character lands in the pane after its traced copy, in the text colour.
    pane.RichEdit1->clear();
    window.writes.clear();
    Press(pane.RichEdit1, Qt::Key_Q, Qt::NoModifier, "Q");
    EXPECT_EQ(pane.RichEdit1->toPlainText(), "Q");   // the fake window traces nothing
}

TEST_F(DebugPaneTest, AFailedWriteIsShownAndTheProgramRunsOn) {
    window.fail = true;
    testing_support::BoxScript boxes;
    boxes.Expect("Input/output error");
    Press(pane.RichEdit1, Qt::Key_A, Qt::NoModifier, "A");
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_EQ(boxes.shown()[0].caption, "Error");
    EXPECT_EQ(pane.RichEdit1->toPlainText(), "A");   // the key still reached the pane
}

// The terminal end to end: the keys reach the unit and its answer follows in red.
TEST_F(MainTest, TerminalKeysReachTheUnitAndItsAnswerFollows) {
    auto unit = Unit(1);
    TMainForm& w = Make();
    Settings.DebugMode = true;
    w.SetPort(1);   // closed: the first key opens the port
    QTextEdit* pane = w.DBGFrame11->RichEdit1;
    Press(pane, Qt::Key_A, Qt::NoModifier, "A");
    Press(pane, Qt::Key_T, Qt::NoModifier, "T");
    Press(pane, Qt::Key_Return, Qt::NoModifier, "\r");
    ASSERT_TRUE(unit->WaitForCommand("AT", std::chrono::seconds(5)));
    EXPECT_EQ(unit->Received(), "AT\r");
    ASSERT_TRUE(maintest::WaitUntil([&] { return ReceiveBuffer.find("OK") != std::string::npos; }));

    // Each key shows once as sent (navy) and once as typed, then the answer in red.
    const auto runs = Runs(*pane);
    QString sent, typed, received;
    for (const auto& [text, colour] : runs) {
        if (colour == QColor(0, 0, 128)) sent += text;
        else if (colour == QColor(255, 0, 0)) received += text;
        else typed += text;
    }
    EXPECT_EQ(sent, "AT");
    EXPECT_EQ(typed, "AT");
    EXPECT_TRUE(received.contains("OK"));
    EXPECT_TRUE(pane->toPlainText().startsWith("AATT"));
}

} // namespace

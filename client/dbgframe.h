// The debug pane: the raw serial traffic (received red, sent navy) and a terminal.
#pragma once
#include <QWidget>
#include <string>

class QCheckBox;
class QKeyEvent;
class QTextEdit;

class TDBGFrame1 : public QWidget {
    Q_OBJECT
public:
    explicit TDBGFrame1(QWidget* parent = nullptr);

    // The trace keeps the newest lines, and never more than this many characters.
    static constexpr int MaxTraceLines = 5000;
    static constexpr int MaxTraceChars = 1000000;

    void AddTrace(const std::string& text, bool received);
    // A key typed in the pane: sent to the unit at once, then left to the pane.
    void RichEdit1KeyPress(char key);
    // The characters a key press types (Enter CR, Ctrl+letter its control character);
    // empty for keys that type nothing. Ctrl+C, X, V and A are the window's edit actions
    // while those are enabled, and reach the pane only while they are not.
    static std::string KeyChars(const QKeyEvent& event);

    QTextEdit* RichEdit1 = nullptr;
    QCheckBox* ChkDisablePoll = nullptr;
    QCheckBox* ChkDisableCMT = nullptr;
};

// The debug pane: the raw serial traffic (received red, sent navy) and a terminal.
#pragma once
#include <QWidget>
#include <string>

class QCheckBox;
class QTextEdit;

class TDBGFrame1 : public QWidget {
    Q_OBJECT
public:
    explicit TDBGFrame1(QWidget* parent = nullptr);

    void AddTrace(const std::string& text, bool received);
    // A key typed in the pane: sent to the unit at once, then left to the pane.
    void RichEdit1KeyPress(char key);

    QTextEdit* RichEdit1 = nullptr;
    QCheckBox* ChkDisablePoll = nullptr;
    QCheckBox* ChkDisableCMT = nullptr;
};

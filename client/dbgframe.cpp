#include "client/dbgframe.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QVBoxLayout>

#include "client/mainunit.h"
#include "engine/globals.h"
#include "engine/mainwindow.h"
#include "platform/boxes.h"
#include "platform/qt/dialogs.h"
#include "platform/qt/pasteguard.h"

namespace {

bool IsEditKey(const QKeyEvent& event) {
    return event.matches(QKeySequence::Copy) || event.matches(QKeySequence::Cut) ||
           event.matches(QKeySequence::Paste) || event.matches(QKeySequence::SelectAll);
}

// Passes the keys typed in the trace to the frame before the pane handles them.
class KeyTap : public QObject {
public:
    explicit KeyTap(TDBGFrame1* frame) : QObject(frame), frame_(frame) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::ShortcutOverride &&
            IsEditKey(*static_cast<QKeyEvent*>(event)))
            return true;   // unclaimed: the window's edit action takes it while enabled
        if (event->type() == QEvent::KeyPress) {
            const auto& key = *static_cast<QKeyEvent*>(event);
            for (char c : TDBGFrame1::KeyChars(key)) frame_->RichEdit1KeyPress(c);
            // An edit key that gets here had no enabled action: it only types its character.
            if (IsEditKey(key)) return true;
        }
        return QObject::eventFilter(watched, event);   // the pane still gets the key
    }

private:
    TDBGFrame1* frame_;
};

} // namespace

TDBGFrame1::TDBGFrame1(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    RichEdit1 = new QTextEdit(this);
    RichEdit1->setObjectName("RichEdit1");
    RichEdit1->setAcceptRichText(false);
    RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    RichEdit1->setLineWrapMode(QTextEdit::WidgetWidth);
    // Keeps the newest lines only; this also turns the undo history off.
    RichEdit1->document()->setMaximumBlockCount(MaxTraceLines);
    RichEdit1->document()->setUndoRedoEnabled(false);
    RichEdit1->installEventFilter(new KeyTap(this));
    platform::LeavePasteKeysTo(RichEdit1);   // KeyTap sends a paste key with no action; never pastes
    layout->addWidget(RichEdit1, 1);

    auto* panel = new QWidget(this);
    panel->setObjectName("Panel1");
    panel->setFixedHeight(53);
    auto* row = new QHBoxLayout(panel);
    ChkDisablePoll = new QCheckBox("Disable Polling", panel);
    ChkDisablePoll->setObjectName("ChkDisablePoll");
    ChkDisableCMT = new QCheckBox("Disable CMT detection", panel);
    ChkDisableCMT->setObjectName("ChkDisableCMT");
    row->addWidget(ChkDisablePoll);
    row->addWidget(ChkDisableCMT);
    row->addStretch(1);
    layout->addWidget(panel);
}

void TDBGFrame1::AddTrace(const std::string& text, bool received) {
    if (!Settings.DebugMode || text.empty()) return;
    QTextDocument* doc = RichEdit1->document();

    QTextCharFormat run;
    run.setForeground(received ? QColor(255, 0, 0) : QColor(0, 0, 128));
    QTextCursor end(doc);
    end.movePosition(QTextCursor::End);
    // Plain text only: markup in the traffic is shown as it came.
    end.insertText(platform::FromCp1252(text), run);

    // One endless line is not held in check by the line limit.
    const int excess = doc->characterCount() - MaxTraceChars;
    if (excess > 0) {
        QTextCursor head(doc);
        head.setPosition(excess, QTextCursor::KeepAnchor);
        head.removeSelectedText();
    }

    RichEdit1->moveCursor(QTextCursor::End);
    QTextCharFormat plain;
    plain.setForeground(RichEdit1->palette().color(QPalette::Text));
    RichEdit1->setCurrentCharFormat(plain);
}

void TDBGFrame1::RichEdit1KeyPress(char key) {
    try {
        MainWindow().WriteToModem(std::string(1, key));
    } catch (const std::exception& e) {
        ShowHandlerError(e.what());
    }
}

std::string TDBGFrame1::KeyChars(const QKeyEvent& event) {
    switch (event.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: return "\r";
    case Qt::Key_Backspace: return "\b";
    case Qt::Key_Tab: return "\t";
    case Qt::Key_Escape: return "\x1b";
    case Qt::Key_Delete: return {};   // types nothing, though its text is DEL on X11
    default: break;
    }
    // Ctrl with A to Z and [ \ ] ^ _: characters 1 to 31 (Ctrl+Z 26, Ctrl+[ 27).
    const auto mods = event.modifiers() & (Qt::ControlModifier | Qt::AltModifier);
    if (mods == Qt::ControlModifier && event.key() >= Qt::Key_A &&
        event.key() <= Qt::Key_Underscore)
        return std::string(1, char(event.key() & 0x1f));
    if (mods != 0) return {};
    return platform::ToCp1252(event.text());
}

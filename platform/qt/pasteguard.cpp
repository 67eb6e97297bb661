#include "platform/qt/pasteguard.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTextEdit>

namespace platform {
namespace {

constexpr char kOwnPasteKeys[] = "corvaneOwnPasteKeys";

// The editable text control an event is aimed at: the control itself (keys) or the
// control whose viewport it is (mouse).
QWidget* EditableText(QObject* target) {
    for (QObject* o : {target, target ? target->parent() : nullptr}) {
        if (auto* text = qobject_cast<QTextEdit*>(o)) return text->isReadOnly() ? nullptr : text;
        if (auto* plain = qobject_cast<QPlainTextEdit*>(o))
            return plain->isReadOnly() ? nullptr : plain;
        if (auto* line = qobject_cast<QLineEdit*>(o)) return line->isReadOnly() ? nullptr : line;
    }
    return nullptr;
}

bool Pastable(QClipboard::Mode mode) {
    return HasPastableText(QGuiApplication::clipboard()->mimeData(mode));
}

class PasteGuard : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
        case QEvent::KeyPress:
            if (static_cast<QKeyEvent*>(event)->matches(QKeySequence::Paste) &&
                EditableText(watched) && !watched->property(kOwnPasteKeys).toBool() &&
                !Pastable(QClipboard::Clipboard))
                return true;
            break;
        case QEvent::MouseButtonRelease:
            if (static_cast<QMouseEvent*>(event)->button() == Qt::MiddleButton &&
                QGuiApplication::clipboard()->supportsSelection() && EditableText(watched) &&
                !Pastable(QClipboard::Selection))
                return true;
            break;
        default:
            break;
        }
        return false;
    }
};

} // namespace

bool HasPastableText(const QMimeData* data) {
    return data && !data->formats().isEmpty() && data->hasText();
}

void LeavePasteKeysTo(QWidget* control) { control->setProperty(kOwnPasteKeys, true); }

void InstallPasteGuard() {
    static QPointer<PasteGuard> guard;   // goes with the application
    if (guard || !qApp) return;
    guard = new PasteGuard(qApp);
    qApp->installEventFilter(guard);
}

} // namespace platform

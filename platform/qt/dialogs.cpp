#include "platform/qt/dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProxyStyle>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include "platform/boxes.h"
#include "platform/cp1252.h"

#include <X11/Xutil.h>   // after Qt: its macros clash with Qt names

namespace platform {
namespace {
DialogScript g_script;
bool g_required = false;
QPointer<QWidget> g_owner;

// The active window when it is one of the owner's family (or when there is no owner),
// else the owner.
QWidget* ModalOwner() {
    QWidget* active = QApplication::activeWindow();
    if (active && active->windowType() == Qt::Popup) active = nullptr;
    if (!g_owner) return active;
    for (QWidget* w = active; w; w = w->parentWidget())
        if (w == g_owner) return active;
    return g_owner;
}

// The desktop's style, but with "*" as the password character.
class StarMaskStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        if (hint == SH_LineEdit_PasswordCharacter) return '*';
        return QProxyStyle::styleHint(hint, option, widget, data);
    }
};

// A window-modal window blocks every window whose chain of transient parents meets its own;
// the chain is one of native windows, so the parent's must exist even if never shown.
void MakeWindowModal(QWidget& modal) {
    QWidget* parent = modal.parentWidget();
    if (!parent) return;
    parent->window()->winId();
    modal.setWindowModality(Qt::WindowModal);
}

// A window manager may map a dialog without giving it the keyboard (opened from the tray,
// or while another window still held the focus): it is asked for again, a few times, until
// the dialog has it, unless another window has opened over it meanwhile.
constexpr int kFocusTries = 5;
constexpr int kFocusRetryMs = 100;
void TakeFocus(QPointer<QDialog> dialog, int triesLeft) {
    if (!dialog || !dialog->isVisible()) return;
    if (QApplication::activeModalWidget() != dialog) return;
    if (dialog->windowHandle() && QGuiApplication::focusWindow() == dialog->windowHandle())
        return;
    dialog->raise();
    dialog->activateWindow();
    if (triesLeft > 1)
        QTimer::singleShot(kFocusRetryMs, dialog, [dialog, triesLeft] {
            TakeFocus(dialog, triesLeft - 1);
        });
}

int ExecWithFocus(QDialog& dialog) {
    QPointer<QDialog> guarded(&dialog);
    QTimer::singleShot(0, &dialog, [guarded] { TakeFocus(guarded, kFocusTries); });
    return dialog.exec();
}
} // namespace

void SetModalOwner(QWidget* window) { g_owner = window; }

void InstallQtBoxHandler() {
    SetBoxHandler([](const BoxRequest& request) {
        if (request.beep) QApplication::beep();
        QMessageBox box(ModalOwner());
        MakeWindowModal(box);
        box.setWindowTitle(FromCp1252(request.caption));
        box.setTextFormat(Qt::PlainText);   // texts carry file names and the unit's words
        box.setText(FromCp1252(request.text));
        if (request.buttons == BoxButtons::YesNo) {
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(QMessageBox::Yes);
        } else {
            box.setStandardButtons(QMessageBox::Ok);
        }
        int answer = ExecWithFocus(box);
        if (request.buttons == BoxButtons::YesNo) return answer == QMessageBox::Yes ? int(IDYES)
                                                                                  : int(IDNO);
        return int(IDOK);
    });
}

int ExecModal(QDialog& dialog) {
    if (g_script) return g_script(dialog);
    if (g_required)
        throw UnansweredBox("no script answers the dialog \"" +
                            ToCp1252(dialog.windowTitle()) + "\"");
    // Asked again while it is open (the tray menu answers meanwhile): it comes to the front.
    if (dialog.isVisible()) {
        dialog.raise();
        dialog.activateWindow();
        return QDialog::Rejected;
    }
    MakeWindowModal(dialog);
    return ExecWithFocus(dialog);
}

DialogScript SetDialogScript(DialogScript script) {
    DialogScript old = std::move(g_script);
    g_script = std::move(script);
    return old;
}

void PaintWindowsNow() {
    // Layouts first, so that a longer text has its room; no input event is taken here.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->isVisible()) window->repaint();
}

void CentreOnScreen(QWidget& window) {
    const QScreen* screen = window.screen();
    if (!screen) return;
    // Before its first showing a window knows no frame: take a shown window's.
    QSize frame = window.frameGeometry().size() - window.size();
    if (frame.isNull())
        for (const QWidget* other : QApplication::topLevelWidgets())
            if (other->isVisible() && other->frameGeometry().size() != other->size()) {
                frame = other->frameGeometry().size() - other->size();
                break;
            }
    const QSize outer = window.size() + frame;
    const QRect area = screen->availableGeometry();
    window.move(area.x() + (area.width() - outer.width()) / 2,
                area.y() + (area.height() - outer.height()) / 2);
}

void MaskWithStars(QLineEdit& field) {
    static QPointer<StarMaskStyle> style;
    if (!style) {
        style = new StarMaskStyle;
        style->setParent(qApp);
    }
    field.setStyle(style);
    field.setEchoMode(QLineEdit::Password);
}

void RestateTransients() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display* display = x11 ? x11->display() : nullptr;
    if (!display) return;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (!window->isVisible() || !window->windowHandle()) continue;
        const QWindow* parent = window->windowHandle()->transientParent();
        if (!parent || !parent->isVisible()) continue;
        XSetTransientForHint(display, Window(window->winId()), Window(parent->winId()));
    }
    XFlush(display);
}

void SetDialogScriptRequired(bool required) { g_required = required; }
bool DialogScriptRequired() { return g_required; }

QString FromCp1252(const std::string& bytes) {
    QString out;
    out.reserve(qsizetype(bytes.size()));
    for (char c : bytes) out.append(QChar(char16_t(Cp1252ToUnicode(static_cast<unsigned char>(c)))));
    return out;
}

std::string ToCp1252(const QString& text) {
    std::string out;
    for (char32_t cp : text.toUcs4()) out += char(UnicodeToCp1252(cp));
    return out;
}

} // namespace platform

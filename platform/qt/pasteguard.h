// Paste into text controls, made safe. Qt 6.4's text controls (QTextEdit, QPlainTextEdit)
// read the first format of the data they paste without looking whether there is one, so a
// paste from an empty clipboard (normal right after login) ends the program.
#pragma once

class QMimeData;
class QWidget;

namespace platform {

// True when the data can be pasted as text: it exists, names at least one format and holds
// text. Every paste into a text control asks this first.
bool HasPastableText(const QMimeData* data);

// Installs, once for the application, the guard that drops a paste key (Ctrl+V,
// Shift+Insert) or a middle-button paste aimed at an editable text control (text edits and
// line edits alike) while the clipboard (resp. the selection) holds nothing HasPastableText
// accepts. The programs call this at start.
void InstallPasteGuard();

// Leaves the paste keys aimed at this control to the control itself: for a control that
// consumes its edit keys without pasting (a terminal that sends them on as characters).
void LeavePasteKeysTo(QWidget* control);

} // namespace platform

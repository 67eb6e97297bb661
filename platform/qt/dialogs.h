// The Qt side of the box seam: real message boxes, and one seam for modal dialogs so tests
// can answer them by a script instead of a user.
#pragma once
#include <QString>
#include <functional>

#include "platform/boxes.h"

class QDialog;
class QLineEdit;
class QWidget;

namespace platform {

// Installs the handler that shows real QMessageBox boxes (the programs call this at start).
void InstallQtBoxHandler();

// Boxes and dialogs are modal to the program's own windows, not to every window of the
// process: the tray icon is a window of its own and keeps answering while one is open. A
// box belongs to the active window, or to this owner (the main window) when none is
// active; with neither it is modal to the whole program.
void SetModalOwner(QWidget* window);

// Shows a modal dialog and returns its result. With a dialog script installed, the script
// gets the dialog instead (it may fill fields, click buttons) and its answer is returned;
// with no script in a test run (SetDialogScriptRequired), UnansweredBox is raised. A dialog
// that is open already is brought to the front and Rejected returned.
using DialogScript = std::function<int(QDialog&)>;
int ExecModal(QDialog& dialog);
DialogScript SetDialogScript(DialogScript script);
void SetDialogScriptRequired(bool required);
bool DialogScriptRequired();

// Paints every shown window at once, for a handler that is about to block the GUI thread
// (nothing is drawn while it blocks). Handles no events, so no input gets in meanwhile.
void PaintWindowsNow();

// Tells the window manager again which window each shown dialog belongs to. A window
// manager forgets it when that window is withdrawn (hidden to the tray) and does not learn
// it again when the window is mapped anew, so a modal dialog would no longer stay above it.
void RestateTransients();

// Places a window centred on its screen, its frame included.
void CentreOnScreen(QWidget& window);

// Makes a password field: every character typed shows as "*".
void MaskWithStars(QLineEdit& field);

// QString <-> Windows-1252 bytes.
QString FromCp1252(const std::string& bytes);
std::string ToCp1252(const QString& text);

} // namespace platform

// Help pages by context number, in place of the help file.
#pragma once
#include <QString>
#include <functional>

class QWidget;

namespace platform {

// The help page file for a context number (100, 130, 140, 150, 160, 170); 0 = contents.
// Pages are help-<context>.html (contents: help-0.html, else index.html), looked for in
// <ProgramDir>/help, <ProgramDir>/../share/corvane/help and the source tree's client/help.
// "" when there is none.
QString HelpPagePath(int context);
// Opens the page; returns false when it cannot be found. Tests may replace the opener; in a
// test run (DialogScriptRequired) with no opener set, UnansweredBox is raised instead of
// starting a browser.
bool ShowHelp(int context);
void SetHelpOpener(std::function<bool(const QString& path, int context)> opener);

} // namespace platform

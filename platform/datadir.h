// The data directory: takes the place of the program's directory for data files.
#pragma once
#include <string>

namespace platform {

// $CORVANE_DATA, else $XDG_DATA_HOME/corvane (~/.local/share/corvane); created with mode
// 0700 when missing. Ends without a separator.
std::string DataDir();

// DataDir() + "/" + the file-name part of name (a directory in name is ignored).
std::string DataPath(const std::string& name);

// $XDG_CONFIG_HOME/corvane (~/.config/corvane), for the registry file and the ports folder.
// Not created here.
std::string ConfigDir();

// Creates dir and each missing parent with mode; true when dir exists afterwards.
bool MakeDirs(const std::string& dir, unsigned mode = 0700);

// The directory of the running program (for outside programs and shipped files).
std::string ProgramDir();

} // namespace platform

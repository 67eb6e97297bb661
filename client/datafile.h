// Safe saving and careful loading of the data files in the data directory.
//
// A save writes "<name>.tmp" beside the file and flushes it, links the previous file to
// "<base>.BAK" (replacing an older backup), renames the new file into place and flushes the
// directory. The file at the path is always whole: the old one or the new one.
#pragma once
#include <functional>
#include <string>
#include <string_view>

namespace datafile {

// Replaceable write: returns bytes written or -1 with errno set (tests make it fail).
using WriteHook = std::function<long(int fd, const char* data, std::size_t size)>;
WriteHook SetWriteHook(WriteHook hook);   // empty restores ::write; returns the previous
// Called at each step of a save ("write", "fsync", "backup", "rename", "dirsync"), before
// the step; crash tests kill the process there.
using StepHook = std::function<void(const char* step)>;
StepHook SetStepHook(StepHook hook);

// "inbox.csv" -> "inbox.BAK": the file name without its extension, then ".BAK".
std::string BackupName(const std::string& fileName);

// Writes bytes to path as described above. On failure returns false and the reason; the
// file at path is left as it was.
bool SafeWrite(const std::string& path, std::string_view bytes, std::string* error = nullptr);

// Reads a whole file. Returns false when it can't be read (exists then tells whether it is
// there at all).
bool ReadFile(const std::string& path, std::string& bytes, bool* exists = nullptr);

// Keeps a copy of a file that failed to load under "<path>.bad-<yyyymmdd-hhmmss>" (a counter
// is added when that name exists; no existing file is ever replaced). Returns the new path,
// or empty with the reason in error.
std::string KeepAside(const std::string& path, std::string_view bytes,
                      std::string* error = nullptr);

// Reports a failed save in an "Error" box naming the file, once per failure episode: the
// next failure of the same path is silent until a save of it succeeds again.
void ReportSaveFailure(const std::string& path, const std::string& reason);
void ReportSaveSuccess(const std::string& path);

// SafeWrite to platform::DataPath(name) with the failure reported. When pending names that
// path (a file that failed to load, recorded there by its loader), a copy of the file on disk
// is kept aside first and the save refused while that fails; pending is cleared once the
// save over it is done, so each bad file is kept once, and only when it is written over.
// Returns success.
bool SaveDataFile(const std::string& name, std::string_view bytes,
                  std::string* pending = nullptr);

} // namespace datafile

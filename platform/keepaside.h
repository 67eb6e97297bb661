// Copies of files that failed to load, kept beside them under "<path>.bad-<yyyymmdd-hhmmss>"
// (a counter is added when that name is taken; no existing file is ever replaced), so that
// nothing a program could not read is lost when it saves a fresh file over it.
#pragma once
#include <functional>
#include <string>

namespace platform {

// make(name) creates the copy under name, exclusively: it fails with errno EEXIST when the
// name is taken, and with the reason in error on any other failure. Returns the copy's path,
// or empty with the reason in error.
using MakeCopyFn = std::function<bool(const std::string& name, std::string* error)>;
std::string KeepAside(const std::string& path, const MakeCopyFn& make,
                      std::string* error = nullptr);

// Keeps the file at path as it stands on disk: a second link to it, or a copy where the
// file system takes no link.
std::string KeepFileAside(const std::string& path, std::string* error = nullptr);

} // namespace platform

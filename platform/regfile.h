// The registry file on disk: its lines as they are read, a piece at a time, and a new file as
// it is written beside it. Used by the registry alone.
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace platform::regfile {

// The most of a file that is taken; the rest of a larger file stays in its kept copy.
constexpr std::size_t kMaxBytes = 16 << 20;

// The lines of a text, or of an open file read a piece at a time (at most kMaxBytes of it,
// cut after a whole line). A line ends at LF, CR LF, CR CR LF or a lone CR. A line stays
// valid until the next is taken.
class LineSource {
public:
    explicit LineSource(std::string_view text) : text_(text), done_(true) {}
    explicit LineSource(int fd);

    bool Next(std::string_view& line);
    bool failed() const { return failed_; }
    bool tooLarge() const { return tooLarge_; }

private:
    void More();

    int fd_ = -1;
    std::string_view text_;
    std::size_t next_ = 0;
    std::string buf_;
    std::size_t taken_ = 0;
    bool done_ = false, failed_ = false, tooLarge_ = false;
};

// Wide: a UTF-16 export, read through the code page; it is kept aside before a save, since
// what the code page lacks reads as '?'.
enum class FileState { Missing, Read, Wide, TooLarge, Unreadable, NotAFile };

// The registry file open for reading; its lines can be read from the start more than once.
// Something that is not a regular file is refused without waiting on it. A UTF-16 export is
// read whole and turned into the code page before it is cut into lines.
class FileLines {
public:
    explicit FileLines(const std::string& path);
    ~FileLines();
    FileLines(const FileLines&) = delete;
    FileLines& operator=(const FileLines&) = delete;

    // How the file stands, after the last reading.
    FileState state() const { return state_; }

    // Hands the lines to read from the start, a piece of the file at a time; read is not
    // called when there is nothing to read.
    void Read(const std::function<void(LineSource&)>& read);

private:
    int fd_ = -1;
    FileState state_ = FileState::Read;
    std::string wide_;
};

// Holds the lock on the registry file ("<file>.lock") while it lives.
class FileLock {
public:
    explicit FileLock(const std::string& registry);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

// A new registry file, mode 0600, written beside the old one a piece at a time, never past
// kMaxBytes; Commit flushes it and puts it in the old one's place. Dropped uncommitted, it
// leaves nothing behind. Its writes go through the registry's write seam.
class NewFile {
public:
    explicit NewFile(const std::string& path);
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // Adds what append(text) appends when the file then leaves room bytes free; false, with
    // nothing added, when it does not.
    template <class Append>
    bool Add(std::size_t room, Append append) {
        const std::size_t mark = buf_.size();
        append(buf_);
        if (written_ + buf_.size() + room > kMaxBytes) {
            buf_.resize(mark);
            return false;
        }
        if (buf_.size() >= kFlushBytes) Flush();
        return true;
    }

    bool Commit();

private:
    static constexpr std::size_t kFlushBytes = 1 << 20;

    void Flush();

    std::string path_, dir_, tmp_;
    int fd_ = -1;
    bool ok_ = false;
    std::string buf_;
    std::size_t written_ = 0;
};

} // namespace platform::regfile

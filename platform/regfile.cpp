#include "platform/regfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/cp1252.h"
#include "platform/datadir.h"
#include "platform/registry.h"

namespace platform {
namespace {

long SystemWrite(int fd, const void* buf, unsigned long n) { return ::write(fd, buf, n); }
RegistryWriteFn g_write = SystemWrite;

// The first CR or LF in text from from on, or text.size(); eight bytes a step.
std::size_t FindLineEnd(std::string_view text, std::size_t from) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    const auto hasZero = [](uint64_t v) { return (v - kOnes) & ~v & kHigh; };
    for (uint64_t w; from + 8 <= text.size(); from += 8) {
        std::memcpy(&w, text.data() + from, 8);
        if (hasZero(w ^ (kOnes * '\n')) | hasZero(w ^ (kOnes * '\r'))) break;
    }
    while (from < text.size() && text[from] != '\n' && text[from] != '\r') ++from;
    return from;
}

// How much of text is left when it is cut after its last line end.
std::size_t CutAfterLastLine(std::string_view text) {
    const std::size_t end = text.find_last_of("\r\n");
    return end == std::string_view::npos ? 0 : end + 1;
}

// Turns UTF-16LE text after its byte-order mark into the code page's bytes.
std::string FromUtf16(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 2; i + 1 < text.size(); i += 2) {
        char32_t c = uint8_t(text[i]) | char32_t(uint8_t(text[i + 1])) << 8;
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < text.size()) {
            const char32_t low = uint8_t(text[i + 2]) | char32_t(uint8_t(text[i + 3])) << 8;
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        out += char(UnicodeToCp1252(c));
    }
    return out;
}

// Reads the rest of fd, at most limit bytes and one more that tells there was more.
bool ReadUpTo(int fd, std::size_t limit, std::string& out) {
    out.clear();
    while (out.size() <= limit) {
        const std::size_t old = out.size();
        out.resize(std::min(old + 65536, limit + 1));
        const ssize_t n = read(fd, out.data() + old, out.size() - old);
        out.resize(old + std::size_t(std::max<ssize_t>(n, 0)));
        if (n < 0 && errno != EINTR) return false;
        if (n == 0) break;
    }
    return true;
}

bool IsFileOrMissing(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? S_ISREG(st.st_mode) : errno == ENOENT;
}

bool WriteAll(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        long n = g_write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    return true;
}

} // namespace

RegistryWriteFn SetRegistryWriteFn(RegistryWriteFn fn) {
    RegistryWriteFn old = std::move(g_write);
    g_write = fn ? std::move(fn) : RegistryWriteFn(SystemWrite);
    return old;
}

namespace regfile {

LineSource::LineSource(int fd) : fd_(fd) {
    // Room for the longest line the file can hold; only what is read is touched.
    if (struct stat st; fstat(fd, &st) == 0 && st.st_size > 0)
        buf_.reserve(std::min(std::size_t(st.st_size), kMaxBytes) + 1);
}

bool LineSource::Next(std::string_view& line) {
    std::size_t at = next_;
    for (;;) {
        at = FindLineEnd(text_, at);
        // A CR's line end is known once the two bytes after it are there.
        if (done_ || (at < text_.size() && (text_[at] == '\n' || at + 2 < text_.size())))
            break;
        const std::size_t seen = at - next_;
        More();
        at = std::min(next_ + seen, text_.size());
    }
    if (next_ >= text_.size()) return false;
    line = text_.substr(next_, at - next_);
    std::size_t end = at < text_.size() ? 1 : 0;
    if (end && text_[at] == '\r') {
        if (text_.substr(at + 1, 1) == "\n") end = 2;
        else if (text_.substr(at + 1, 2) == "\r\n") end = 3;
    }
    next_ = at + end;
    return true;
}

void LineSource::More() {
    buf_.erase(0, next_);
    next_ = 0;
    const std::size_t old = buf_.size();
    buf_.resize(old + std::min<std::size_t>(65536, kMaxBytes + 1 - taken_));
    ssize_t n;
    do {
        n = read(fd_, buf_.data() + old, buf_.size() - old);
    } while (n < 0 && errno == EINTR);
    buf_.resize(old + std::size_t(std::max<ssize_t>(n, 0)));
    taken_ += buf_.size() - old;
    done_ = n <= 0;
    if (n < 0) {
        failed_ = true;
        buf_.clear();
    }
    if (taken_ > kMaxBytes) {   // the rest, and the line it cuts, are not taken
        tooLarge_ = done_ = true;
        buf_.resize(CutAfterLastLine(buf_));
    }
    text_ = buf_;
}

FileLines::FileLines(const std::string& path) {
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd_ < 0) {
        state_ = errno == ENOENT ? FileState::Missing : FileState::Unreadable;
        return;
    }
    struct stat st;
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        state_ = FileState::NotAFile;
        return;
    }
    char mark[2];
    if (pread(fd_, mark, 2, 0) != 2 || mark[0] != '\xFF' || mark[1] != '\xFE') return;
    std::string raw;
    if (!ReadUpTo(fd_, kMaxBytes, raw)) {
        state_ = FileState::Unreadable;
        return;
    }
    wide_ = FromUtf16(std::string_view(raw).substr(0, kMaxBytes));
    if (raw.size() > kMaxBytes) wide_.resize(CutAfterLastLine(wide_));
    state_ = FileState::Wide;
}

FileLines::~FileLines() {
    if (fd_ >= 0) close(fd_);
}

void FileLines::Read(const std::function<void(LineSource&)>& read) {
    if (state_ == FileState::Wide) {
        LineSource lines(wide_);
        read(lines);
        return;
    }
    if (state_ != FileState::Read && state_ != FileState::TooLarge) return;
    if (lseek(fd_, 0, SEEK_SET) != 0) {
        state_ = FileState::Unreadable;
        return;
    }
    LineSource lines(fd_);
    read(lines);
    if (lines.failed()) state_ = FileState::Unreadable;
    else if (lines.tooLarge()) state_ = FileState::TooLarge;
}

FileLock::FileLock(const std::string& registry) {
    std::string dir = registry.substr(0, registry.find_last_of('/'));
    if (registry.find('/') != std::string::npos) MakeDirs(dir, 0700);
    fd_ = open((registry + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0) flock(fd_, LOCK_EX);
}

FileLock::~FileLock() {
    if (fd_ >= 0) close(fd_);
}

NewFile::NewFile(const std::string& path) : path_(path) {
    const std::size_t slash = path.find_last_of('/');
    dir_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (!IsFileOrMissing(path) || !MakeDirs(dir_, 0700)) return;
    tmp_ = path + ".XXXXXX";
    fd_ = mkostemp(tmp_.data(), O_CLOEXEC);
    ok_ = fd_ >= 0 && fchmod(fd_, 0600) == 0;
}

NewFile::~NewFile() {
    if (fd_ < 0) return;
    close(fd_);
    unlink(tmp_.c_str());
}

bool NewFile::Commit() {
    if (fd_ < 0) return false;
    Flush();
    ok_ = ok_ && fsync(fd_) == 0;
    ok_ = close(fd_) == 0 && ok_;
    fd_ = -1;
    if (ok_) ok_ = rename(tmp_.c_str(), path_.c_str()) == 0;
    if (!ok_) {
        unlink(tmp_.c_str());
        return false;
    }
    if (int dfd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

void NewFile::Flush() {
    if (ok_ && !buf_.empty()) ok_ = WriteAll(fd_, buf_);
    written_ += buf_.size();
    buf_.clear();
}

} // namespace regfile
} // namespace platform

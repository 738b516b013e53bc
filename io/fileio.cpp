// SPDX-License-Identifier: MIT
// Files on POSIX calls: replaced only once the new contents are on the disk, streams read to their end with a
// bound on silence, logs cut back to their last whole line. errno is read right after the call that failed.
#include "io/fileio.h"

#include "io/utility.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *kStandardStream = "-";
constexpr int kTemporaryTries = 16;        // names already taken before giving up
constexpr unsigned kSuffixBits = 0xFFFFFF; // six hex digits of chance in a temporary's name
constexpr std::size_t kReadChunk = 4096;   // bytes asked for per read
constexpr double kMsPerSecond = 1000.0;
constexpr mode_t kNewFileMode = 0666; // before the umask, as any program creates a file
constexpr mode_t kModeBits = 07777;
// Past this the collected lines go out whatever their age: keeps a fast run from holding much in memory.
constexpr std::size_t kFlushBytes = 32 * 1024;

std::string Reason(int code)
{
    return std::strerror(code);
}

std::string FolderOf(const std::string &path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string &path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string KindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return "";
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device node";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

// "It cannot be written: ..." for a failure to create a file in `folder`, naming the folder where it is to blame.
std::string CannotCreateIn(const std::string &folder, int code)
{
    if (code == EACCES || code == EPERM)
        return "It cannot be written: the folder " + folder + " does not let you create files in it (" + Reason(code) +
               ").";
    if (code == ENOENT || code == ENOTDIR)
        return "It cannot be written: the folder " + folder + " does not exist.";
    if (code == EROFS)
        return "It cannot be written: the folder " + folder + " is on a read-only file system.";
    return "It cannot be written: " + Reason(code) + ".";
}

// *written (when given) tells how much went out before a failure.
bool WriteAll(int fd, std::string_view bytes, int *code, std::size_t *written = nullptr)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *code = n < 0 ? errno : EIO;
            if (written)
                *written = done;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (written)
        *written = done;
    return true;
}

// A fresh file beside `target` that nobody else has, created with the permissions a new file gets.
int CreateTemporary(const std::string &target, std::string *name, int *code)
{
    static std::mt19937 rng{std::random_device{}()};
    const std::string stem = FolderOf(target) + "/." + NameOf(target) + ".";
    for (int i = 0; i < kTemporaryTries; ++i) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%06x", static_cast<unsigned>(rng() & kSuffixBits));
        *name = stem + suffix;
        const int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
        if (fd >= 0)
            return fd;
        *code = errno;
        if (*code != EEXIST)
            return -1;
    }
    return -1;
}

} // namespace

std::string PathKind(const std::string &path)
{
    struct stat s {};
    if (::stat(path.c_str(), &s) != 0)
        return "";
    return KindOf(s.st_mode);
}

bool ReplaceFile(const std::string &path, std::string_view bytes, std::string *why)
{
    int code = 0;
    if (path == kStandardStream) {
        if (WriteAll(STDOUT_FILENO, bytes, &code))
            return true;
        *why = "It cannot be written: " + Reason(code) + ".";
        return false;
    }

    // The file a link leads to is the one replaced; the link stays.
    std::string target = path;
    struct stat ls {};
    if (::lstat(path.c_str(), &ls) == 0 && S_ISLNK(ls.st_mode)) {
        char resolved[PATH_MAX];
        if (!::realpath(path.c_str(), resolved)) {
            code = errno;
            *why = code == ENOENT ? "It is a link to something that does not exist."
                                  : "It is a link that cannot be followed: " + Reason(code) + ".";
            return false;
        }
        target = resolved;
    }
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        *why = "It is " + KindOf(old.st_mode) + ", not a regular file.";
        return false;
    }
    if (exists && ::access(target.c_str(), W_OK) != 0) {
        *why = "It cannot be written: Existing file " + path + " is not writable.";
        return false;
    }

    std::string temporary;
    const int fd = CreateTemporary(target, &temporary, &code);
    if (fd < 0) {
        *why = CannotCreateIn(FolderOf(target), code);
        return false;
    }
    // From here on every failure removes the temporary; the file itself has not been touched.
    const auto fail = [&](int failed) {
        ::close(fd);
        ::unlink(temporary.c_str());
        *why = "It cannot be written: " + Reason(failed) + ".";
        return false;
    };
    if (exists) {
        if (::fchmod(fd, old.st_mode & kModeBits) != 0)
            return fail(errno);
        // Keeps the owner when root saves someone else's file; an ordinary user cannot, and need not.
        if (::fchown(fd, old.st_uid, old.st_gid) != 0 && geteuid() == 0)
            return fail(errno);
    }
    if (!WriteAll(fd, bytes, &code))
        return fail(code);
    // A full disk or a failing device may only tell at the flush; the old file must not give way before.
    if (::fsync(fd) != 0)
        return fail(errno);
    if (::close(fd) != 0) {
        code = errno;
        ::unlink(temporary.c_str());
        *why = "It cannot be written: " + Reason(code) + ".";
        return false;
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        code = errno;
        ::unlink(temporary.c_str());
        *why = "It cannot be written: " + Reason(code) + ".";
        return false;
    }
    // The new name is in place; making the folder's entry durable is a courtesy a failure cannot undo.
    if (const int dir = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool ReadWhole(const std::string &path, std::size_t maxBytes, double waitSeconds, std::string *bytes, std::string *why)
{
    const bool standardInput = path == kStandardStream;
    std::string kind;
    if (!standardInput) {
        struct stat s {};
        if (::stat(path.c_str(), &s) != 0) {
            *why = "It cannot be opened: " + Reason(errno) + ".";
            return false;
        }
        kind = KindOf(s.st_mode);
        if (S_ISDIR(s.st_mode) || S_ISSOCK(s.st_mode)) {
            *why = "It is " + kind + ", not a file.";
            return false;
        }
    }
    // Without O_NONBLOCK, opening a FIFO waits for a writer that may never come.
    const int fd = standardInput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = "It cannot be opened: " + Reason(errno) + ".";
        return false;
    }
    const bool bounded = !standardInput && !kind.empty();
    const int waitMs = bounded ? static_cast<int>(std::ceil(waitSeconds * kMsPerSecond)) : -1;
    std::string got;
    bool ok = true;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, waitMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.1f s", waitSeconds);
            *why = got.empty() ? "It is " + kind + " that nothing was written to within " + seconds + "."
                               : "It is " + kind + " that stopped for more than " + seconds + " before its end.";
            ok = false;
            break;
        }
        char chunk[kReadChunk];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0) {
            *why = "It cannot be read: " + Reason(errno) + ".";
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (got.size() + static_cast<std::size_t>(n) > maxBytes) {
            *why = "It holds more than " + std::to_string(maxBytes) + " bytes, far too many for this file.";
            ok = false;
            break;
        }
        got.append(chunk, static_cast<std::size_t>(n));
    }
    if (!standardInput)
        ::close(fd);
    if (ok)
        *bytes = std::move(got);
    return ok;
}

LineLog::~LineLog()
{
    Close();
}

bool LineLog::Open(const std::string &path, bool *isNew, std::string *why)
{
    Close();
    struct stat before {};
    const bool existed = ::stat(path.c_str(), &before) == 0;
    if (existed && !S_ISREG(before.st_mode)) {
        *why = "it is " + KindOf(before.st_mode) + ", not a regular file";
        return false;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kNewFileMode);
    if (fd < 0) {
        const int code = errno;
        if (!existed && (code == EACCES || code == EPERM))
            *why = "the folder " + FolderOf(path) + " does not let you create files in it (" + Reason(code) + ")";
        else if (!existed && (code == ENOENT || code == ENOTDIR))
            *why = "the folder " + FolderOf(path) + " does not exist";
        else if (code == EACCES || code == EPERM)
            *why = "the file is read-only (" + Reason(code) + ")";
        else
            *why = Reason(code);
        return false;
    }
    struct stat s {};
    if (::fstat(fd, &s) != 0 || !S_ISREG(s.st_mode)) {
        *why = "it is not a regular file";
        ::close(fd);
        return false;
    }
    *isNew = s.st_size == 0;
    fd_ = fd;
    owned_ = true;
    regular_ = true;
    append_ = true;
    whole_ = s.st_size;
    path_ = path;
    error_.clear();
    errorCode_ = 0;
    // Someone else's unfinished last line must not swallow our first one.
    char last = '\n';
    if (s.st_size > 0 && ::pread(fd, &last, 1, s.st_size - 1) == 1 && last != '\n') {
        int code = 0;
        if (!WriteAll(fd, "\n", &code)) {
            *why = Reason(code);
            Close();
            return false;
        }
        ++whole_;
    }
    return true;
}

void LineLog::Attach(int fd)
{
    Close();
    fd_ = fd;
    owned_ = false;
    path_ = kStandardStream;
    error_.clear();
    errorCode_ = 0;
    struct stat s {};
    regular_ = ::fstat(fd, &s) == 0 && S_ISREG(s.st_mode);
    if (regular_) {
        const int flags = ::fcntl(fd, F_GETFL);
        append_ = flags >= 0 && (flags & O_APPEND) != 0;
        whole_ = append_ ? s.st_size : ::lseek(fd, 0, SEEK_CUR);
    }
}

void LineLog::Append(const std::string &text)
{
    // After a refused write the log has stopped: a later line would hide the gap.
    if (fd_ < 0 || !error_.empty())
        return;
    if (buffer_.empty())
        oldest_ = Timer();
    buffer_ += text;
    FlushIfDue();
}

void LineLog::FlushIfDue()
{
    if (!buffer_.empty() && (Timer() - oldest_ >= maxAge_ || buffer_.size() >= kFlushBytes))
        Flush();
}

bool LineLog::Flush()
{
    if (fd_ < 0 || buffer_.empty())
        return error_.empty();
    int code = 0;
    std::size_t written = 0;
    if (!WriteAll(fd_, buffer_, &code, &written)) {
        // The whole lines the system did take stay; the cut falls after the last of them.
        const std::size_t lastEnd = buffer_.rfind('\n', written == 0 ? 0 : written - 1);
        if (written > 0 && lastEnd != std::string::npos)
            whole_ += static_cast<int64_t>(lastEnd + 1);
        Fail(code);
        return false;
    }
    whole_ += static_cast<int64_t>(buffer_.size());
    buffer_.clear();
    return error_.empty();
}

void LineLog::Fail(int code)
{
    buffer_.clear();
    if (error_.empty()) {
        error_ = Reason(code);
        errorCode_ = code;
    }
    // Part of a line may have gone out before the refusal; without it every line in the file is whole.
    if (regular_ && ::ftruncate(fd_, whole_) == 0 && !append_)
        ::lseek(fd_, whole_, SEEK_SET);
}

void LineLog::Close()
{
    if (fd_ < 0)
        return;
    Flush();
    if (owned_ && ::close(fd_) != 0) {
        const int code = errno;
        if (error_.empty()) {
            error_ = Reason(code);
            errorCode_ = code;
        }
    }
    fd_ = -1;
    owned_ = false;
    regular_ = false;
    append_ = false;
}

// SPDX-License-Identifier: MIT
// Files on POSIX calls: replaced only once the new contents are on the disk, streams read to their end with a
// bound on silence, logs cut back to their last whole line. errno is read right after the call that failed.
#include "io/fileio.h"

#include "io/console.h"
#include "io/utility.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
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
// Links followed in one path before it counts as a loop, as the kernel counts them.
constexpr int kMaxLinks = 40;

// Tests make the flush fail here, as a failing disk would; everyone else flushes with fsync.
int (*flushToDisk)(int fd) = ::fsync;

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

// Why a file cannot be created in `folder`, naming the folder where it is to blame. `folderExists` tells a folder
// that refuses new names (/proc answers ENOENT) from one that is not there.
std::string WhyNoNewFile(const std::string &folder, int code, bool folderExists)
{
    if (code == EACCES || code == EPERM)
        return "the folder " + folder + " does not let you create files in it (" + Reason(code) + ")";
    if ((code == ENOENT || code == ENOTDIR) && folderExists)
        return "the folder " + folder + " does not take new files (" + Reason(code) + ")";
    if (code == ENOENT || code == ENOTDIR)
        return "the folder " + folder + " does not exist";
    if (code == EROFS)
        return "the folder " + folder + " is on a read-only file system";
    return Reason(code);
}

std::string CannotCreateIn(const std::string &folder, int code, bool folderExists)
{
    return "It cannot be written: " + WhyNoNewFile(folder, code, folderExists) + ".";
}

bool IsFolder(const std::string &path)
{
    struct stat s {};
    return ::stat(path.c_str(), &s) == 0 && S_ISDIR(s.st_mode);
}

// The names of a path between its slashes, in order.
std::deque<std::string> Names(const std::string &path)
{
    std::deque<std::string> names;
    std::size_t from = 0;
    for (;;) {
        const std::size_t slash = path.find('/', from);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > from)
            names.emplace_back(path, from, end - from);
        if (slash == std::string::npos)
            return names;
        from = slash + 1;
    }
}

// Where a write to a path lands: a folder, held open so that what was looked at is what gets written whatever is
// renamed meanwhile, and a name in it.
struct Place {
    int dir = -1;       // O_PATH
    std::string folder; // for messages: as the user named it, or as the links led
    std::string name;
    bool viaLink = false; // a link was followed on the way
    std::string refusal;  // the walk stopped at another user's link in a shared folder: what it is
    Place() = default;
    Place(const Place &) = delete;
    Place &operator=(const Place &) = delete;
    ~Place()
    {
        if (dir >= 0)
            ::close(dir);
    }
};

// A folder anyone may create names in, where only an entry's owner may remove it: /tmp, a shared drop folder.
// A link there may be another user's trap.
bool SharedFolder(const struct stat &folder)
{
    return (folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
}

std::string LinkTarget(int dir, const std::string &name, int *code)
{
    char target[PATH_MAX];
    const ssize_t n = ::readlinkat(dir, name.c_str(), target, sizeof target);
    if (n < 0 || n == static_cast<ssize_t>(sizeof target)) {
        *code = n < 0 ? errno : ENAMETOOLONG;
        return {};
    }
    return std::string(target, static_cast<std::size_t>(n));
}

// What a walk has still to go: the names before it, the folder it has reached (for messages), the links followed.
struct Way {
    std::deque<std::string> rest;
    std::string walked;
    int links = 0;
    bool lastIsLinked = false; // the last name comes from a link's target, not from the path
};

// Takes the link `name` in at->dir (`last` on the way) on the walk: refused in a shared folder unless this user's
// or the folder's owner's; else its target's names go before the rest, from the root for an absolute one. 0 when
// followed; -1 with *why set when not; else an errno for the caller to tell as a walk's failure.
int FollowLink(const std::string &name, const struct stat &link, bool last, Place *at, Way *way, std::string *why)
{
    struct stat folder {};
    if (::fstat(at->dir, &folder) != 0)
        return errno;
    if (SharedFolder(folder) && link.st_uid != ::geteuid() && link.st_uid != folder.st_uid) {
        at->refusal = "a link that another user (uid " + std::to_string(link.st_uid) + ") made in " +
                      (way->walked.empty() ? "/" : way->walked) +
                      ", a folder where anyone may create files; it is not followed";
        *why = "It is " + at->refusal + ", and nothing was written.";
        return -1;
    }
    int code = 0;
    const std::string target = LinkTarget(at->dir, name, &code);
    if (++way->links > kMaxLinks)
        code = ELOOP;
    if (code != 0) {
        *why = "It is a link that cannot be followed: " + Reason(code) + ".";
        return -1;
    }
    at->viaLink = true;
    way->lastIsLinked = way->lastIsLinked || last;
    const std::deque<std::string> names = Names(target);
    way->rest.insert(way->rest.begin(), names.begin(), names.end());
    if (target.front() == '/') {
        const int root = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (root < 0)
            return errno;
        ::close(at->dir);
        at->dir = root;
        way->walked.clear();
    }
    if (way->rest.empty()) // a link to "/"
        way->rest.emplace_back(".");
    return 0;
}

// Walks `path` one name at a time to the folder and name a write lands on. Links are followed as the kernel's
// protected_symlinks follows them on open, but for every link on the way, not only the last, and whatever that
// setting is: in a shared folder only a link of this user or of the folder's owner; another user could otherwise
// point a name in /tmp at a file of ours and have us replace it. On failure *why holds a sentence.
bool Walk(const std::string &path, Place *at, std::string *why)
{
    const bool absolute = !path.empty() && path.front() == '/';
    at->dir = ::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (at->dir < 0) {
        *why = "It cannot be written: " + Reason(errno) + ".";
        return false;
    }
    Way way{Names(path), absolute ? "" : "."};
    std::deque<std::string> &rest = way.rest;
    std::string &walked = way.walked;
    const auto fail = [&](int code) {
        if (at->viaLink && (code == ENOENT || code == ENOTDIR))
            *why = "It is a link to something that does not exist.";
        else
            *why = CannotCreateIn(at->viaLink ? walked : FolderOf(path), code, false);
        return false;
    };
    while (!rest.empty()) {
        const std::string name = std::move(rest.front());
        rest.pop_front();
        const bool last = rest.empty();
        if (name == "." && !last)
            continue;
        struct stat s {};
        if (::fstatat(at->dir, name.c_str(), &s, AT_SYMLINK_NOFOLLOW) != 0) {
            const int code = errno;
            if (code != ENOENT || !last)
                return fail(code);
            if (way.lastIsLinked) {
                *why = "It is a link to something that does not exist.";
                return false;
            }
            at->name = name; // a new file
            break;
        }
        if (S_ISLNK(s.st_mode)) {
            if (const int code = FollowLink(name, s, last, at, &way, why); code != 0)
                return code < 0 ? false : fail(code);
            continue;
        }
        if (last) {
            at->name = name;
            break;
        }
        const int next = ::openat(at->dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            return fail(errno);
        ::close(at->dir);
        at->dir = next;
        if (name == "..") {
            const std::size_t slash = walked.find_last_of('/');
            walked = slash == std::string::npos ? walked + "/.." : walked.substr(0, slash);
        } else {
            walked += "/" + name;
        }
    }
    if (at->name.empty()) // "/", or a path that ends in a link to "/"
        at->name = ".";
    at->folder = at->viaLink ? (walked.empty() ? "/" : walked) : FolderOf(path);
    return true;
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

// A fresh file beside `name` in `dir` that nobody else has, created with the permissions a new file gets.
int CreateTemporary(int dir, const std::string &name, std::string *temporary, int *code)
{
    static std::mt19937 rng{std::random_device{}()};
    for (int i = 0; i < kTemporaryTries; ++i) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%06x", static_cast<unsigned>(rng() & kSuffixBits));
        *temporary = "." + name + "." + suffix;
        const int fd =
            ::openat(dir, temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode);
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
        if (console::StartedClosed(console::Stream::Output)) {
            *why = "It cannot be written: standard output is closed.";
            return false;
        }
        if (WriteAll(STDOUT_FILENO, bytes, &code))
            return true;
        *why = "It cannot be written: " + Reason(code) + ".";
        return false;
    }

    // The file a link leads to is the one replaced; the link stays. Everything below works in the folder the walk
    // ended in, so a link swapped in meanwhile is replaced itself, never followed.
    Place at;
    if (!Walk(path, &at, why))
        return false;
    struct stat old {};
    const bool exists = ::fstatat(at.dir, at.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISLNK(old.st_mode)) {
        *why = "It was made a link while it was being looked at; nothing was written.";
        return false;
    }
    if (exists && !S_ISREG(old.st_mode)) {
        *why = "It is " + KindOf(old.st_mode) + ", not a regular file.";
        return false;
    }
    if (exists && ::faccessat(at.dir, at.name.c_str(), W_OK, 0) != 0) {
        *why = "It cannot be written: Existing file " + path + " is not writable.";
        return false;
    }

    std::string temporary;
    const int fd = CreateTemporary(at.dir, at.name, &temporary, &code);
    if (fd < 0) {
        *why = CannotCreateIn(at.folder, code, true);
        return false;
    }
    // From here on every failure removes the temporary; the file itself has not been touched.
    const auto fail = [&](int failed, bool open) {
        if (open)
            ::close(fd);
        ::unlinkat(at.dir, temporary.c_str(), 0);
        *why = "It cannot be written: " + Reason(failed) + ".";
        return false;
    };
    if (exists) {
        if (::fchmod(fd, old.st_mode & kModeBits) != 0)
            return fail(errno, true);
        // Keeps the owner when root saves someone else's file; an ordinary user cannot, and need not.
        if (::fchown(fd, old.st_uid, old.st_gid) != 0 && geteuid() == 0)
            return fail(errno, true);
    }
    if (!WriteAll(fd, bytes, &code))
        return fail(code, true);
    // A full disk or a failing device may only tell at the flush; the old file must not give way before.
    if (flushToDisk(fd) != 0)
        return fail(errno, true);
    if (::close(fd) != 0)
        return fail(errno, false);
    if (::renameat(at.dir, temporary.c_str(), at.dir, at.name.c_str()) != 0)
        return fail(errno, false);
    // The new name is in place; making the folder's entry durable is a courtesy a failure cannot undo.
    if (const int dir = ::openat(at.dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

std::string RefusedLink(const std::string &path)
{
    if (path == kStandardStream)
        return {};
    Place at;
    std::string why;
    if (Walk(path, &at, &why) || at.refusal.empty())
        return {};
    return "it is " + at.refusal;
}

void SetFlushToDisk(int (*flush)(int fd))
{
    flushToDisk = flush ? flush : ::fsync;
}

bool ReadWhole(const std::string &path, std::size_t maxBytes, double waitSeconds, std::string *bytes, std::string *why)
{
    const bool standardInput = path == kStandardStream;
    if (standardInput && console::StartedClosed(console::Stream::Input)) {
        *why = "There is no input: standard input is closed.";
        return false;
    }
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
    if (std::string link = RefusedLink(path); !link.empty()) {
        *why = std::move(link);
        return false;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kNewFileMode);
    if (fd < 0) {
        const int code = errno;
        if (!existed && (code == EACCES || code == EPERM || code == ENOENT || code == ENOTDIR))
            *why = WhyNoNewFile(FolderOf(path), code, IsFolder(FolderOf(path)));
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
    // The program was started without it: what stands in its place only keeps its number from other files.
    if (fd == STDOUT_FILENO && console::StartedClosed(console::Stream::Output)) {
        error_ = "it is closed";
        errorCode_ = EBADF;
        return;
    }
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

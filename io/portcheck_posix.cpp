// SPDX-License-Identifier: MIT
// The port diagnosis on POSIX systems: lstat, stat, access, open and isatty, each error number read at once; and
// the look that opens nothing, through lock files, /proc and /sys.
#include "io/portcheck.h"

#include "io/console.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace portcheck {

namespace {

// A group entry with a long member list needs more than the first buffer; grow it up to this.
constexpr std::size_t kFirstGroupBuffer = 4096;
constexpr std::size_t kLargestGroupBuffer = 65536;
constexpr std::size_t kGroupBufferGrowth = 4;
// Where programs that talk to serial lines leave their UUCP-style lock files (Qt, minicom, ModemManager, …).
constexpr const char *kLockFolders[] = {
    "/run/lock",  "/var/lock", "/var/lock/lockdev", "/var/spool/locks", "/var/spool/uucp",
    "/etc/locks", "/tmp",      "/var/tmp"};
constexpr const char *kLockPrefix = "LCK..";
constexpr const char *kDevFolder = "/dev/";
// A lock file holds the owner's process id: as text, or in the oldest form as a 4-byte binary number.
constexpr std::size_t kBinaryPidBytes = 4;
constexpr std::size_t kLockFileBytes = 128; // far more than a pid and a program's name
// Linux's pseudo-terminals: slaves on majors 136 to 143, masters all on /dev/ptmx, which /proc/PID/fdinfo
// tells apart by their index.
constexpr unsigned kPtySlaveMajor = 136;
constexpr unsigned kPtySlaveMajors = 8;
constexpr unsigned kMinorsPerMajor = 256;
constexpr unsigned kPtmxMajor = 5;
constexpr unsigned kPtmxMinor = 2;
constexpr const char *kTtyIndexTag = "tty-index:";

// The effective group and the supplementary ones, as open() counts them.
bool InGroup(gid_t gid)
{
    if (getegid() == gid)
        return true;
    const int n = getgroups(0, nullptr);
    if (n <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    const int got = getgroups(n, groups.data());
    for (int i = 0; i < got; ++i)
        if (groups[static_cast<std::size_t>(i)] == gid)
            return true;
    return false;
}

std::string GroupName(gid_t gid)
{
    for (std::vector<char> buffer(kFirstGroupBuffer); buffer.size() <= kLargestGroupBuffer;
         buffer.resize(buffer.size() * kGroupBufferGrowth)) {
        group entry{};
        group *found = nullptr;
        const int rc = getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE)
            continue;
        if (rc == 0 && found)
            return found->gr_name;
        break;
    }
    return {};
}

std::string LinkText(const std::string &path)
{
    char target[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

Diagnosis Found(Finding finding)
{
    Diagnosis d;
    d.finding = finding;
    return d;
}

Diagnosis Refused(int code)
{
    Diagnosis d = Found(Finding::Other);
    d.reason = console::ErrorText(code);
    return d;
}

Diagnosis Denied(const struct stat &s)
{
    Diagnosis d = Found(Finding::NoPermission);
    d.uid = s.st_uid;
    d.gid = s.st_gid;
    d.group = GroupName(s.st_gid);
    d.inGroup = InGroup(s.st_gid);
    const bool groupReads = (s.st_mode & S_IRGRP) != 0, groupWrites = (s.st_mode & S_IWGRP) != 0;
    d.joinGroupHelps = groupReads && groupWrites && !d.inGroup;
    d.groupReadsOnly = groupReads && !groupWrites;
    return d;
}

// What lstat and stat tell of `path` before anything is opened: a finding, or nothing when it is a character
// device, folder or file that exists (in *s).
std::optional<Diagnosis> NameProblem(const std::string &path, struct stat *s)
{
    struct stat ls {};
    if (lstat(path.c_str(), &ls) != 0) {
        const int e = errno;
        // A loop in a folder on the way, or a folder that may not be searched, is no missing device.
        if (e == ENOENT || e == ENOTDIR)
            return Found(Finding::Missing);
        return e == ELOOP ? Found(Finding::LinkLoops) : Refused(e);
    }
    if (stat(path.c_str(), s) != 0) {
        const int e = errno;
        if (e != ELOOP && e != ENOENT)
            return Refused(e);
        Diagnosis d = Found(e == ELOOP ? Finding::LinkLoops : Finding::LinkDangles);
        if (S_ISLNK(ls.st_mode))
            d.linkTarget = LinkText(path);
        // A name that is no link yet leads nowhere has gone between the two looks.
        if (!S_ISLNK(ls.st_mode) && e == ENOENT)
            d.finding = Finding::Missing;
        return d;
    }
    if (S_ISDIR(s->st_mode))
        return Found(Finding::Folder);
    return std::nullopt;
}

bool Alive(long pid)
{
    return pid > 0 && pid != static_cast<long>(getpid()) && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// The name a process was started under (its command name is cut to 15 characters), "" when it cannot be seen.
std::string ProgramOf(long pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream cmdline(proc + "/cmdline");
    std::string name;
    std::getline(cmdline, name, '\0');
    if (name.empty()) {
        std::ifstream comm(proc + "/comm");
        std::getline(comm, name);
    }
    return name.substr(name.find_last_of('/') + 1);
}

// The process id a lock file names, or 0.
long LockOwner(const std::string &file)
{
    std::ifstream in(file, std::ios::binary);
    char text[kLockFileBytes] = {};
    in.read(text, sizeof text - 1);
    const auto n = static_cast<std::size_t>(in.gcount());
    char *end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    if (end != text)
        return pid;
    if (n == kBinaryPidBytes) {
        int32_t binary = 0;
        std::copy(text, text + kBinaryPidBytes, reinterpret_cast<char *>(&binary));
        return binary;
    }
    return 0;
}

// A live process that a lock file names for the device at `device` (a path under /dev/). Programs name the file
// after the device's name (LCK..ttyS0) or after its path below /dev/ with '_' for '/' (LCK..pts_3).
std::optional<Diagnosis> HeldByLock(const std::string &device)
{
    if (device.rfind(kDevFolder, 0) != 0)
        return std::nullopt;
    std::string below = device.substr(std::strlen(kDevFolder));
    const std::string name = below.substr(below.find_last_of('/') + 1);
    std::replace(below.begin(), below.end(), '/', '_');
    for (const char *folder : kLockFolders)
        for (const std::string &lock : {below, name}) {
            const std::string file = std::string(folder) + "/" + kLockPrefix + lock;
            const long pid = LockOwner(file);
            if (!Alive(pid))
                continue; // none, or one its owner left behind
            Diagnosis d = Found(Finding::Busy);
            d.holderPid = pid;
            d.program = ProgramOf(pid);
            d.lockFile = file;
            return d;
        }
    return std::nullopt;
}

// The number of the pseudo-terminal whose slave `device` is, or -1 for any other device.
long PtyIndex(dev_t device)
{
    const unsigned m = major(device);
    if (m < kPtySlaveMajor || m >= kPtySlaveMajor + kPtySlaveMajors)
        return -1;
    return static_cast<long>((m - kPtySlaveMajor) * kMinorsPerMajor + minor(device));
}

// Whether the descriptor /proc/PID/fd/N (fdinfo: /proc/PID/fdinfo/N) is the master of pseudo-terminal `index`.
bool IsMasterOf(const struct stat &s, const std::filesystem::path &fdinfo, long index)
{
    if (index < 0 || !S_ISCHR(s.st_mode) || s.st_rdev != makedev(kPtmxMajor, kPtmxMinor))
        return false;
    std::ifstream info(fdinfo);
    for (std::string line; std::getline(info, line);)
        if (line.rfind(kTtyIndexTag, 0) == 0)
            return std::strtol(line.c_str() + std::strlen(kTtyIndexTag), nullptr, 10) == index;
    return false;
}

// A process that has the device open, among those whose descriptors this user may look at. stat() on
// /proc/PID/fd/N reaches the device's node without opening it. A process that holds a pseudo-terminal's master
// as well as its slave is the line's other end (a simulated sensor keeps its own slave open), not a user of it.
std::optional<Diagnosis> HeldOpen(dev_t device)
{
    namespace fs = std::filesystem;
    const long pty = PtyIndex(device);
    std::error_code ec;
    for (const fs::directory_entry &proc : fs::directory_iterator("/proc", ec)) {
        const std::string pidText = proc.path().filename().string();
        char *end = nullptr;
        const long pid = std::strtol(pidText.c_str(), &end, 10);
        if (*end != '\0' || pid == static_cast<long>(getpid()))
            continue;
        bool holds = false, otherEnd = false;
        std::error_code fdError;
        for (const fs::directory_entry &fd : fs::directory_iterator(proc.path() / "fd", fdError)) {
            struct stat s {};
            if (stat(fd.path().c_str(), &s) != 0)
                continue;
            holds = holds || (S_ISCHR(s.st_mode) && s.st_rdev == device);
            otherEnd = otherEnd || IsMasterOf(s, proc.path() / "fdinfo" / fd.path().filename(), pty);
        }
        if (!holds || otherEnd)
            continue;
        Diagnosis d = Found(Finding::Busy);
        d.holderPid = pid;
        d.program = ProgramOf(pid);
        return d;
    }
    return std::nullopt;
}

// Whether the kernel files the character device under another kind than a terminal's. /sys knows the kinds
// of registered devices; a pseudo-terminal's side is not among them, and counts as a terminal.
bool NoTerminal(dev_t device)
{
    std::error_code ec;
    const std::filesystem::path subsystem = std::filesystem::read_symlink(
        "/sys/dev/char/" + std::to_string(major(device)) + ":" + std::to_string(minor(device)) + "/subsystem", ec);
    return !ec && subsystem.filename() != "tty";
}

} // namespace

Diagnosis Look(const std::string &path)
{
    struct stat s {};
    if (std::optional<Diagnosis> d = NameProblem(path, &s))
        return *d;
    if (!S_ISCHR(s.st_mode) || NoTerminal(s.st_rdev))
        return Found(Finding::NotTerminal);
    if (faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) != 0 && errno == EACCES)
        return Denied(s);
    if (std::optional<Diagnosis> d = HeldOpen(s.st_rdev))
        return *d;
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved))
        if (std::optional<Diagnosis> d = HeldByLock(resolved))
            return *d;
    return Found(Finding::Usable);
}

Diagnosis Diagnose(const std::string &path)
{
    struct stat s {};
    if (std::optional<Diagnosis> d = NameProblem(path, &s))
        return *d;
    if (faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
        const int e = errno;
        if (e == EACCES)
            return Denied(s);
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == EACCES || e == EPERM)
            return Denied(s);
        return e == EBUSY ? Found(Finding::Busy) : Refused(e);
    }
    const bool terminal = isatty(fd) != 0;
    close(fd);
    return Found(terminal ? Finding::Usable : Finding::NotTerminal);
}

} // namespace portcheck

// SPDX-License-Identifier: MIT
// The port diagnosis on POSIX systems: lstat, stat, access, open and isatty, each error number read at once.
#include "io/portcheck.h"

#include "io/console.h"

#include <cerrno>
#include <climits>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace portcheck {

namespace {

// A group entry with a long member list needs more than the first buffer; grow it up to this.
constexpr std::size_t kFirstGroupBuffer = 4096;
constexpr std::size_t kLargestGroupBuffer = 65536;
constexpr std::size_t kGroupBufferGrowth = 4;

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

} // namespace

Diagnosis Diagnose(const std::string &path)
{
    struct stat ls {};
    if (lstat(path.c_str(), &ls) != 0) {
        const int e = errno;
        // A loop in a folder on the way, or a folder that may not be searched, is no missing device.
        if (e == ENOENT || e == ENOTDIR)
            return Found(Finding::Missing);
        return e == ELOOP ? Found(Finding::LinkLoops) : Refused(e);
    }
    struct stat s {};
    if (stat(path.c_str(), &s) != 0) {
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
    if (S_ISDIR(s.st_mode))
        return Found(Finding::Folder);
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

// SPDX-License-Identifier: MIT
// Probes a device path with plain system calls to explain a failed open.
#include "cli/diagnose.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace cli {

namespace {

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

// The reentrant calls throughout: several lines' threads may explain their ports at the same time.
std::string GroupName(gid_t gid)
{
    constexpr std::size_t kFirstBuffer = 4096, kLargestBuffer = 65536; // group entries with long member lists
    for (std::vector<char> buffer(kFirstBuffer); buffer.size() <= kLargestBuffer; buffer.resize(buffer.size() * 4)) {
        group entry{};
        group *found = nullptr;
        const int rc = getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE)
            continue;
        if (rc == 0 && found)
            return found->gr_name;
        break;
    }
    return "gid " + std::to_string(gid);
}

std::string ErrorText(int code)
{
    char text[256];
    return strerror_r(code, text, sizeof text); // the GNU form: returns the text, which may not be in `text`
}

} // namespace

std::string WhyNotOpen(const std::string &path)
{
    struct stat ls {};
    if (lstat(path.c_str(), &ls) != 0)
        return "no such device";
    struct stat s {};
    if (stat(path.c_str(), &s) != 0) {
        // Read before anything else can overwrite it: readlink below sets errno too.
        const int e = errno;
        char target[PATH_MAX];
        const ssize_t n = S_ISLNK(ls.st_mode) ? readlink(path.c_str(), target, sizeof target - 1) : -1;
        const std::string to = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
        if (e == ELOOP)
            return "it is a link that leads back to itself" + (to.empty() ? std::string() : " (to " + to + ")");
        if (e == ENOENT && !to.empty())
            return "it is a link to " + to + ", which does not exist";
        return ErrorText(e);
    }
    if (S_ISDIR(s.st_mode))
        return "it is a folder, not a device";
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == EACCES || e == EPERM) {
            const std::string group = GroupName(s.st_gid);
            if (!InGroup(s.st_gid) && (s.st_mode & S_IRWXG) != 0)
                return "no permission: it belongs to group " + group + ", which you are not in (sudo adduser $USER " +
                       group + ", then log in again)";
            return "no permission (owner uid " + std::to_string(s.st_uid) + ", group " + group + ")";
        }
        if (e == EBUSY)
            return "in use by another program";
        return ErrorText(e);
    }
    const bool terminal = isatty(fd) != 0;
    close(fd);
    if (!terminal)
        return "not a terminal, so not a serial port";
    return "";
}

std::string WhyRefused(const std::string &path)
{
    const std::string why = WhyNotOpen(path);
    return why.empty() ? "in use by another program" : why;
}

} // namespace cli

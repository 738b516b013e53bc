// SPDX-License-Identifier: MIT
// Why a serial device path cannot serve as a port, found with the system's own calls; the caller words it.
// Diagnose opens the device to be sure; Look does not, so it can be asked of a line someone is using.
#pragma once

#include <string>

namespace portcheck {

enum class Finding {
    Usable,       // opens read-write and is a terminal
    Missing,      // nothing under that name
    LinkLoops,    // a symbolic link that leads back to itself (directly or round a ring)
    LinkDangles,  // a symbolic link to something that does not exist
    Folder,       // a folder, not a device
    NoPermission, // the system's permissions refuse this process read and write access
    Busy,         // the device refuses a second user (Diagnose), or another program has it (Look)
    NotTerminal,  // opens, but is no terminal, so no serial port (Look: no character device, or not a tty's)
    Other,        // any other refusal: `reason` holds the system's words
};

struct Diagnosis {
    Finding finding = Finding::Usable;
    std::string linkTarget; // LinkLoops, LinkDangles: the text of the link ("" when it cannot be read)
    // NoPermission: the device's owner and group; `group` is the group's name, "" when the group has none.
    unsigned long uid = 0, gid = 0;
    std::string group;
    // NoPermission: the group may read and write the device and this process is not in it, so joining the
    // group is the cure.
    bool joinGroupHelps = false;
    // NoPermission: the group may read the device but not write it, so being in it (inGroup) is not enough.
    bool groupReadsOnly = false;
    bool inGroup = false;
    // Busy, from Look: the process that has the device, and the lock file that named it ("" when it was found
    // among the processes' open descriptors). program is "" when its name cannot be seen.
    long holderPid = 0;
    std::string program;
    std::string lockFile;
    std::string reason; // Other: the system's text for the error
};

// Looks at `path` without leaving anything changed: the device, if it opens at all, is opened without becoming
// the controlling terminal, without waiting for a carrier, and closed again. Reentrant: every line's thread may
// ask at the same time. Permissions are judged with the effective credentials, as an open would judge them.
Diagnosis Diagnose(const std::string &path);

// What can be told of `path` without opening it, so without touching the line (an open and close of a real
// RS-232 port pulses DTR and RTS, which resets some devices and disturbs a program using the line): missing,
// a link that loops or dangles, a folder, no character device or another kind than a terminal's, no
// permission, or in use — by a process whose lock file (LCK..name in the system's lock folders) names it and
// is alive, or that has the device open among the descriptors this user may look at (/proc/*/fd, as fuser
// finds them). Usable means none of these: whether it opens is not known.
Diagnosis Look(const std::string &path);

} // namespace portcheck

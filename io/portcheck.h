// SPDX-License-Identifier: MIT
// Why a serial device path cannot serve as a port, found with the system's own calls; the caller words it.
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
    Busy,         // the device refuses a second user
    NotTerminal,  // opens, but is no terminal, so no serial port
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
    std::string reason; // Other: the system's text for the error
};

// Looks at `path` without leaving anything changed: the device, if it opens at all, is opened without becoming
// the controlling terminal, without waiting for a carrier, and closed again. Reentrant: every line's thread may
// ask at the same time. Permissions are judged with the effective credentials, as an open would judge them.
Diagnosis Diagnose(const std::string &path);

} // namespace portcheck

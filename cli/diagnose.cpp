// SPDX-License-Identifier: MIT
// Words for the platform's port diagnosis: what the command line says about a device it cannot open.
#include "cli/diagnose.h"

#include "io/portcheck.h"

namespace cli {

namespace {

std::string Words(const portcheck::Diagnosis &d)
{
    using portcheck::Finding;
    const std::string to = d.linkTarget.empty() ? std::string() : " (to " + d.linkTarget + ")";
    switch (d.finding) {
    case Finding::Usable: return "";
    case Finding::Missing: return "no such device";
    case Finding::LinkLoops: return "it is a link that leads back to itself" + to;
    case Finding::LinkDangles:
        return d.linkTarget.empty() ? "no such device" : "it is a link to " + d.linkTarget + ", which does not exist";
    case Finding::Folder: return "it is a folder, not a device";
    case Finding::NoPermission: {
        const std::string group = d.group.empty() ? "gid " + std::to_string(d.gid) : d.group;
        if (d.joinGroupHelps)
            return "no permission: it belongs to group " + group + ", which you are not in (sudo adduser $USER " +
                   group + ", then log in again)";
        // Joining would not help: the device's mode must change (a udev rule), or the owner must let you.
        if (d.groupReadsOnly)
            return "no permission: its group " + group + (d.inGroup ? ", which you are in," : "") +
                   " may only read it, not write to it (owner uid " + std::to_string(d.uid) + ")";
        return "no permission (owner uid " + std::to_string(d.uid) + ", group " + group + ")";
    }
    case Finding::Busy:
        if (d.holderPid == 0)
            return "in use by another program";
        return "in use by " + (d.program.empty() ? std::string("a program") : d.program) + " (pid " +
               std::to_string(d.holderPid) + (d.lockFile.empty() ? "" : ", lock file " + d.lockFile) + ")";
    case Finding::NotTerminal: return "not a terminal, so not a serial port";
    case Finding::Other: return d.reason;
    }
    return d.reason;
}

} // namespace

std::string WhyNotOpen(const std::string &path)
{
    return Words(portcheck::Diagnose(path));
}

std::string WhyNotFree(const std::string &path)
{
    return Words(portcheck::Look(path));
}

std::string WhyRefused(const std::string &path)
{
    const std::string why = WhyNotOpen(path);
    return why.empty() ? "in use by another program" : why;
}

} // namespace cli

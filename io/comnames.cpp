// SPDX-License-Identifier: MIT
// How a COM number finds its device: a bound device, a link in the port directory, or the system's list.
#include "io/rs232.h"

#include "io/rs232_net.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>

namespace {

// Read by every opening, from any thread that opens a port, so every look holds `mu`.
struct PortNames {
    std::mutex mu;
    std::string portDirectory;
    std::map<int, std::string> bound; // COM numbers given a device by BindComDevice
};

PortNames &Names()
{
    static PortNames names;
    return names;
}

} // namespace

void SetComPortDirectory(const char *directory)
{
    const std::lock_guard lock(Names().mu);
    Names().portDirectory = directory ? directory : "";
}

void BindComDevice(int port, const char *device)
{
    const std::lock_guard lock(Names().mu);
    if (device && *device)
        Names().bound[port] = device;
    else
        Names().bound.erase(port);
}

std::string ComDeviceFor(int port, int *error)
{
    *error = 0;
    if (port < 1) {
        *error = kComErrBadPort;
        return {};
    }
    std::string directory;
    {
        // Only the tables are read under the lock: the file system and the system's port list may take a while.
        const std::lock_guard lock(Names().mu);
        if (const auto bound = Names().bound.find(port); bound != Names().bound.end())
            return bound->second;
        directory = Names().portDirectory;
    }
    const QString linkName = QStringLiteral("com%1").arg(port);
    const QFileInfo link(QDir(QString::fromStdString(directory)).filePath(linkName));
    // A link cannot lead to a network address, but its target text can be one.
    std::error_code ec;
    const std::string target = std::filesystem::read_symlink(link.filePath().toStdString(), ec).string();
    if (!directory.empty() && !ec && rs232net::IsAddress(target))
        return target;
    if (!directory.empty() && (link.isSymLink() || link.exists())) {
        const QString target = link.canonicalFilePath();
        return (target.isEmpty() ? link.absoluteFilePath() : target).toStdString();
    }
    QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    if (ports.isEmpty()) {
        *error = kComErrNoPorts;
        return {};
    }
    std::sort(ports.begin(), ports.end(), [](const QSerialPortInfo &a, const QSerialPortInfo &b) {
        return a.systemLocation() < b.systemLocation();
    });
    if (port > ports.size()) {
        *error = kComErrBadPort;
        return {};
    }
    return ports[port - 1].systemLocation().toStdString();
}

std::vector<ComPortInfo> SystemComPorts()
{
    QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    std::sort(ports.begin(), ports.end(), [](const QSerialPortInfo &a, const QSerialPortInfo &b) {
        return a.systemLocation() < b.systemLocation();
    });
    std::vector<ComPortInfo> list;
    for (const QSerialPortInfo &p : ports)
        list.push_back({p.systemLocation().toStdString(), p.description().toStdString(), p.manufacturer().toStdString(),
                        p.serialNumber().toStdString()});
    return list;
}

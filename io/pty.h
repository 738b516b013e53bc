// SPDX-License-Identifier: MIT
// A pseudo-terminal pair seen from its master side, and symbolic links that name a device; no Qt.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace pty {

// Baud rate and framing of a terminal line, as serial tools write them ("19200 8N1").
struct LineSettings {
    int baud = 0; // 0 when the terminal holds a rate that is not a standard one
    int dataBits = 8;
    char parity = 'N'; // N, O, E, M (mark) or S (space)
    int stopBits = 1;
    bool operator==(const LineSettings &) const = default;
};

// What waitReadable saw.
enum class Ready {
    Readable, // bytes are waiting for read()
    Idle,     // the time ran out, or a signal cut the wait short
    Closed,   // nobody holds the slave side open, or the wait failed: retrying at once would only spin
};

// A master that never blocks, and its slave held open so the pair does not read as hung up before another
// program opens the device. Either side is closed on exec. One thread may wait, read and write while others only
// ask isOpen() or devicePath() under a lock of their own; open() and close() must wait until that thread is done.
class Pair {
public:
    Pair() = default;
    ~Pair();
    Pair(const Pair &) = delete;
    Pair &operator=(const Pair &) = delete;

    // Opens a new pair whose slave is raw (every byte passes untranslated, none raises a signal) at `baud`.
    // False with errno set when the system gives none; an open pair is closed first.
    bool open(int baud);
    bool isOpen() const;
    // Closes both sides: whoever has the slave open sees the line hang up. Bytes not yet read are lost.
    void close();
    // The slave's device path, as other programs open it. Kept after close() so callers can say what vanished.
    const std::string &devicePath() const;

    // Waits up to `timeout` until the master has bytes to read.
    Ready waitReadable(std::chrono::nanoseconds timeout) const;
    // Bytes read into `into`; 0 when none are waiting or a signal came first; -1 when the read fails (the slave
    // closed, or the pair is).
    long read(std::span<uint8_t> into);
    // Bytes written from `bytes`, possibly fewer; 0 when the terminal takes none just now (its buffer is full, or a
    // signal came first); -1 when the write fails (nobody is there to receive them).
    long write(std::span<const uint8_t> bytes);
    // Bytes written to the master that the slave's reader has not taken yet; 0 when that cannot be told.
    int unreadBySlave() const;
    // The slave's line settings, as whoever opened the device last set them; false when they cannot be read.
    // On Linux a pseudo-terminal keeps the baud rate and stop bits it is given but always reads 8 data bits and
    // no parity.
    bool lineSettings(LineSettings *line) const;

private:
    int master_ = -1;
    int slave_ = -1;
    std::string devicePath_;
};

// Points the symbolic link `link` at `target`, creating the link's folder (for its owner alone) when missing. The
// link is built beside its final name and renamed over it, so a program reading the folder never finds the name
// missing while an older link is replaced. False with errno set on failure.
bool PlaceLink(const std::string &target, const std::string &link);
// Removes `link` if it still points at `target`, and leaves it alone if someone has re-pointed it since.
void RemoveLinkTo(const std::string &link, const std::string &target);

} // namespace pty

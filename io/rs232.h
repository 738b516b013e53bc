// SPDX-License-Identifier: MIT
// Serial-port services under the names the program calls, on Qt Serial Port, usable without an event loop.
// Ports are numbered like COM ports; see ComDeviceFor for how a number finds its device. No hardware handshake.
// Built for POSIX terminals (Linux and other Unix systems) only. A device name "rfc2217://HOST:PORT" or
// "tcp://HOST:PORT" is a port behind a serial device server, reached over the network with the same contract.
//
// Threads: different ports may be worked from different threads at the same time. One port is worked by one
// thread at a time, and a local port only by the thread that opened it, which must be the program's main thread
// or a ComThread (the port's Qt objects belong to the thread that made them and wait on its event dispatcher).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The negative results of the calls below, which return them as int beside counts. Opening reports kComErrSystem,
// kComErrBadPort, kComErrNoPorts, kComErrCannotOpen or kComErrTimeout; the other calls report kComErrNotOpen for a
// port that is not open. The numbers are those the program's messages were written for (-5 is not used).
enum ComError : int {
    kComErrSystem = -1,     // unknown system error
    kComErrBadPort = -2,    // no such port number
    kComErrNotOpen = -3,    // port is not open
    kComErrIO = -4,         // unknown I/O error
    kComErrNoPorts = -6,    // the system has no serial ports at all
    kComErrCannotOpen = -7, // exists but cannot be opened: busy, no permission, not a serial device
    kComErrTimeout = -99,
};

// Until SetComTime says otherwise, a port's writes and reads may take this long, local or networked alike.
inline constexpr double kComDefaultTimeout = 2.0;

enum { kParityNone = 0 };
enum { kCtsOff = 0 };

// The directory in which a link named "comN" attaches a device to COM number N ("" for none).
void SetComPortDirectory(const char *directory);

// Finds the device for COM number `port`: a device bound with BindComDevice wins; then a link "comN" in the
// port directory (a link whose target text is a network address, e.g. "rfc2217://10.0.0.7:4001", names that
// address); otherwise the N-th serial port the system reports, sorted by device path. Returns the device path
// or address, or an empty string with *error set to kComErrBadPort or kComErrNoPorts.
std::string ComDeviceFor(int port, int *error);

// Binds COM number `port` to `device` (a device path or a network address) for the rest of the process, ahead
// of the port directory; null or "" removes the binding.
void BindComDevice(int port, const char *device);

// A serial port the system reports, with what Qt knows of it (empty where nothing is known).
struct ComPortInfo {
    std::string device; // e.g. /dev/ttyUSB0
    std::string description;
    std::string manufacturer;
    std::string serialNumber;
};
// The system's serial ports in the order that numbers them (sorted by device path): entry N-1 is COM N
// unless a link in the port directory takes that number.
std::vector<ComPortInfo> SystemComPorts();

// For programs without a panel: brings up what the port services need (Qt's core application object),
// or joins one that exists. A program with a panel has it from InitUIRunTime.
void InitComServices(int argc, char **argv);

// A thread on which ports may be opened and worked: it runs `job` once, at once. Ports the job opens must be
// closed by the job before it returns. The destructor waits for the job to end, as Join does.
class ComThread {
public:
    explicit ComThread(std::function<void()> job);
    ~ComThread();
    ComThread(const ComThread &) = delete;
    ComThread &operator=(const ComThread &) = delete;
    void Join();

private:
    struct Thread;
    std::unique_ptr<Thread> thread_;
};

// Whether a device name is a network address (rfc2217://… or tcp://…), judged by its scheme alone.
bool ComIsAddress(const std::string &device);
// Why `address` cannot be a network address, without connecting to it ("" for one that can be tried).
std::string ComAddressProblem(const std::string &address);

// Opens the port. An empty device name means the device that the number finds (ComDeviceFor); any other
// name is the device path or network address to open under that number. A network port connects within a
// few seconds (kComErrTimeout otherwise) and, with RFC 2217, has the server set its line to these settings.
// Input already waiting is discarded. Returns 0, or a negative code from the list above.
int OpenComConfig(int port, const char *deviceName, long baudRate, int parity, int dataBits, int stopBits,
                  int inputQueueSize, int outputQueueSize);
// Opens the device at devicePath as OpenComConfig would and closes it again at once: 0 when that works, the
// negative code of the refusal otherwise (kComErrCannotOpen for a device another program holds).
int ComProbe(const char *devicePath);
// True when COM `port` cannot carry anything any more: it is not open, or its device has hung up (gone away).
// Such a port must be opened again to be of use.
bool ComHungUp(int port);
// After OpenComConfig on `port` returned kComErrCannotOpen: whether the system's permissions refused this
// user the device, and if so, when joining the group that owns it would let the user in (the group may read
// and write it, and the user is not in it), that group's name in *group; "" otherwise, or when it has no name.
bool ComOpenDenied(int port, std::string *group);
// After OpenComConfig on a network address failed: why, in words ("connection refused", "the server does not
// set the line …"); "" otherwise.
std::string ComOpenError(int port);
// Whether COM `port` is open on a network address rather than on a device of this machine.
bool ComOnNetwork(int port);
// The device path or network address an open port uses ("" when not open).
std::string ComDevicePath(int port);
int SetComTime(int port, double timeoutSeconds);
int SetCTSMode(int port, int mode);
int FlushInQ(int port);
int FlushOutQ(int port);
// FlushInQ and FlushOutQ at once: one system call on a local port.
int FlushQueues(int port);
// Hands count bytes to the system; returns the number accepted, or a negative code.
int ComWrt(int port, const void *buffer, int count);
// Bytes waiting in the input queue (never more than its size), or a negative code.
int GetInQLen(int port);
// Like GetInQLen, but first blocks (handling no events unless ComServeEventsInWaits says so, using no CPU) until at
// least `wanted` bytes are waiting or Timer() reaches `deadline`, whichever comes first.
int GetInQLenWait(int port, int wanted, double deadline);
// For a thread whose event loop must go on while it waits for replies (a window's): while on (calls nest, per
// thread), GetInQLenWait on a local port waits inside the thread's event loop instead of blocking in the port. The
// loop handles every event but the user's input (which waits for the next full handling of events): paints,
// timers, a screen reader's questions. It still wakes only for the port's bytes (at the wake-up count, as a
// blocking wait does), the deadline, or what those events need. Whatever the events start must not use the port
// being waited on. Network ports wait as before.
void ComServeEventsInWaits(bool on);
// For a loop that waits for `count` bytes again and again (a polling loop): until ComReleaseWake, the
// GetInQLenWait calls for `count` bytes on `port` find the terminal already set to wake once they are all there,
// instead of setting and restoring that in each call. Meanwhile GetInQLenWait may report 0 while fewer than
// `count` bytes have come; GetInQLen, ComRd and waits for any other count see single bytes as always. A port
// holds one count at a time. Returns 0, or kComErrNotOpen. Does nothing for a network port.
int ComHoldWake(int port, int count);
// Ends ComHoldWake: the terminal wakes as it did before. A port closed or opened anew since has nothing to undo.
int ComReleaseWake(int port);
// Reads up to count bytes that are already waiting; returns the number read, or a negative code.
int ComRd(int port, void *buffer, int count);
// Discards unsent output, then releases the port.
int CloseCom(int port);

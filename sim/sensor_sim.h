// SPDX-License-Identifier: MIT
// A simulated colour sensor that answers the 54-byte request protocol over a POSIX pseudo-terminal.
#pragma once

#include "replay.h"

#include "core/ScopeState.h"
#include "io/pty.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace sim {

// The wire format as the sensor sees it: every word big-endian, a request the sync word, the order code and the
// whole parameter block. The front end's side of it lives with the link, above the floors the simulator may reach.
inline constexpr std::size_t kWordBytes = 2;
inline constexpr std::size_t kHeadWords = 2; // sync word and order code
inline constexpr std::size_t kRequestBytes = kWordBytes * (kHeadWords + kParaWords);
inline constexpr std::size_t kIdentChars = 48;
inline constexpr uint16_t kDefaultSync = 85;
inline constexpr int kLineBaud = 19200; // the sensor's line: what the pseudo-terminal starts with, and the demo's pace

// Orders with a reply; anything else is stored silently or ignored.
enum Order : uint16_t {
    StoreRam = 1,
    StoreEeprom = 2,
    ReadRam = 3,
    ReadEeprom = 4,
    Measure = 5,
    Identify = 7,
};

// Indices into the parameter block.
enum Param : std::size_t {
    SigWinHi = 0,
    SigWinLo = 1,
    Power = 2,
    Average = 3,
    OutMode = 4,
    Hold = 5,
    SensorOwn = 6, // words 6-14 belong to the sensor alone
    Row1X = 15,    // each teach row: X, Y, CTO (circle radius), INT, INT tolerance
    Row2X = Row1X + kTeachColumns,
};

// Late: the whole reply, held back kLateBy seconds beyond the front end's reply time-out.
// DropStore: a store order (1 or 2; order 0 = both) is taken in silently but changes nothing.
// KeepButFirst, KeepButLast: a store keeps every word but the first, or the last, of the block.
// Ahead: a measurement goes out just before the reply, as one asked for by another client on the same line.
// Tail: a measurement follows the reply at the line's pace, as another client's would.
// Ones: every byte of the reply is 0xFF, its length as it should be.
enum class Fault {
    None,
    NoReply,
    ShortByOne,
    LongByOne,
    Trickle,
    Garbage,
    Late,
    DropStore,
    KeepButFirst,
    KeepButLast,
    Ahead,
    Tail,
    Ones
};
inline constexpr int kFaultKinds = 7; // None and the faults of a reply, the ones drawn at random
inline constexpr double kLateBy = 2.2;

struct Options {
    int com = 1;          // link as comN in portdir::Directory(); 0 = create no link
    int paceBaud = 0;     // 0 = send at once; e.g. 19200 = pace as a real 8N1 link (10 bits per byte)
    double latency = 0.0; // extra seconds between a complete request and the first reply byte
    std::string ident = "QUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0";
};

// ---- Pure helpers, exposed so both the simulator and tests of the front end can rely on them ----

// Factory contents of RAM and EEPROM.
Block DefaultBlock();

// 0 unless SigWinLo < intensity < SigWinHi; bit 0 = inside teach row 1, bit 1 = inside row 2.
uint16_t ColourNumber(const Block &ram, uint16_t x, uint16_t y, uint16_t intensity);

// Chromaticity, intensity and colour number computed from raw channel values with integer arithmetic.
Measurement DeriveMeasurement(uint16_t red, uint16_t green, uint16_t blue, const Block &ram);

// Big-endian serialisation of 16-bit words.
std::vector<uint8_t> EncodeWords(std::span<const uint16_t> words);

// The 96-byte identification reply: 0x00 then one character, for 48 space-padded characters.
std::vector<uint8_t> IdentBytes(const std::string &text);

// A complete 54-byte request as the PC would send it.
std::vector<uint8_t> RequestFrame(uint16_t order, const Block &pp, uint16_t sync = kDefaultSync);
// The order code of a complete request.
uint16_t OrderOf(std::span<const uint8_t> frame);

// Noise-free raw RGB at full LED power for the drifting demo scene, `seconds` after start.
std::array<double, 3> SceneColour(double seconds);

// Baud rate and framing of the line as the pseudo-terminal holds them: whoever opened the device last set them
// (a front end on this machine, or a serial device server such as ser2net on the sensor's behalf). A Linux pty
// keeps the baud rate and stop bits it is given but forces 8 data bits and no parity, so only those two tell.
using LineSettings = pty::LineSettings;
// As serial tools write them: "19200 8N1".
std::string LineText(const LineSettings &line);

// Setters and queries may be called from any thread while the serving thread runs; start, stop,
// hangUpNow and reopen are meant to be called from one controlling thread. The sync word of a request is
// not checked, so a front end configured with a different sync word is still answered.
class SensorSim {
public:
    explicit SensorSim(Options o = {});
    ~SensorSim(); // stops and removes the link
    SensorSim(const SensorSim &) = delete;
    SensorSim &operator=(const SensorSim &) = delete;

    // Creates the pty (raw mode), replaces any comN link with one to it and starts serving; false on failure.
    bool start();
    void stop(); // also removes the link, unless another simulator has re-pointed it
    bool isRunning() const;
    bool hungUp() const;

    std::string devicePath() const; // the slave path; kept after a hang-up so callers can see what vanished
    std::string linkPath() const;   // empty when Options::com is 0

    // order 0 = every order that has a reply (3, 4, 5, 7), or both stores for DropStore; Fault::None clears.
    // One fault at a time.
    void setFault(Fault f, int order = 0);
    // While no fixed fault is set, each measurement reply gets a fault drawn at random with probability
    // `rate` (0 = never), the kind drawn evenly from the faults of a reply (NoReply to Late). Counts per kind since the
    // call.
    void setRandomFaults(double rate, unsigned seed);
    std::array<int, kFaultKinds> faultsDrawn() const;
    // After that many further replies, close the device (link left dangling); -1 = never. The last reply
    // is given up to a second to be read first, because closing the master discards unread bytes.
    void hangUpAfter(int replies);
    void hangUpNow();
    bool reopen(); // new pty after a hang-up, link re-pointed to it; RAM, EEPROM and frames are kept

    void setIdent(const std::string &text);
    void setRam(const Block &b);
    Block ram() const;
    void setEeprom(const Block &b);
    Block eeprom() const;
    void setFixedMeasurement(std::optional<Measurement> m); // order 5 replies exactly these words while set
    // From now on order 5 replies with the recording's measurements, one per request at the recorded pace
    // (see Replayer), unless a fixed measurement is set. RAM and EEPROM take the recording's block when it has
    // one; stores change them as usual. No recording returns to the drifting scene.
    void setReplay(std::optional<Recording> recording, ReplayEnd end = ReplayEnd::Loop);
    void setReplay(ReplayLog log, ReplayEnd end = ReplayEnd::Loop); // the same for a log read as it is replayed
    std::size_t replayAnswered() const;                             // measurements the replay has given
    bool replayFinished() const;                                    // a stopping replay has given its last line
    void setPacing(int baud);                                       // affects replies to requests completed later
    void setLatency(double seconds);

    // The most recent kFramesKept complete requests, any order code, oldest first. A simulator serving for
    // hours must not grow without bound, so older ones are dropped.
    static constexpr std::size_t kFramesKept = 1024;
    std::vector<std::vector<uint8_t>> frames() const;
    // The requests that came after the first *seen ones (framesSeen() numbering), as far as they are still kept;
    // *seen moves on to framesSeen(). Lets a reader follow every request without missing or repeating one.
    std::vector<std::vector<uint8_t>> framesSince(std::size_t *seen) const;
    void clearFrames();
    std::size_t framesSeen() const; // complete requests since start or clearFrames, kept or not
    bool waitForFrames(std::size_t count, double timeoutSeconds) const; // until framesSeen() >= count
    int repliesSent() const; // replies whose last byte was written, including faulty ones

    // The line settings as last seen (looked at every few milliseconds while serving, and at every request), and every
    // change since start: the settings the pty was created with first. Changes after the first *seen (numbered from 0
    // at start) are returned, as far as they are still kept, and *seen moves on.
    LineSettings lineSettings() const;
    std::vector<LineSettings> lineChangesSince(std::size_t *seen) const;

private:
    using Clock = std::chrono::steady_clock;

    bool openPtyLocked();
    void removeLinkLocked();
    void joinThread();
    // The serving thread: serve() runs its turns; writeDue writes the replies that are due (false once the hang-up
    // counter has run out, so nothing follows the last reply), hangUpWhenRead closes the device once the PC has read
    // the last reply before a hang-up (true then), takeRequest answers a whole request.
    struct Serving;
    void serve();
    bool writeDue(Serving &s, Clock::time_point now);
    bool hangUpWhenRead(Serving &s, Clock::time_point now, bool *draining);
    void takeRequest(Serving &s, Clock::time_point now);
    std::vector<uint8_t> respondLocked(const std::vector<uint8_t> &frame, Clock::time_point now, Fault &fault,
                                       Clock::time_point &notBefore);
    void watchLineLocked(Clock::time_point now);

    mutable std::mutex mu_;
    mutable std::condition_variable framesChanged_;
    Options opt_;
    std::string linkPath_;
    pty::Pair pty_; // the serving thread reads and writes it unlocked: only it or a joined thread's owner closes it
    std::thread thread_;
    std::atomic<bool> stopRequested_{false};
    bool hungUp_ = false;

    Block ram_;
    Block eeprom_;
    std::optional<Measurement> fixed_;
    Fault fault_ = Fault::None;
    int faultOrder_ = 0;
    double randomRate_ = 0;
    std::mt19937 faultRng_;
    std::array<int, kFaultKinds> faultsDrawn_{};
    int hangUpRemaining_ = -1;
    int replies_ = 0;
    std::deque<std::vector<uint8_t>> frames_;
    std::size_t framesSeen_ = 0;
    std::optional<Replayer> replay_;
    static constexpr std::size_t kLineChangesKept = 256;
    LineSettings line_;
    std::deque<LineSettings> lineChanges_;
    std::size_t lineChangesSeen_ = 0;
    Clock::time_point lineWatched_{};
    std::mt19937 rng_;
    const Clock::time_point epoch_;
};

} // namespace sim

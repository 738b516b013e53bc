// SPDX-License-Identifier: MIT
// The one record of every program variable, shared by all subsystems on the user-interface thread.
#pragma once

#include <cstdint>
#include <span>

class LineLog;

// Values of `target`: where ButtonSend writes to and ButtonGet reads from.
inline constexpr uint16_t RAM = 1;
inline constexpr uint16_t EEPROM = 2;
inline constexpr uint16_t DATFILE = 3;

inline constexpr int kParaWords = 25;              // capacity of pp; anzpara says how many are in use
inline constexpr int kDataWords = 7;               // capacity of databuf; anzdata says how many are in use
inline constexpr int kBufSize = 1024;              // szWriteBuf, szReadBuf and the port queues
inline constexpr int kFullScale = 4095;            // 12-bit channels, plane coordinates and INT run 0..4095
inline constexpr int kRampPoints = kFullScale + 1; // one diagonal point per plane coordinate
inline constexpr int kSampleValues = 7;            // signals kept per sample of the history
inline constexpr int kHistorySamples = 100;
inline constexpr int kHistory = kHistorySamples * kSampleValues;
inline constexpr int kTeachRows = 2;
inline constexpr int kTeachColumns = 5;
// The teach table as functions take it: the rows of ctt, each X, Y, CTO, INT and INT tolerance.
using TeachRows = std::span<uint16_t[kTeachColumns], kTeachRows>;
using ConstTeachRows = std::span<const uint16_t[kTeachColumns], kTeachRows>;
// The parameter block and a measurement as functions take them, whole.
using ParaBlock = std::span<const uint16_t, kParaWords>;
using DataBlock = std::span<const uint16_t, kDataWords>;
// A path (a chosen file's, the program's directory): as long as the system takes one (PATH_MAX on Linux, with its
// NUL), as the platform's buffers for paths are. A shorter one would drop a path a user can make in any deep
// folder.
inline constexpr int kFileNameChars = 4096;
inline constexpr int kUndoSteps = 20; // teach-table changes that Ctrl+Z can take back

struct ScopeState {
    // Link and protocol
    uint16_t com = 0;
    int16_t ret = 0;
    uint16_t sync = 0;
    uint16_t order = 0;
    uint16_t anzpara = 0;
    uint16_t anzdata = 0;
    uint16_t nBytesW = 0;
    uint16_t nBytesR = 0;
    uint16_t poll = 0;
    uint16_t target = 0;
    uint16_t pp[kParaWords] = {};
    uint16_t databuf[kDataWords] = {};
    unsigned char szWriteBuf[kBufSize] = {};
    unsigned char szReadBuf[kBufSize] = {};
    char szStatus[48] = {};

    // Timing, in seconds of Timer()
    double transbeg = 0;
    double waitdel = 0;
    double tdiff = 0;
    double tstart = 0;

    // Last measurement
    uint16_t dataR = 0, dataG = 0, dataB = 0;
    uint16_t dataX = 0, dataY = 0;
    uint16_t dataINT = 0;
    uint16_t dataCOL = 0;

    // Sensor parameters, mirrors of pp words 0-5 and 15-24
    uint16_t sigwinhi = 0;
    uint16_t sigwinlo = 0;
    uint16_t power = 0;
    uint16_t average = 0;
    uint16_t outmode = 0;
    uint16_t hold = 0;
    uint16_t ctt[kTeachRows][kTeachColumns] = {};

    // Display
    uint16_t source = 0;
    uint16_t xramp[kRampPoints] = {};
    uint16_t yramp[kRampPoints] = {};
    double alldata[kHistory] = {};

    // The teach table before each of the last changes that can be undone, oldest first, and what made them.
    uint16_t undoTable[kUndoSteps][kTeachRows][kTeachColumns] = {};
    const char *undoWhat[kUndoSteps] = {};
    int undoCount = 0;

    // Program
    int32_t panel = 0;
    int32_t textIDsoft = 0;
    char proj_dir[kFileNameChars] = {};
    char file_name[kFileNameChars] = {};

    // Polling loop bookkeeping (not part of the protocol): a loop is running; good passes since start.
    bool polling = false;
    unsigned long goodPasses = 0;
    // What the last port set-up showed in DispStatus (a recording's header names the sensor with it).
    char standingStatus[64] = {};
    // --record FILE.csv: every good polling pass becomes a line there; the header waits for the first pass
    // when the file was new, so it can name the sensor that answered.
    LineLog *record = nullptr;
    bool recordHeaderDue = false;
    const char *recordPath = nullptr; // the file named, for the message line
};

// The program's state; lives from process start to exit.
extern ScopeState st;

// Back to the zero-filled state of process start (for tests that run the program twice).
void ResetScopeState();

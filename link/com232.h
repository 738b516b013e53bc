// SPDX-License-Identifier: MIT
// The sensor link's wire format: order codes, line settings, request frames and replies, block copies.
#pragma once

#include "core/paramblock.h"

#include <cstdint>
#include <string>

// Order codes of request frames.
enum : uint16_t {
    kOrderWriteRam = 1,
    kOrderWriteEeprom = 2,
    kOrderReadRam = 3,
    kOrderReadEeprom = 4,
    kOrderReadData = 5,
    kOrderIdent = 7,
};

// The sensor's two memories for the parameter block, and their names in messages ("RAM", "EEPROM").
enum class Memory { Ram, Eeprom };
const char *MemoryName(Memory memory);
// The memory an order code writes or reads; RAM for those that touch neither.
Memory MemoryOf(uint16_t order);

// Line settings: 19200 baud, 8 data bits, no parity, 1 stop bit.
inline constexpr long kBaud = 19200;
inline constexpr int kDataBits = 8;
inline constexpr int kStopBits = 1;

inline constexpr uint16_t kSync = 85; // first word of every request frame

// Every word travels as two bytes, big-endian; a request frame leads with its sync word and order code.
inline constexpr int kWordBytes = 2;
inline constexpr int kFrameHeadBytes = 2 * kWordBytes;
// Bytes of a request frame carrying `words` parameter words, and of a reply of `words` words.
constexpr int FrameBytes(int words)
{
    return kFrameHeadBytes + kWordBytes * words;
}
constexpr int ReplyBytes(int words)
{
    return kWordBytes * words;
}

inline constexpr int kIdentReplyBytes = 96; // 48 characters at the odd bytes
inline constexpr int kIdentChars = 48;
inline constexpr double kReplyTimeout = 2.0; // seconds from the request to the complete reply

// Guard intervals: how long the sensor needs after a transfer before the next one may start.
inline constexpr double kGuardStart = 0.1;
inline constexpr double kGuardRam = 0.2;    // after writing RAM, and after reading either memory
inline constexpr double kGuardEeprom = 0.3; // after writing EEPROM

// Frames: all work on the state record in place. A frame is 4 + 2 * anzpara bytes of szWriteBuf:
// sync word, order code, then pp, every word big-endian.
void FillTxBuf(uint8_t order);
void GetRxBufPara(); // first 2 * anzpara bytes of szReadBuf -> pp
void GetRxBufData(); // first 2 * anzdata bytes of szReadBuf -> databuf

// The same on buffers a caller owns, for a program that serves several lines at once and so cannot share the
// state record's: a frame of 4 + 2 * words bytes into `frame`, and `words` words decoded from `reply`.
void FillTxBufTo(unsigned char *frame, uint16_t sync, uint8_t order, const uint16_t *pp, int words);
void GetRxBufWords(const unsigned char *reply, uint16_t *words, int count);
void GetRxBufIdentFrom(const unsigned char *reply, char text[kIdentChars + 1]);
// Reads up to `queued` bytes waiting on COM `port` into `buffer` of kBufSize bytes, never more than it holds;
// returns the count read (0 after a serial error).
int ReadReplyTo(int port, int queued, unsigned char *buffer);
// The identification text: the characters at the odd bytes of the first kIdentReplyBytes of szReadBuf,
// ended by a NUL.
void GetRxBufIdent(char text[kIdentChars + 1]);
void CopyDatatoVars(); // databuf -> dataR ... dataCOL

// Whether the words of a measurement reply (R, G, B, X, Y, INT, colour number) can be one: X, Y and INT run from
// 0 to kFullScale, and X + Y cannot exceed it, both being shares of the same R + G + B. A reply of the right length
// whose words fail this is not a measurement.
bool MeasurementInRange(const uint16_t *data);
// What puts such words out of range, for a log: "reply out of range (X 65535, Y 65535, INT 65535; …): not a
// measurement".
std::string OutOfRangeText(const uint16_t *data);

// The protocol's sizes and sync word into the state: anzpara, anzdata, sync.
void SetProtocolDefaults();

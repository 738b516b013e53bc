// SPDX-License-Identifier: MIT
// Request frames and replies of the sensor link, and the copies between the parameter block and the variables.
#include "link/com232.h"

#include "core/ScopeState.h"
#include "io/rs232.h"

#include <algorithm>
#include <string>

namespace {

void PutWord(unsigned char *at, uint16_t v)
{
    at[0] = static_cast<unsigned char>(v >> 8);
    at[1] = static_cast<unsigned char>(v & 0xFF);
}

uint16_t TakeWord(const unsigned char *at)
{
    return static_cast<uint16_t>(at[0] * 256 + at[1]);
}

} // namespace

void FillTxBufTo(unsigned char *frame, uint16_t sync, uint8_t order, const uint16_t *pp, int words)
{
    PutWord(frame, sync);
    PutWord(frame + kWordBytes, order);
    for (int i = 0; i < words; ++i)
        PutWord(frame + FrameBytes(i), pp[i]);
}

void GetRxBufWords(const unsigned char *reply, uint16_t *words, int count)
{
    for (int i = 0; i < count; ++i)
        words[i] = TakeWord(reply + ReplyBytes(i));
}

void FillTxBuf(uint8_t order)
{
    FillTxBufTo(st.szWriteBuf, st.sync, order, st.pp, st.anzpara <= kParaWords ? st.anzpara : kParaWords);
}

void GetRxBufPara()
{
    GetRxBufWords(st.szReadBuf, st.pp, st.anzpara <= kParaWords ? st.anzpara : kParaWords);
}

void GetRxBufData()
{
    GetRxBufWords(st.szReadBuf, st.databuf, st.anzdata <= kDataWords ? st.anzdata : kDataWords);
}

int ReadReplyTo(int port, int queued, unsigned char *buffer)
{
    // The queue never reports more than the buffer holds; the clamp keeps that true whatever the layer says.
    const int want = std::clamp(queued, 0, kBufSize);
    const int got = want > 0 ? ComRd(port, buffer, want) : 0;
    return std::clamp(got, 0, want);
}

const char *MemoryName(Memory memory)
{
    return memory == Memory::Ram ? "RAM" : "EEPROM";
}

Memory MemoryOf(uint16_t order)
{
    return order == kOrderWriteEeprom || order == kOrderReadEeprom ? Memory::Eeprom : Memory::Ram;
}

void GetRxBufIdentFrom(const unsigned char *reply, char text[kIdentChars + 1])
{
    for (int i = 0; i < kIdentChars; ++i)
        text[i] = static_cast<char>(reply[2 * i + 1]);
    text[kIdentChars] = '\0';
}

void GetRxBufIdent(char text[kIdentChars + 1])
{
    GetRxBufIdentFrom(st.szReadBuf, text);
}

void SetProtocolDefaults()
{
    st.anzpara = kParaWords;
    st.anzdata = kDataWords;
    st.sync = kSync;
}

void CopyDatatoVars()
{
    st.dataR = st.databuf[0];
    st.dataG = st.databuf[1];
    st.dataB = st.databuf[2];
    st.dataX = st.databuf[3];
    st.dataY = st.databuf[4];
    st.dataINT = st.databuf[5];
    st.dataCOL = st.databuf[6];
}

namespace {

enum : int { kWordX = 3, kWordY = 4, kWordInt = 5 };

} // namespace

bool MeasurementInRange(const uint16_t *data)
{
    return data[kWordX] <= kFullScale && data[kWordY] <= kFullScale && data[kWordInt] <= kFullScale &&
           data[kWordX] + data[kWordY] <= kFullScale;
}

std::string OutOfRangeText(const uint16_t *data)
{
    return "reply out of range (X " + std::to_string(data[kWordX]) + ", Y " + std::to_string(data[kWordY]) + ", INT " +
           std::to_string(data[kWordInt]) + "; X, Y and INT run to " + std::to_string(kFullScale) +
           " and X + Y cannot exceed it): not a measurement";
}

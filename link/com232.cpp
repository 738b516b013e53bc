// SPDX-License-Identifier: MIT
// Request frames and replies of the sensor link, and the copies between the parameter block and the variables.
#include "link/com232.h"

#include "core/ScopeState.h"
#include "ui/rs232.h"

#include <algorithm>

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

void FillTxBuf(uint8_t order)
{
    PutWord(st.szWriteBuf, st.sync);
    PutWord(st.szWriteBuf + 2, order);
    const int words = st.anzpara <= kParaWords ? st.anzpara : kParaWords;
    for (int i = 0; i < words; ++i)
        PutWord(st.szWriteBuf + 4 + 2 * i, st.pp[i]);
}

void GetRxBufPara()
{
    const int words = st.anzpara <= kParaWords ? st.anzpara : kParaWords;
    for (int i = 0; i < words; ++i)
        st.pp[i] = TakeWord(st.szReadBuf + 2 * i);
}

void GetRxBufData()
{
    const int words = st.anzdata <= kDataWords ? st.anzdata : kDataWords;
    for (int i = 0; i < words; ++i)
        st.databuf[i] = TakeWord(st.szReadBuf + 2 * i);
}

int ReadReplyTo(int port, int queued, unsigned char *buffer)
{
    // The queue never reports more than the buffer holds; the clamp keeps that true whatever the layer says.
    const int want = std::clamp(queued, 0, kBufSize);
    const int got = want > 0 ? ComRd(port, buffer, want) : 0;
    return std::clamp(got, 0, want);
}

void ReadReply(int port, int queued)
{
    st.nBytesR = static_cast<uint16_t>(ReadReplyTo(port, queued, st.szReadBuf));
}

void GetRxBufIdent(char text[kIdentChars + 1])
{
    for (int i = 0; i < kIdentChars; ++i)
        text[i] = static_cast<char>(st.szReadBuf[2 * i + 1]);
    text[kIdentChars] = '\0';
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

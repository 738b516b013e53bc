// SPDX-License-Identifier: MIT
// Fuzz target: arbitrary bytes waiting on a real pseudo-terminal, read as the sensor's reply and decoded as each
// of the three replies. Nothing may be read beyond szReadBuf and nothing may be undefined.
#include "core/ScopeState.h"
#include "core/paramblock.h"
#include "io/portdir.h"
#include "link/com232.h"
#include "panel/reply.h"
#include "io/rs232.h"
#include "io/utility.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

constexpr int kCom = 1;
constexpr size_t kMaxInput = 4000; // below the pseudo-terminal's own buffer, so a write never blocks
int master = -1;

void OpenLine()
{
    char dir[] = "/tmp/quillex-fuzz-XXXXXX";
    setenv("XDG_RUNTIME_DIR", mkdtemp(dir), 1);
    master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    const std::string slave = ptsname(master);
    const int s = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(s, &t);
    cfmakeraw(&t);
    tcsetattr(s, TCSANOW, &t);
    ::close(s);
    std::filesystem::create_directories(portdir::Directory());
    std::filesystem::create_symlink(slave, portdir::LinkPath(kCom));
    SetComPortDirectory(portdir::Directory().c_str());
    if (OpenComConfig(kCom, "", kBaud, kParityNone, kDataBits, kStopBits, kBufSize, kBufSize) != 0) {
        std::fprintf(stderr, "fuzz_replies: cannot open the pseudo-terminal\n");
        std::abort();
    }
}

// Waits until everything written has reached the port's queue (or its size is reached).
int QueuedAfterWriting(const uint8_t *data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(master, data + done, size - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    const int expected = static_cast<int>(std::min<size_t>(done, kBufSize));
    const double deadline = Timer() + 1.0;
    int queued = GetInQLen(kCom);
    while (queued < expected && Timer() < deadline)
        queued = GetInQLenWait(kCom, expected, std::min(deadline, Timer() + 0.05));
    return queued;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (master < 0) {
        ResetScopeState();
        st.com = kCom;
        st.anzpara = kParaWords;
        st.anzdata = kDataWords;
        OpenLine();
    }
    if (size > kMaxInput)
        return -1;
    FlushInQ(kCom);
    const int queued = QueuedAfterWriting(data, size);
    st.nBytesR = static_cast<uint16_t>(ReadReplyTo(kCom, queued, st.szReadBuf));
    if (st.nBytesR > kBufSize)
        std::abort();
    // Each decoder reads a fixed stretch of szReadBuf, whatever arrived.
    GetRxBufPara();
    CopyPPtoVars();
    GetRxBufData();
    CopyDatatoVars();
    char ident[kIdentChars + 1];
    GetRxBufIdent(ident);
    if (ident[kIdentChars] != '\0')
        std::abort();
    FlushInQ(kCom);
    return 0;
}

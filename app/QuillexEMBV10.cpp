// SPDX-License-Identifier: MIT
// Start-up, event loop and shutdown of the program.
#include "app/QuillexEMBV10.h"

#include "app/callbacks.h"
#include "core/ScopeState.h"
#include "core/controls.h"
#include "core/product.h"
#include "io/portdir.h"
#include "branding/logo.h"
#include "display/display.h"
#include "link/com232.h"
#include "panel/port.h"
#include "panel/reply.h"
#include "panel/transactions.h"
#include "teach/teach.h"
#include "io/fileio.h"
#include "io/rs232.h"
#include "ui/userint.h"
#include "io/utility.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace {

// Installed, the program is started through the launcher under this name.
constexpr const char *kCommandName = "quillex-scope";

// The program's own options; every other argument belongs to the toolkit. One that takes a value takes the next
// argument whatever it is ("--help" included), or what follows its '='.
enum class Option { Help, Version, Record, Device };
struct OptionName {
    const char *name;
    const char *shortName; // nullptr: none
    bool takesValue;
    Option option;
};
constexpr OptionName kOptions[] = {
    {"--help", "-h", false, Option::Help},
    {"--version", nullptr, false, Option::Version},
    {"--record", nullptr, true, Option::Record},
    {"--device", nullptr, true, Option::Device},
};

// What the command line asks of the program. A value is "" when its option came without one.
struct StartOptions {
    std::optional<Option> info;        // --help or --version, whichever came first
    std::optional<std::string> record; // the last --record's file
    std::optional<std::string> device; // the last --device's, or "" when any came without one
};

StartOptions ReadStartOptions(void *hInstance)
{
    StartOptions o;
    const auto *args = static_cast<const RunTimeArgs *>(hInstance);
    for (int i = 1; args && i < args->argc; ++i) {
        const char *arg = args->argv[i];
        for (const OptionName &row : kOptions) {
            const std::size_t n = std::strlen(row.name);
            std::string value;
            if (std::strcmp(arg, row.name) == 0 || (row.shortName && std::strcmp(arg, row.shortName) == 0)) {
                if (row.takesValue && i + 1 < args->argc)
                    value = args->argv[++i];
            } else if (row.takesValue && std::strncmp(arg, row.name, n) == 0 && arg[n] == '=') {
                value = arg + n + 1;
            } else {
                continue;
            }
            switch (row.option) {
            case Option::Help:
            case Option::Version:
                if (!o.info)
                    o.info = row.option;
                break;
            case Option::Record: o.record = value; break;
            case Option::Device:
                if (!o.device || !o.device->empty())
                    o.device = value;
                break;
            }
            break;
        }
    }
    return o;
}

// --help and --version answer on standard output and start nothing. Returns true when one was given.
bool AnsweredInfoOption(const StartOptions &o)
{
    if (o.info == Option::Help) {
        std::printf("Usage: %s [--record FILE.csv] [--device DEVICE] [Qt options]\n\n"
                    "Opens the %s window for a Quillex EMB colour sensor on a serial port\n"
                    "(19200 baud, 8N1), connects to COM 1 and reads the sensor's parameters.\n\n"
                    "  --record FILE.csv  append one CSV line per polling pass to FILE.csv (header when new)\n"
                    "  --device DEVICE    make COM 1 the device path or network address DEVICE\n"
                    "                     (rfc2217://HOST:PORT or tcp://HOST:PORT for a serial device server)\n"
                    "  -h, --help         this text\n"
                    "  --version          the program's version\n\n"
                    "Exit status: 0 when the window is closed, 1 for an option without its value, 5 when\n"
                    "FILE.csv cannot be written (a box says why), 255 when the panel file is missing.\n\n"
                    "Qt's own options (-platform, -display, ...) are passed on to Qt.\n"
                    "See quillex-scope(1); quillex-scope-cli(1) talks to the sensor without a window.\n",
                    kCommandName, kProductTitle);
        return true;
    }
    if (o.info == Option::Version) {
        std::printf("%s (%s)\n", kCommandName, kProductTitle);
        return true;
    }
    return false;
}

// The path --record names, for the message line; it lives as long as the recording.
std::string recordPath;

// "--record FILE.csv" or "--record=FILE.csv" among the arguments; other arguments belong to the toolkit.
// Returns 0, or the exit code: kExitUsage for a --record without a file (said on stderr), kExitRecordFile for a file
// that cannot be opened (a folder, a missing folder, no permission). A recording asked for and not made would be
// lost without a word, so the program does not start without it; a box says why, for a start from a menu too.
int OpenRecording(void *hInstance, const StartOptions &o, LineLog *recorder)
{
    if (!o.record)
        return 0;
    const std::string &path = *o.record;
    if (path.empty()) {
        std::fprintf(stderr, "%s: --record needs a file name (--record FILE.csv)\n", kPanelProgram);
        return kExitUsage;
    }
    bool isNew = false;
    std::string why;
    if (!recorder->Open(path, &isNew, &why)) {
        const std::string text = "Cannot record to " + path + ": " + why +
                                 "\nThe program ends. Start it with a file it may write, or without --record.";
        std::fprintf(stderr, "%s: cannot record to %s: %s\n", kPanelProgram, path.c_str(), why.c_str());
        if (InitUIRunTime(hInstance) != 0)
            MessagePopup("INFO", text.c_str());
        return kExitRecordFile;
    }
    // The panel's pass costs far more than a write: every line goes out as it is made.
    recorder->SetMaxAge(0);
    st.record = recorder;
    st.recordHeaderDue = isNew;
    recordPath = path;
    st.recordPath = recordPath.c_str();
    return 0;
}

// The COM number start-up opens.
constexpr int kStartCom = 1;

// "--device DEVICE" or "--device=DEVICE" among the arguments binds COM 1, where the program starts, to a device
// path or a network address (rfc2217://HOST:PORT, tcp://HOST:PORT); the other numbers keep their devices.
// Returns false (with a message on stderr) for a --device without a value.
bool BindStartDevice(const StartOptions &o)
{
    BindComDevice(kStartCom, nullptr); // a run before this one in the same process may have bound it
    if (!o.device)
        return true;
    if (o.device->empty()) {
        std::fprintf(stderr, "%s: --device needs a device or an address (--device rfc2217://HOST:PORT)\n",
                     kPanelProgram);
        return false;
    }
    BindComDevice(kStartCom, o.device->c_str());
    return true;
}

} // namespace

int WinMain(void *hInstance, void *hPrevInstance, char *lpszCmdLine, int nCmdShow)
{
    (void)hPrevInstance, (void)lpszCmdLine, (void)nCmdShow;
    const StartOptions options = ReadStartOptions(hInstance);
    if (AnsweredInfoOption(options))
        return 0;
    LineLog recorder;
    if (const int refused = OpenRecording(hInstance, options, &recorder))
        return refused;
    if (!BindStartDevice(options))
        return kExitUsage;
    if (InitUIRunTime(hInstance) == 0)
        return -1;
    int count = 0;
    const CallbackEntry *table = ScopeCallbackTable(&count);
    SetCallbackTable(table, count);
    SetControlNames(kCtrlNames, kCtrlClasses, kCtrlCount);
    SetComPortDirectory(portdir::Directory().c_str());
    if ((st.panel = LoadPanel(0, kPanelFile, kPanelNumber)) < 0)
        return -1;
    // A stop signal (the session's end, Ctrl+C, kill) ends the program as closing its window does: the port is
    // closed and its lock released.
    CloseOnStopSignals(st.panel);
    if (GetProjectDir(st.proj_dir) < 0)
        std::fprintf(stderr,
                     "%s: the program's directory has a path longer than the %d bytes the system takes; file "
                     "dialogs open in the documents folder\n",
                     kPanelProgram, kFileNameChars - 1);
    InitVars();
    InitRS232(st.com);
    // The connection's outcome stays in DispStatus; what runs in the background for the whole session is news.
    if (st.record)
        SayDone("Recording to " + recordPath + ": one line per polling pass");
    DisplayPanel(st.panel);
    RunUserInterface();
    CloseOnStopSignals(-1);
    CloseCom(st.com);
    DiscardPanel(st.panel);
    st.record = nullptr;
    st.recordPath = nullptr;
    return 0;
}

void InitVars()
{
    SetProtocolDefaults(); // anzpara, anzdata, sync
    st.com = 1;
    st.order = 1;
    st.target = RAM;
    st.poll = 0;
    st.transbeg = Timer();
    st.waitdel = kGuardStart;
    for (int i = 0; i < kRampPoints; ++i) {
        st.xramp[i] = static_cast<uint16_t>(i);
        st.yramp[i] = static_cast<uint16_t>(kFullScale - i);
    }
    SetCtrlVal(st.panel, DispStatus, "InitVars");
    SetCtrlAttribute(st.panel, GraphData2, ATTR_ZPLANE_POSITION, kZBehind);
    DispVis();
    ShowLogo(10);
    GetPanelValues();
}

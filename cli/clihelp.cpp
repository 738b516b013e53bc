// SPDX-License-Identifier: MIT
// The help texts of quillex-scope-cli, the whole program's and each subcommand's, and the numbers in its texts.
#include "cli/cliargs.h"

#include "core/ScopeState.h"
#include "io/formatio.h"
#include "link/com232.h"

#include <cstdio>

namespace cli {

std::string Fixed(double value, int decimals)
{
    constexpr std::size_t kNumberChars = 32; // far more than any time or limit in a text needs
    char text[kNumberChars];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string HelpText(Command command)
{
    const std::string common =
        "Port options (every subcommand that talks to the sensor):\n"
        "  --com N            COM number N (1-" +
        std::to_string(kMaxCom) +
        "; default 1), found as the panel finds it; a list of\n"
        "                     numbers and ranges (--com 1,2,5-8, or --com more than once) for several\n"
        "  --device PATH      the serial device PATH, or a sensor behind a serial device server:\n"
        "                     rfc2217://HOST:PORT (RFC 2217: the server sets the line to " +
        std::to_string(kBaud) +
        " 8N1) or\n"
        "                     tcp://HOST:PORT (raw TCP: the server's own line settings); more than once\n"
        "                     for several sensors (not mixed with --com)\n"
        "  --line FILE        the sensors a line file lists instead: [[sensor]] tables with name,\n"
        "                     port (comN, a device path, rfc2217:// or tcp://) and optionally the\n"
        "                     ident it must answer with; output names each sensor by its name, and\n"
        "                     one that answers with another identification is refused (exit 3)\n"
        "  --timeout SECONDS  longest wait for a reply (default " +
        Fixed(kDefaultTimeout, 1) + ")\n";
    const std::string exits = "Exit codes: 0 success, 1 usage, 2 port cannot be opened, 3 time-out (no or\n"
                              "wrong-length reply, or one that was not the sensor's alone), 4 verification\n"
                              "mismatch, 5 bad or unwritable file (standard output included). With several sensors,\n"
                              "the highest of theirs.\n";
    const std::string alone = "A reply counts only when the line stays quiet after it: bytes that keep coming mean\n"
                              "other traffic on the line (another client on a device server's port), and the reply\n"
                              "is refused. The identification and a block are read twice and taken only when both\n"
                              "reads agree; an identification must be printable text.\n";
    const std::string several = "With several ports each sensor is served by a thread of its own, then one line\n"
                                "per sensor (port, identification, result; tab-separated, in the order given)\n"
                                "and a summary naming the sensors that failed.\n";
    switch (command) {
    case Command::Ports:
        return "Usage: quillex-scope-cli ports [--probe]\n\n"
               "Lists every COM number that finds a device: links comN in the per-user port directory first,\n"
               "then the system's serial ports with description, manufacturer and serial number. No port is\n"
               "opened, so no line is disturbed; what can be told without opening is said: no permission (and\n"
               "whether joining the group helps), in use by which program (from its open files or its lock\n"
               "file), not a terminal. A link to a network address is listed as one without connecting (a\n"
               "device server may give its port to the newest client).\n\n"
               "  --probe            open each local port as ident would, to say why one does not open;\n"
               "                     this touches the line (an open and close pulse DTR and RTS on RS-232)\n";
    case Command::Ident:
        return "Usage: quillex-scope-cli ident [--com N[,N|,A-B...] | --device PATH... | --line FILE] [--timeout S]\n\n"
               "Prints the sensor's identification text.\n\n" +
               alone + "\n" + several + "\n" + common + "\n" + exits;
    case Command::Get:
        return "Usage: quillex-scope-cli get ram|eeprom [FILE.dat|-] [--com N[,N|,A-B...] | --device PATH...\n"
               "                            | --line FILE] [--timeout S]\n\n"
               "Reads the " +
               std::to_string(kParaWords) +
               "-word parameter block from the sensor's RAM or EEPROM and writes it in the panel's\n"
               "parameter-file format, one word per line: to FILE.dat, or to standard output without FILE.dat\n"
               "or with -. FILE.dat is replaced only once the new one is wholly on the disk; on any failure an\n"
               "earlier file stays as it was. A path that is not a regular file (a folder, FIFO, device node\n"
               "or socket) is refused.\n\n"
               "In FILE, %p stands for the port: com11 for COM 11, dev_ttyUSB0 for /dev/ttyUSB0,\n"
               "rfc2217_cabinet4_4001 for rfc2217://cabinet4:4001, a line file's sensor by its name.\n"
               "With several ports FILE must hold %p\n"
               "(get eeprom backup-%p.dat --com 11,12), so each sensor's block has a file of its own.\n\n" +
               alone + "\n" + several + "\n" + common + "\n" + exits;
    case Command::Send:
        return "Usage: quillex-scope-cli send ram|eeprom FILE.dat|- [--no-verify]\n"
               "                             [--com N[,N|,A-B...] | --device PATH... | --line FILE]\n"
               "                             [--timeout S]\n\n"
               "Loads FILE.dat (standard input with -; a pipe is read to its end first) with the panel's rules\n"
               "(exactly " +
               std::to_string(kParaWords) +
               " whole numbers 0-65535, one per line; a bad file sends nothing and names the line),\n"
               "writes it to RAM or EEPROM, waits out the sensor's guard interval, reads the same memory back\n"
               "and compares word by word. A difference names the words and exits 4. A FIFO named by its path\n"
               "must start within " +
               Fixed(kStreamSilence, 0) +
               " seconds.\n\n"
               "  --no-verify        skip the read-back\n\n" +
               several + "\n" + common + "\n" + exits;
    case Command::Watch:
        return "Usage: quillex-scope-cli watch [--seconds S] [--count N] [--csv FILE [--rotate daily|SIZE]]\n"
               "                              [--on-silent CMD] [--on-back CMD] [--mqtt URL]\n"
               "                              [--com N[,N|,A-B...] | --device PATH... | --line FILE]\n"
               "                              [--timeout S]\n\n"
               "Polls live measurements and writes one CSV line per measurement:\n"
               "  time,R,G,B,X,Y,INT,COL   (local time, ISO 8601 with milliseconds and UTC offset)\n"
               "Comment lines (#) first record the program version, the port, the identification and the RAM\n"
               "parameter block read at start; a missing reply leaves a comment line saying why and polling\n"
               "carries on, at most one request per time-out while the sensor is silent. A reply whose X, Y or\n"
               "INT is beyond " +
               std::to_string(kFullScale) + ", or X + Y beyond " + std::to_string(kFullScale) +
               ", is no measurement: a comment line counts it. A line\n"
               "that hangs up (or a network connection that drops) is opened again at most once per time-out,\n"
               "where the watch began (the same link or device, never another), and measuring goes on once the\n"
               "sensor there has identified itself; another sensor gets a header of its own in the log. Ctrl+C,\n"
               "or a reader that closes the pipe (watch | head), stops cleanly. On a terminal, stderr shows\n"
               "passes, rate and time-outs.\n\n"
               "Over several ports every sensor is polled by a thread of its own, at its own pace, into one\n"
               "CSV with the port in a column of its own:\n"
               "  time,port,R,G,B,X,Y,INT,COL   (port: \"COM 11\", or the device as given)\n"
               "Each session starts with a header naming every port; a sensor that cannot be opened or does\n"
               "not answer at the start is tried again once per time-out. The simulated sensor replays one\n"
               "sensor of such a log (see quillex-sensor-sim(1)).\n\n"
               "  --seconds S        stop after S seconds\n"
               "  --count N          stop after N requests to each sensor (a missing reply counts too)\n"
               "  --csv FILE         append to FILE (one sensor: header when new) instead of standard output;\n"
               "                     written out in whole lines at least every half second, so a crash loses\n"
               "                     at most that; a failed write cuts the file back to its last whole line\n"
               "  --rotate daily|SIZE  with --csv: at local midnight (daily), or before FILE would grow past\n"
               "                     SIZE (bytes, or with k, M, G: 10M), FILE is renamed FILE-DATE (never over\n"
               "                     another file) and a new FILE begins with the header; no line is lost\n"
               "  --on-silent CMD    run CMD with sh -c when a sensor has had no good pass for the time-out,\n"
               "  --on-back CMD      and when it answers again: once per change, never once per pass, with\n"
               "                     QUILLEX_SENSOR, QUILLEX_PORT, QUILLEX_STATE (silent, online) and\n"
               "                     QUILLEX_SINCE (when that began) in its environment; its output goes to\n"
               "                     stderr, and the watch does not wait for it\n"
               "  --mqtt mqtt://HOST[:PORT]/PREFIX\n"
               "                     publish each measurement as JSON (time, R, G, B, X, Y, INT, COL) to\n"
               "                     PREFIX/NAME/measurement and each sensor's state retained to\n"
               "                     PREFIX/NAME/state: online, silent, and offline when the watch ends or\n"
               "                     dies (the connection's last will); a broker that is down or goes away\n"
               "                     is tried again without holding up the polling, and measurements it\n"
               "                     cannot take are dropped beyond a bounded queue and counted\n\n"
               "Over a line file (--line) the watch keeps going as a service: a sensor missing at the start is\n"
               "tried again once per time-out, one that answers with another identification than the line file\n"
               "names is reported and not logged under that name. On a terminal, stderr shows one status line\n"
               "per sensor (rate, misses, last good pass); at the end a line per sensor sums it up.\n\n" +
               common + "\n" + exits +
               "watch exits 3 when any reply was missing or out of range, or when it was stopped before its\n"
               "first measurement, after writing every good line.\n";
    default:
        return "Usage: quillex-scope-cli SUBCOMMAND [OPTIONS]\n\n"
               "Talks to Quillex EMB colour sensors on serial ports or behind serial device servers, one or\n"
               "several at once, without the panel.\n\n"
               "Subcommands:\n"
               "  ports                         list the COM numbers and their devices\n"
               "  ident                         print the sensor's identification\n"
               "  get ram|eeprom [FILE.dat|-]   read the parameter block\n"
               "  send ram|eeprom FILE.dat|-    write the parameter block and verify it\n"
               "  watch                         log live measurements as CSV\n"
               "  help SUBCOMMAND               details of one subcommand (or SUBCOMMAND --help)\n\n" +
               common + "  --help             this text\n  --version          the program's version\n\n" + exits;
    }
}

} // namespace cli

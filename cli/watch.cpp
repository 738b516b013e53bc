// SPDX-License-Identifier: MIT
// Polls each sensor on a thread of its own and writes what they measure into one log from the calling thread.
#include "cli/watch.h"

#include "cli/console.h"
#include "cli/linefile.h"
#include "cli/lineservices.h"
#include "cli/sensorlink.h"
#include "core/csvrecord.h"
#include "core/product.h"
#include "io/console.h"
#include "io/fileio.h"
#include "io/rotatelog.h"
#include "io/rs232.h"
#include "io/utility.h"
#include "link/com232.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace cli {

namespace {

constexpr double kProgressEvery = 1.0; // seconds between progress lines on a terminal
constexpr double kLookEvery = 0.1;     // seconds between looks at whether a sensor has fallen silent

std::string Now()
{
    return csvrec::Timestamp(std::chrono::system_clock::now());
}

// What one sensor's thread found and did. The thread writes it; the calling thread reads the start fields after
// the gate has seen the start, the counters at any time, the header fields under `mu` at any time (a new file of
// a rotated log begins with them), and the rest after the thread has ended.
struct Sensor {
    PortSpec port;
    std::size_t index = 0;
    std::string name; // the CSV's port column
    int startCode = kExitOk;
    std::string startWhy; // with startCode: why the start failed, without the label
    std::mutex mu;
    bool started = false;
    std::string label;
    std::string ident;
    uint16_t ram[kParaWords] = {};
    std::atomic<long> passes{0}, good{0}, timeouts{0}, outOfRange{0};
    int code = kExitOk;
    std::string changed; // after the run: what another sensor found on the port after a reopen was ("" none)
};

// The sensor's lines in a header: its port, identification and block, or why it has not started yet.
std::string HeaderOf(Sensor &s)
{
    const std::lock_guard lock(s.mu);
    return s.started ? csvrec::PortHeader(s.label, s.ident, s.ram)
                     : "# " + s.label + ": " + s.startWhy + "; tried again once per time-out\n";
}

// The lines' threads hand their text to the one thread that writes the log, each in the order it made it; the
// writer waits on it for text, for the end of a thread, or for its own next duty.
class Mailbox {
public:
    void Post(std::string text)
    {
        {
            const std::lock_guard lock(mu_);
            texts_.push_back(std::move(text));
        }
        cv_.notify_one();
    }
    void Finished()
    {
        {
            const std::lock_guard lock(mu_);
            ++finished_;
        }
        cv_.notify_one();
    }
    // Waits up to `seconds` for text or a finished thread; hands over all text so far and the finished count.
    std::vector<std::string> Take(double seconds, int *finished)
    {
        std::unique_lock lock(mu_);
        cv_.wait_for(lock, std::chrono::duration<double>(seconds),
                     [this, seen = finished_] { return !texts_.empty() || finished_ != seen; });
        *finished = finished_;
        std::vector<std::string> taken;
        taken.swap(texts_);
        return taken;
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> texts_;
    int finished_ = 0;
};

// Holds the lines' threads after their start until the header is written, and tells them when polling began.
class Gate {
public:
    explicit Gate(int expected) : expected_(expected) {}
    void Arrive()
    {
        {
            const std::lock_guard lock(mu_);
            ++arrived_;
        }
        cv_.notify_all();
    }
    void WaitAll()
    {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [this] { return arrived_ == expected_; });
    }
    void Open(bool go, double start)
    {
        {
            const std::lock_guard lock(mu_);
            open_ = true;
            go_ = go;
            start_ = start;
        }
        cv_.notify_all();
    }
    // False when polling is not to begin at all; *start is the moment it began.
    bool WaitOpen(double *start)
    {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [this] { return open_; });
        *start = start_;
        return go_;
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    int expected_;
    int arrived_ = 0;
    bool open_ = false;
    bool go_ = false;
    double start_ = 0;
};

// A wait's hook that ends the wait on a stop, or once `deadline` (a Timer() value, 0 = none) has come.
ExchangeHook Until(double deadline)
{
    return [deadline] { return !StopRequested() && (deadline <= 0 || Timer() < deadline); };
}

// Opens the port, asks for the identification and reads RAM for the header. A sensor that answers as another
// than its line file names has not started: nothing it measures may be logged under that name.
bool Start(SensorLink &link, Sensor &s, const ExchangeHook &hook)
{
    std::string why, ident;
    int code = OpenSensor(link, &why);
    if (code != kExitOk) {
        why = "cannot open: " + why;
    } else {
        why = Identify(link, &ident, hook);
        if (why.empty() && !IdentMatches(s.port, ident))
            why = WrongSensor(s.port, ident);
        if (why.empty())
            why = ReadBlock(link, Memory::Ram, hook);
        if (!why.empty())
            code = kExitTimeout;
    }
    const std::lock_guard lock(s.mu);
    s.label = link.label;
    s.startCode = code;
    s.startWhy = why;
    if (code == kExitOk) {
        s.ident = ident;
        std::ranges::copy(link.pp, s.ram);
        s.started = true;
    }
    return code == kExitOk;
}

// After the line hung up: opens the port again where the run started, and identifies the sensor there and reads its
// RAM before anything it says is logged. A sensor that is not the one of the header gets a header of its own in the
// log. "" when it measures again, else why not.
std::string Recover(SensorLink &link, Sensor &s, Mailbox &mail, const ExchangeHook &hook)
{
    if (SensorHungUp(link)) {
        std::string why;
        if (OpenSensor(link, &why) != kExitOk)
            return "cannot open again: " + why;
        mail.Post("# " + Now() + " " + link.label + " opened again\n");
    }
    std::string ident;
    std::string why = Identify(link, &ident, hook);
    // What the line file names is the only sensor logged under its name, after a reopen as at the start.
    if (why.empty() && !IdentMatches(s.port, ident))
        why = WrongSensor(s.port, ident);
    if (why.empty())
        why = ReadBlock(link, Memory::Ram, hook);
    if (!why.empty())
        return why;
    if (ident == s.ident && std::ranges::equal(link.pp, s.ram))
        return {};
    std::string change = ident == s.ident ? std::string("its RAM differs from the header's")
                                          : "another sensor answers (" + ident + ", was " + s.ident + ")";
    mail.Post("# " + Now() + " " + link.label + ": " + change + " since it was opened again:\n" +
              csvrec::PortHeader(link.label, ident, link.pp));
    s.changed = std::move(change);
    const std::lock_guard lock(s.mu);
    s.ident = ident;
    std::ranges::copy(link.pp, s.ram);
    return {};
}

// Sleeps until `until` or a stop, whichever comes first, in slices so a stop is seen soon.
void SleepUntil(double until)
{
    while (!StopRequested() && Timer() < until)
        SleepSeconds(std::min(kWaitSlice, until - Timer()));
}

// A pass that found no measurement: counted, told to the line's services and noted in the log.
void Missed(Sensor &s, LineServices &line, Mailbox &mail, const std::string &note)
{
    s.timeouts.fetch_add(1, std::memory_order_relaxed);
    line.Missed(s.index);
    mail.Post("# " + Now() + " " + note + "\n");
}

// Another try at a sensor that does not measure: the start of one that has not started, else the recovery of a line
// that hung up. True when it measures again.
bool TryAgain(SensorLink &link, Sensor &s, bool *started, const std::string &tag, Mailbox &mail, LineServices &line,
              const ExchangeHook &hook)
{
    if (!*started) {
        if (!Start(link, s, hook)) {
            Missed(s, line, mail, tag + s.startWhy);
            return false;
        }
        *started = true;
        mail.Post("# " + Now() + " " + s.label + " started\n" + csvrec::PortHeader(link.label, s.ident, s.ram));
        return true;
    }
    if (const std::string why = Recover(link, s, mail, hook); !why.empty()) {
        Missed(s, line, mail, tag + "no valid reply: " + why);
        return false;
    }
    return true;
}

// One sensor's polling, on its own thread. With `tagged` every line names the port (a log of several sensors);
// a sensor that did not start is tried again once per time-out, and its header lines follow when it does. A line
// that hung up is opened again at most once per time-out, and measured again once the sensor there has identified
// itself.
void Poll(const Options &o, SensorLink &link, Sensor &s, double start, bool tagged, Mailbox &mail, LineServices &line)
{
    const std::string tag = tagged ? s.name + ": " : std::string();
    const double deadline = o.seconds > 0 ? start + o.seconds : 0;
    const ExchangeHook hook = Until(deadline);
    bool started = s.startCode == kExitOk;
    bool measuring = started;
    double lastOpened = Timer();
    long passes = 0;
    // A measurement answered at the line's pace is logged once the next request has seen the line quiet after it:
    // the quiet is looked for while that request is on its way, and costs the polling no time.
    double quietLeft = 0;
    std::string pending;
    std::chrono::system_clock::time_point pendingWhen;
    uint16_t pendingData[kDataWords] = {};
    const auto settle = [&](int followedBy) {
        if (pending.empty())
            return;
        if (followedBy > 0) {
            Missed(s, line, mail, tag + "no valid reply" + Followed(kDataReplyBytes));
        } else {
            mail.Post(pending);
            s.good.fetch_add(1, std::memory_order_relaxed);
            line.Measured(s.index, Timer(), pendingWhen, pendingData);
        }
        pending.clear();
    };
    while (!StopRequested()) {
        if (o.count > 0 && passes >= o.count)
            break;
        if (deadline > 0 && Timer() >= deadline)
            break;
        if (!measuring) {
            SleepUntil(deadline > 0 ? std::min(lastOpened + o.timeout, deadline) : lastOpened + o.timeout);
            if (StopRequested() || (deadline > 0 && Timer() >= deadline))
                break;
            lastOpened = Timer();
            ++passes;
            s.passes.store(passes, std::memory_order_relaxed);
            measuring = TryAgain(link, s, &started, tag, mail, line, hook);
            continue;
        }
        link.line.quietLeft = &quietLeft;
        const ExchangeResult r = Ask(link, kOrderReadData, kDataReplyBytes, hook);
        link.line.quietLeft = nullptr;
        settle(r.trailingBefore);
        if (r.abandoned)
            break;
        s.passes.store(++passes, std::memory_order_relaxed);
        if (Good(r, kDataReplyBytes)) {
            GetRxBufWords(link.reply, link.data, kDataWords);
            if (!MeasurementInRange(link.data)) {
                const long n = s.outOfRange.fetch_add(1, std::memory_order_relaxed) + 1;
                mail.Post("# " + Now() + " " + tag + OutOfRangeText(link.data) + "; " + std::to_string(n) +
                          " so far\n");
                continue;
            }
            const auto when = std::chrono::system_clock::now();
            pending =
                tagged ? csvrec::MeasurementLine(when, s.name, link.data) : csvrec::MeasurementLine(when, link.data);
            pendingWhen = when;
            std::ranges::copy(link.data, pendingData);
            if (!r.quietLeft)
                settle(0);
            continue;
        }
        Missed(s, line, mail, tag + "no valid reply" + Detail(link, kDataReplyBytes, r));
        // A line that hung up stays dead until it is opened again; a sensor that comes back on the same number
        // (a re-pointed link, a re-plugged adapter, a device server started again) is found then.
        if (SensorHungUp(link))
            measuring = false;
    }
    settle(QuietAfterLast(link.port.com, &quietLeft));
    const std::lock_guard lock(s.mu);
    s.label = link.label;
}

const char *ExitMeaning(int code)
{
    switch (code) {
    case kExitPort: return "port cannot be opened";
    case kExitTimeout: return "time-out";
    default: return "failed";
    }
}

using Sensors = std::vector<std::unique_ptr<Sensor>>;

Sensors SensorsOf(const Options &o)
{
    Sensors sensors;
    for (const PortSpec &p : o.ports) {
        sensors.push_back(std::make_unique<Sensor>());
        sensors.back()->port = p;
        sensors.back()->index = sensors.size() - 1;
        sensors.back()->name = PortName(p);
        sensors.back()->label = PortName(p);
    }
    return sensors;
}

// What a log's file begins with: asked for again by each new file of a rotated log, with what is known then.
std::function<std::string()> LogHeader(const Sensors &sensors, bool several)
{
    return [&sensors, several, program = std::string(kProgram) + " " + kProductVersion] {
        if (!several) {
            Sensor &s = *sensors.front();
            const std::lock_guard lock(s.mu);
            return csvrec::Header(program, s.label, s.ident, s.ram);
        }
        std::string text = "# " + program + "\n";
        for (const auto &s : sensors)
            text += HeaderOf(*s);
        return text + csvrec::kColumnsWithPort + "\n";
    };
}

// The log on --csv FILE, else on standard output. kExitOk, or kExitFile after saying why.
int OpenLog(const Options &o, const std::function<std::string()> &header, RotatingLog *csv, bool *isNew)
{
    *isNew = true;
    if (o.csv.empty()) {
        csv->Attach(console::OutputDescriptor());
        return kExitOk;
    }
    std::string why;
    if (!csv->Open(o.csv, o.rotation, header, isNew, &why)) {
        Say("cannot write " + o.csv + ": " + why);
        return kExitFile;
    }
    return kExitOk;
}

// Why no sensor measures, when none started and the watch is not to wait for them: the worst of their exit codes.
int NoneStarted(const Sensors &sensors)
{
    // Stopped before anything was measured: nothing good came, and a script must not take that for success.
    if (StopRequested()) {
        Say("stopped before the first measurement");
        return kExitTimeout;
    }
    int worst = kExitOk;
    for (const auto &s : sensors) {
        Say(s->label + ": " + s->startWhy);
        worst = std::max(worst, s->startCode);
    }
    return worst;
}

long Total(const Sensors &sensors, std::atomic<long> Sensor::*field)
{
    long n = 0;
    for (const auto &s : sensors)
        n += ((*s).*field).load(std::memory_order_relaxed);
    return n;
}

// On a terminal: one progress line for one sensor; a status block of a line per sensor for several, drawn over
// itself, and taken away while a message is told.
class StatusLines {
public:
    StatusLines(const Sensors &sensors, LineServices &line, bool several, double start)
        : sensors_(sensors), line_(line), several_(several), start_(start)
    {
    }
    bool shown() const { return progress_; }
    void show(const char *end)
    {
        if (several_) {
            hide();
            const std::string block = line_.Status(Timer());
            std::fputs(block.c_str(), stderr);
            lines_ = static_cast<int>(std::count(block.begin(), block.end(), '\n'));
            return;
        }
        const long good = Total(sensors_, &Sensor::good);
        std::fprintf(stderr, "\r%ld passes, %.1f/s, %ld time-outs%s", good, good / (Timer() - start_),
                     Total(sensors_, &Sensor::timeouts), end);
    }
    void tell(const std::vector<std::string> &notes)
    {
        if (notes.empty())
            return;
        if (progress_)
            hide();
        for (const std::string &n : notes)
            Say(n);
    }
    // The last status stays on the screen.
    void keep() { lines_ = 0; }

private:
    void hide()
    {
        if (lines_ > 0)
            std::fprintf(stderr, "\033[%dA\033[J", lines_);
        lines_ = 0;
    }

    const Sensors &sensors_;
    LineServices &line_;
    const bool several_;
    const double start_;
    const bool progress_ = console::IsTerminal(console::Stream::Error);
    int lines_ = 0;
};

void TellRotations(const Options &o, RotatingLog &csv, StatusLines &status)
{
    for (const std::string &moved : csv.TakeRotated())
        status.tell({o.csv + ": the full file is now " + moved + "; a new one began"});
    if (const std::string problem = csv.TakeProblem(); !problem.empty())
        status.tell({o.csv + ": cannot rotate: " + problem});
}

// The calling thread's part while the lines' threads poll: writes what they hand over, looks after the log and the
// line's services, and shows the progress, until every thread has finished.
void Pump(const Options &o, std::size_t threads, Mailbox &mail, RotatingLog &csv, LineServices &line,
          StatusLines &status, double start)
{
    double nextProgress = start + kProgressEvery, nextLook = start;
    TellRotations(o, csv, status); // a file due at the start was moved aside before the first line
    for (int finished = 0; finished < static_cast<int>(threads);) {
        for (const std::string &text : mail.Take(kWaitSlice, &finished))
            csv.Append(text);
        csv.FlushIfDue();
        TellRotations(o, csv, status);
        // A log that can take nothing more ends the watch for every sensor.
        if (!csv.Error().empty())
            RequestStop();
        if (Timer() >= nextLook) {
            nextLook = Timer() + kLookEvery;
            status.tell(line.Tick(Timer()));
        }
        if (status.shown() && Timer() >= nextProgress) {
            nextProgress += kProgressEvery;
            status.show(" ");
        }
    }
}

// Once the threads have ended: the last of their text into the log, the last status and the line's last news.
void Drain(const Options &o, Mailbox &mail, RotatingLog &csv, LineServices &line, StatusLines &status)
{
    int finished = 0;
    for (const std::string &text : mail.Take(0, &finished))
        csv.Append(text);
    csv.Flush();
    TellRotations(o, csv, status);
    status.tell(line.Tick(Timer()));
    if (status.shown())
        status.show("\n");
    status.keep();
    status.tell(line.Stop());
}

// What each sensor missed, and the watch's exit code: the worst of the sensors'.
int Summarise(const Options &o, const Sensors &sensors, bool several, LineServices &line)
{
    if (several)
        for (const std::string &sum : line.Summary(Timer()))
            Say(sum);
    int worst = kExitOk, clean = 0;
    std::string failed;
    for (const auto &s : sensors) {
        const long timeouts = s->timeouts.load(), passes = s->passes.load(), outOfRange = s->outOfRange.load();
        if (s->startCode != kExitOk) {
            s->code = s->startCode;
            Say(s->label + ": never measured: " + s->startWhy);
        } else {
            if (timeouts > 0)
                Say(s->label + ": " + std::to_string(timeouts) + " of " + std::to_string(passes) +
                    " measurements had no valid reply within " + Duration(o.timeout));
            if (outOfRange > 0)
                Say(s->label + ": " + std::to_string(outOfRange) + " of " + std::to_string(passes) +
                    " replies were out of range, not measurements");
            if (!s->changed.empty())
                Say(s->label + ": " + s->changed + " since the port was opened again");
            if (s->good.load() == 0 && timeouts == 0 && outOfRange == 0)
                Say(s->label + ": stopped before the first measurement");
            // A pass without a measurement is a failed one; so is a run that measured nothing.
            if (timeouts > 0 || outOfRange > 0 || s->good.load() == 0)
                s->code = kExitTimeout;
        }
        worst = std::max(worst, s->code);
        if (s->code == kExitOk)
            ++clean;
        else
            failed += std::string(failed.empty() ? "; not: " : ", ") + s->name + " (exit " + std::to_string(s->code) +
                      ", " + ExitMeaning(s->code) + ")";
    }
    if (several && worst != kExitOk)
        Say("summary: " + std::to_string(clean) + " of " + std::to_string(sensors.size()) +
            " sensors measured without a miss" + failed);
    return worst;
}

} // namespace

int Watch(const Options &o)
{
    // A line file names its sensors in the log as several ports are named, even one alone.
    const bool several = o.ports.size() > 1 || Named(o);
    const Sensors sensors = SensorsOf(o);
    const std::function<std::string()> header = LogHeader(sensors, several);
    RotatingLog csv;
    bool isNew = true;
    if (const int code = OpenLog(o, header, &csv, &isNew); code != kExitOk)
        return code;
    CatchStopSignals();
    // A watch for S seconds takes no longer than that to find its sensors silent.
    const double begun = Timer();
    LineServices line(o, o.ports);

    Mailbox mail;
    Gate gate(static_cast<int>(sensors.size()));
    std::vector<std::unique_ptr<ComThread>> threads;
    for (auto &sensor : sensors)
        threads.push_back(std::make_unique<ComThread>([&o, &s = *sensor, &gate, &mail, &line, several, begun] {
            SensorLink link(s.port, o.timeout);
            Start(link, s, Until(o.seconds > 0 ? begun + o.seconds : 0));
            gate.Arrive();
            double start = 0;
            if (gate.WaitOpen(&start))
                Poll(o, link, s, start, several, mail, line);
            mail.Finished();
        }));

    gate.WaitAll();
    const auto startedCount =
        std::count_if(sensors.begin(), sensors.end(), [](const auto &s) { return s->startCode == kExitOk; });
    // A line watched as a service waits for its sensors; a watch of ports given by hand ends when none answers.
    if (startedCount == 0 && (!Named(o) || StopRequested())) {
        gate.Open(false, 0);
        threads.clear();
        return NoneStarted(sensors);
    }
    // Every session over several sensors starts with its header: the ports may differ from the last one's.
    if (several || isNew)
        csv.Append(header());
    if (several)
        for (const auto &s : sensors)
            if (s->startCode != kExitOk)
                Say(s->label + ": " + s->startWhy + "; tried again once per time-out");

    const double start = Timer();
    if (std::string why; !line.Start(start, &why)) {
        gate.Open(false, 0);
        threads.clear();
        Say(why);
        return kExitUsage;
    }
    gate.Open(true, start);
    StatusLines status(sensors, line, several, start);
    Pump(o, threads.size(), mail, csv, line, status, start);
    threads.clear();
    Drain(o, mail, csv, line, status);

    // Whoever read the lines has stopped reading (watch | head): that ends the watch, it is no failure.
    const bool readerGone = console::ReaderGone(csv.ErrorCode());
    if (!csv.Error().empty() && !readerGone) {
        Say("cannot write " + (o.csv.empty() ? std::string("standard output") : o.csv) + ": " + csv.Error() +
            (o.csv.empty() ? "" : "; the file ends with the last whole line"));
        return kExitFile;
    }
    return Summarise(o, sensors, several, line);
}

} // namespace cli

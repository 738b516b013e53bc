// SPDX-License-Identifier: MIT
// Reading a recorded measurement log and handing its lines out again at their recorded pace.
#include "replay.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string_view>

namespace sim {

namespace {

constexpr const char *kRamTag = "# RAM:";
constexpr const char *kIdentTag = "# ident:";
constexpr const char *kPortTag = "# port:";
constexpr const char *kPortColumn = "port";
constexpr const char *kComPrefix = "COM ";
constexpr std::size_t kRamWords = std::tuple_size_v<Block>;
constexpr std::size_t kValues = std::tuple_size_v<Measurement>;
const std::string kRamLineWrong = "the RAM line needs " + std::to_string(kRamWords) + " values from 0 to 65535";
// The log's own column names; the first is the time, the others the measurement in record order.
constexpr std::array<const char *, 1 + kValues> kColumnNames{"time", "R", "G", "B", "X", "Y", "INT", "COL"};
constexpr double kSecondsPerDay = 86400.0;
constexpr double kSecondsPerMinute = 60.0;
constexpr double kSecondsPerHour = 3600.0;
// Distinct ports a log may name: a watch takes at most 99 at once, and sessions add a few more.
constexpr std::size_t kMaxPortsListed = 1000;
// Read-ahead of a log replayed from its file.
constexpr std::size_t kFileBuffer = 64 * 1024;

std::string_view Trim(std::string_view s)
{
    const std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos)
        return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// The comma-separated fields of `line`, into *fields (whose capacity is kept from line to line).
void Split(std::string_view line, std::vector<std::string_view> *fields)
{
    fields->clear();
    for (;;) {
        const std::size_t at = line.find(',');
        fields->push_back(line.substr(0, at));
        if (at == std::string_view::npos)
            return;
        line.remove_prefix(at + 1);
    }
}

bool ParseWord(std::string_view text, uint16_t *value)
{
    const std::string_view t = Trim(text);
    unsigned v = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size() || v > 0xFFFF)
        return false;
    *value = static_cast<uint16_t>(v);
    return true;
}

// Parses `count` digits at text[*at] onwards.
bool Digits(std::string_view text, std::size_t *at, int count, int *value)
{
    if (*at + count > text.size())
        return false;
    int v = 0;
    for (int i = 0; i < count; ++i) {
        const char c = text[*at + i];
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    *at += count;
    *value = v;
    return true;
}

bool Expect(std::string_view text, std::size_t *at, char c)
{
    if (*at >= text.size() || text[*at] != c)
        return false;
    ++*at;
    return true;
}

// "2024-05-17T08:03:11.042+02:00" (fraction and offset optional, Z for UTC) or a plain number of seconds.
bool ParseTime(std::string_view field, double *seconds)
{
    const std::string_view t = Trim(field);
    double plain = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), plain);
    if (!t.empty() && ec == std::errc() && end == t.data() + t.size()) {
        *seconds = plain;
        return true;
    }
    std::size_t at = 0;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!Digits(t, &at, 4, &y) || !Expect(t, &at, '-') || !Digits(t, &at, 2, &mo) || !Expect(t, &at, '-') ||
        !Digits(t, &at, 2, &d) || !(Expect(t, &at, 'T') || Expect(t, &at, ' ')) || !Digits(t, &at, 2, &h) ||
        !Expect(t, &at, ':') || !Digits(t, &at, 2, &mi) || !Expect(t, &at, ':') || !Digits(t, &at, 2, &s))
        return false;
    const std::chrono::year_month_day date{std::chrono::year(y), std::chrono::month(unsigned(mo)),
                                           std::chrono::day(unsigned(d))};
    if (!date.ok() || h > 23 || mi > 59 || s > 60)
        return false;
    double fraction = 0;
    if (at < t.size() && (t[at] == '.' || t[at] == ',')) {
        double scale = 0.1;
        for (++at; at < t.size() && t[at] >= '0' && t[at] <= '9'; ++at, scale /= 10)
            fraction += (t[at] - '0') * scale;
    }
    double offset = 0; // local time minus UTC
    if (at < t.size() && t[at] == 'Z') {
        ++at;
    } else if (at < t.size() && (t[at] == '+' || t[at] == '-')) {
        const double sign = t[at++] == '-' ? -1.0 : 1.0;
        int oh = 0, om = 0;
        if (!Digits(t, &at, 2, &oh))
            return false;
        Expect(t, &at, ':');
        if (!Digits(t, &at, 2, &om))
            return false;
        offset = sign * (oh * kSecondsPerHour + om * kSecondsPerMinute);
    }
    if (at != t.size())
        return false;
    const double days = std::chrono::sys_days(date).time_since_epoch().count();
    *seconds = days * kSecondsPerDay + h * kSecondsPerHour + mi * kSecondsPerMinute + s + fraction - offset;
    return true;
}

// "11" is how a user types COM 11.
std::string PortName(const std::string &chosen)
{
    const std::string t(Trim(chosen));
    const bool number = !t.empty() && t.find_first_not_of("0123456789") == std::string::npos;
    return number ? kComPrefix + t : t;
}

// Whether a header's "# port:" text belongs to the port: "COM 11" or "COM 11 (/dev/ttyUSB0)" for COM 11.
bool HeaderNames(std::string_view headerText, const std::string &port)
{
    return headerText == port || headerText.rfind(port + " (", 0) == 0;
}

std::string Listed(const std::set<std::string, std::less<>> &ports)
{
    std::string list;
    for (const std::string &p : ports)
        list += (list.empty() ? "" : ", ") + p;
    return list;
}

// The lines of a stream, one at a time, none longer than kMaxLogLine (a CR before the line feed not counted),
// so a stream without line feeds (/dev/zero through a pipe) costs no more than one line.
class LineReader {
public:
    enum class Got { Line, End, TooLong, Failed };
    explicit LineReader(std::istream &in) : in_(in) {}
    Got next(std::string_view *line)
    {
        if (!in_.getline(buffer_.data(), static_cast<std::streamsize>(buffer_.size()))) {
            if (in_.bad())
                return Got::Failed;
            if (in_.gcount() == 0 && in_.eof())
                return Got::End;
            ++number_;
            return Got::TooLong; // filled the buffer without meeting a line feed
        }
        ++number_;
        const auto got = static_cast<std::size_t>(in_.gcount());
        std::size_t length = in_.eof() ? got : got - 1; // the line feed was taken but not stored
        if (length > 0 && buffer_[length - 1] == '\r')
            --length;
        if (length > kMaxLogLine)
            return Got::TooLong;
        *line = std::string_view(buffer_.data(), length);
        return Got::Line;
    }
    std::size_t number() const { return number_; }

private:
    std::istream &in_;
    std::array<char, kMaxLogLine + 2> buffer_{}; // the line, a CR, and getline's terminating NUL
    std::size_t number_ = 0;
};

// The meaning of a log's lines, one after another: its columns, its ports, its block.
class LogParser {
public:
    enum class Kind { Other, Measured, Bad };

    explicit LogParser(const std::string &chosen) : port_(PortName(chosen))
    {
        for (std::size_t i = 0; i < column_.size(); ++i)
            column_[i] = i;
    }

    Kind feed(std::string_view line, Measurement *m, double *seconds, std::string *why)
    {
        const std::string_view trimmed = Trim(line);
        if (trimmed.empty())
            return Kind::Other;
        if (trimmed.starts_with(kPortTag)) {
            headerPort_ = Trim(trimmed.substr(std::strlen(kPortTag)));
            return Kind::Other;
        }
        if (trimmed.starts_with(kRamTag))
            return ram(trimmed, why);
        if (trimmed.starts_with(kIdentTag))
            return ident(trimmed);
        if (trimmed[0] == '#')
            return Kind::Other;
        Split(trimmed, &fields_);
        // No measurement has a field "time": a line that does names the columns.
        if (std::any_of(fields_.begin(), fields_.end(), [](std::string_view f) { return Trim(f) == kColumnNames[0]; }))
            return columns(why);
        if (fields_.size() != fieldCount_) {
            *why = "expected " + std::to_string(fieldCount_) + " comma-separated fields, found " +
                   std::to_string(fields_.size());
            return Kind::Bad;
        }
        if (portColumn_) {
            const std::string_view linePort = Trim(fields_[*portColumn_]);
            if (ports_.find(linePort) == ports_.end()) {
                if (ports_.size() == kMaxPortsListed) {
                    *why = "more than " + std::to_string(kMaxPortsListed) + " ports in one log";
                    return Kind::Bad;
                }
                ports_.emplace(linePort);
            }
            if (!port_.empty() && linePort != port_)
                return Kind::Other;
        } else if (!port_.empty()) {
            return Kind::Other; // a session of one sensor in a log of several: which one it was, the line does not say
        }
        if (!ParseTime(fields_[column_[0]], seconds)) {
            *why = "cannot read the time \"" + std::string(Trim(fields_[column_[0]])) + "\"";
            return Kind::Bad;
        }
        for (std::size_t v = 0; v < kValues; ++v)
            if (!ParseWord(fields_[column_[1 + v]], &(*m)[v])) {
                *why = std::string(kColumnNames[1 + v]) + " must be a whole number from 0 to 65535";
                return Kind::Bad;
            }
        return Kind::Measured;
    }

    // What can only be judged at the end, given the number of measurements read.
    bool finish(std::size_t measurements, std::string *why) const
    {
        if (!port_.empty() && !anyPortColumn_)
            *why = "it is the log of one sensor, with no port column to choose " + port_ + " from";
        else if (port_.empty() && ports_.size() > 1)
            *why = "it holds the lines of several sensors (" + Listed(ports_) + "): choose one with --replay-port";
        else if (!port_.empty() && measurements == 0)
            *why =
                "no measurements of " + port_ + " in it" + (ports_.empty() ? "" : " (it has " + Listed(ports_) + ")");
        else if (measurements == 0)
            *why = "no measurements in it";
        else
            return true;
        return false;
    }

    const std::optional<Block> &block() const { return ram_; }
    const std::optional<std::string> &identification() const { return ident_; }

private:
    // The sensor the log was taken from answers as it did then; the chosen one's, in a log of several.
    Kind ident(std::string_view trimmed)
    {
        if (ident_ || (!port_.empty() && !HeaderNames(headerPort_, port_)))
            return Kind::Other;
        ident_ = std::string(Trim(trimmed.substr(std::strlen(kIdentTag))));
        return Kind::Other;
    }

    Kind ram(std::string_view trimmed, std::string *why)
    {
        if (ram_)
            return Kind::Other; // a second session appended to the file: its sensor started from the first block
        if (!port_.empty() && !HeaderNames(headerPort_, port_))
            return Kind::Other; // another sensor's block
        std::istringstream words{std::string(trimmed.substr(std::strlen(kRamTag)))};
        Block block{};
        std::string word;
        std::size_t n = 0;
        while (words >> word) {
            if (n == kRamWords || !ParseWord(word, &block[n])) {
                *why = kRamLineWrong;
                return Kind::Bad;
            }
            ++n;
        }
        if (n != kRamWords) {
            *why = kRamLineWrong;
            return Kind::Bad;
        }
        ram_ = block;
        return Kind::Other;
    }

    Kind columns(std::string *why)
    {
        std::map<std::string_view, std::size_t> named;
        for (std::size_t i = 0; i < fields_.size(); ++i)
            named.emplace(Trim(fields_[i]), i);
        for (std::size_t c = 0; c < kColumnNames.size(); ++c) {
            const auto it = named.find(kColumnNames[c]);
            if (it == named.end()) {
                *why = std::string("the column line has no column ") + kColumnNames[c];
                return Kind::Bad;
            }
            column_[c] = it->second;
        }
        const auto p = named.find(kPortColumn);
        portColumn_ = p == named.end() ? std::nullopt : std::optional<std::size_t>(p->second);
        anyPortColumn_ = anyPortColumn_ || portColumn_.has_value();
        fieldCount_ = fields_.size();
        return Kind::Other;
    }

    const std::string port_;
    // Field index of time, R, G, B, X, Y, INT, COL; the log's own order until a column line says otherwise.
    std::array<std::size_t, 1 + kValues> column_{};
    std::size_t fieldCount_ = 1 + kValues;
    std::optional<std::size_t> portColumn_; // while the last column line names one
    bool anyPortColumn_ = false;
    std::set<std::string, std::less<>> ports_; // every port the measurement lines name
    std::string headerPort_;                   // the text of the last "# port:" line
    std::optional<Block> ram_;
    std::optional<std::string> ident_;
    std::vector<std::string_view> fields_;
};

using OnMeasurement = std::function<void(const Measurement &, double)>;

// Reads a whole log, handing each measurement of the chosen port to `take`; at most maxLines lines. False with
// *error ("line N: why") for the first line that cannot be read, or when the log as a whole cannot be replayed.
bool Scan(std::istream &in, const std::string &port, std::size_t maxLines, const OnMeasurement &take,
          std::optional<Block> *ram, std::optional<std::string> *ident, std::size_t *count, std::string *error)
{
    LineReader lines(in);
    LogParser parser(port);
    const auto fail = [&](const std::string &why) {
        *error = "line " + std::to_string(lines.number()) + ": " + why;
        return false;
    };
    *count = 0;
    for (;;) {
        std::string_view line;
        const LineReader::Got got = lines.next(&line);
        if (got == LineReader::Got::End)
            break;
        if (got == LineReader::Got::Failed) {
            *error = "cannot be read after line " + std::to_string(lines.number());
            return false;
        }
        if (lines.number() > maxLines)
            return fail("more lines than the " + std::to_string(maxLines) +
                        " held in memory; replay a log that long from a file");
        if (got == LineReader::Got::TooLong)
            return fail("longer than " + std::to_string(kMaxLogLine) + " characters, which no log line is");
        Measurement m{};
        double seconds = 0;
        std::string why;
        switch (parser.feed(line, &m, &seconds, &why)) {
        case LogParser::Kind::Bad: return fail(why);
        case LogParser::Kind::Measured:
            ++*count;
            take(m, seconds);
            break;
        case LogParser::Kind::Other: break;
        }
    }
    *ram = parser.block();
    *ident = parser.identification();
    return parser.finish(*count, error);
}

bool ScanInto(std::istream &in, const std::string &port, Recording *recording, std::string *error)
{
    Recording r;
    std::size_t count = 0;
    const auto take = [&r](const Measurement &m, double seconds) {
        r.measurements.push_back(m);
        r.seconds.push_back(seconds);
    };
    if (!Scan(in, port, kMaxHeldLines, take, &r.ram, &r.ident, &count, error))
        return false;
    *recording = std::move(r);
    return true;
}

// Why a path cannot be replayed from, for what is neither a regular file nor a pipe; "" for those two.
std::string NotALog(const std::string &path)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    switch (fs::status(path, ec).type()) {
    case fs::file_type::regular:
    case fs::file_type::fifo:
    case fs::file_type::not_found: // opening it tells why
        return {};
    case fs::file_type::directory: return "it is a folder, not a log";
    case fs::file_type::character:
    case fs::file_type::block: return "it is a device, not a log file (a device such as /dev/zero may never end)";
    case fs::file_type::socket: return "it is a socket, not a log file";
    default: return ec ? ec.message() : "it is not a log file";
    }
}

// A recording in memory, from its first measurement again after each rewind.
class HeldSource : public MeasurementSource {
public:
    explicit HeldSource(Recording r) : r_(std::move(r)) {}
    bool next(Measurement *m, double *seconds) override
    {
        if (next_ >= r_.measurements.size())
            return false;
        *m = r_.measurements[next_];
        *seconds = r_.seconds[next_];
        ++next_;
        return true;
    }
    void rewind() override { next_ = 0; }

private:
    Recording r_;
    std::size_t next_ = 0;
};

// A log read from its file as the replay goes: a line at a time, through a fixed buffer. Each pass ends after
// the measurements the file held when it was checked, so lines appended since are not replayed unchecked; a line
// that no longer reads (the file was rewritten) ends the pass early.
class FileSource : public MeasurementSource {
public:
    FileSource(const std::string &path, std::string port, std::size_t count) : port_(std::move(port)), count_(count)
    {
        file_.rdbuf()->pubsetbuf(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        file_.open(path, std::ios::binary);
        rewind();
    }
    bool next(Measurement *m, double *seconds) override
    {
        if (given_ == count_ || !lines_)
            return false;
        for (;;) {
            std::string_view line;
            if (lines_->next(&line) != LineReader::Got::Line)
                return false;
            std::string why;
            switch (parser_->feed(line, m, seconds, &why)) {
            case LogParser::Kind::Bad: return false;
            case LogParser::Kind::Measured: ++given_; return true;
            case LogParser::Kind::Other: break;
            }
        }
    }
    void rewind() override
    {
        file_.clear();
        file_.seekg(0);
        lines_.emplace(file_);
        parser_.emplace(port_);
        given_ = 0;
    }

private:
    std::array<char, kFileBuffer> buffer_{};
    std::ifstream file_;
    std::string port_;
    std::size_t count_;
    std::optional<LineReader> lines_;
    std::optional<LogParser> parser_;
    std::size_t given_ = 0;
};

} // namespace

bool ParseRecording(const std::string &text, Recording *recording, std::string *error, const std::string &port)
{
    std::istringstream in(text);
    return ScanInto(in, port, recording, error);
}

bool LoadRecording(const std::string &path, Recording *recording, std::string *error, const std::string &port)
{
    std::string why = NotALog(path);
    std::ifstream file;
    if (why.empty()) {
        file.open(path, std::ios::binary);
        if (!file)
            why = std::strerror(errno);
    }
    if (why.empty() && ScanInto(file, port, recording, &why))
        return true;
    *error = path + ": " + why;
    return false;
}

ReplayLog HeldLog(Recording recording)
{
    ReplayLog log;
    log.ram = recording.ram;
    log.ident = recording.ident;
    log.measurements = recording.measurements.size();
    log.source = std::make_unique<HeldSource>(std::move(recording));
    return log;
}

bool OpenReplayLog(const std::string &path, ReplayLog *log, std::string *error, const std::string &port)
{
    std::error_code ec;
    if (std::filesystem::status(path, ec).type() != std::filesystem::file_type::regular) {
        Recording held;
        if (!LoadRecording(path, &held, error, port))
            return false;
        *log = HeldLog(std::move(held));
        return true;
    }
    // Checked whole first, so that a bad line stops the start and not the replay.
    std::ifstream file;
    std::array<char, kFileBuffer> buffer{};
    file.rdbuf()->pubsetbuf(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    file.open(path, std::ios::binary);
    std::string why = file ? std::string() : std::strerror(errno);
    ReplayLog opened;
    const auto ignore = [](const Measurement &, double) {};
    if (why.empty() && Scan(file, port, SIZE_MAX, ignore, &opened.ram, &opened.ident, &opened.measurements, &why)) {
        opened.source = std::make_unique<FileSource>(path, port, opened.measurements);
        *log = std::move(opened);
        return true;
    }
    *error = path + ": " + why;
    return false;
}

Replayer::Replayer(ReplayLog log, ReplayEnd end) : log_(std::move(log)), end_(end)
{
    if (log_.source)
        log_.source->rewind();
    readAhead(true);
}

void Replayer::readAhead(bool first)
{
    Ahead a{};
    a.first = first;
    if (log_.source && log_.source->next(&a.m, &a.seconds))
        ahead_ = a;
    else
        ahead_.reset();
}

std::optional<Measurement> Replayer::next(Clock::time_point now, Clock::time_point *notBefore)
{
    if (finished_ || !ahead_)
        return std::nullopt;
    const Ahead given = *ahead_;
    // The first line, and the first again after a loop, go out at once.
    const double gap = given.first ? 0.0 : std::clamp(given.seconds - lastSeconds_, 0.0, kMaxGap);
    *notBefore = lastStart_ ? std::max(now, *lastStart_ + std::chrono::duration_cast<Clock::duration>(
                                                              std::chrono::duration<double>(gap)))
                            : now;
    ++answered_;
    lastSeconds_ = given.seconds;
    readAhead(false);
    if (!ahead_) {
        if (end_ == ReplayEnd::Loop) {
            log_.source->rewind();
            readAhead(true);
        }
        // Stopped, or a log that no longer holds a measurement: nothing more to give.
        finished_ = !ahead_;
    }
    return given.m;
}

void Replayer::replyStarts(Clock::time_point when)
{
    lastStart_ = when;
}

} // namespace sim

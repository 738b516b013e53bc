// SPDX-License-Identifier: MIT
// Reading a recorded measurement log and handing its lines out again at their recorded pace.
#include "replay.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace sim {

namespace {

constexpr const char *kRamTag = "# RAM:";
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

std::vector<std::string> Split(const std::string &line, char sep)
{
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = line.find(sep, from);
        fields.push_back(line.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos)
            return fields;
        from = at + 1;
    }
}

std::string Trim(const std::string &s)
{
    const std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool ParseWord(const std::string &text, uint16_t *value)
{
    const std::string t = Trim(text);
    unsigned v = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size() || v > 0xFFFF)
        return false;
    *value = static_cast<uint16_t>(v);
    return true;
}

// Parses `count` digits at text[*at] onwards.
bool Digits(const std::string &text, std::size_t *at, int count, int *value)
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

bool Expect(const std::string &text, std::size_t *at, char c)
{
    if (*at >= text.size() || text[*at] != c)
        return false;
    ++*at;
    return true;
}

// "2024-05-17T08:03:11.042+02:00" (fraction and offset optional, Z for UTC) or a plain number of seconds.
bool ParseTime(const std::string &field, double *seconds)
{
    const std::string t = Trim(field);
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
    const std::string t = Trim(chosen);
    const bool number = !t.empty() && t.find_first_not_of("0123456789") == std::string::npos;
    return number ? kComPrefix + t : t;
}

// Whether a header's "# port:" text belongs to the port: "COM 11" or "COM 11 (/dev/ttyUSB0)" for COM 11.
bool HeaderNames(const std::string &headerText, const std::string &port)
{
    return headerText == port || headerText.rfind(port + " (", 0) == 0;
}

std::string Listed(const std::set<std::string> &ports)
{
    std::string list;
    for (const std::string &p : ports)
        list += (list.empty() ? "" : ", ") + p;
    return list;
}

} // namespace

bool ParseRecording(const std::string &text, Recording *recording, std::string *error, const std::string &chosen)
{
    Recording r;
    const std::string port = PortName(chosen);
    // Field index of time, R, G, B, X, Y, INT, COL; the log's own order until a column line says otherwise.
    std::array<std::size_t, 1 + kValues> column{};
    for (std::size_t i = 0; i < column.size(); ++i)
        column[i] = i;
    std::size_t fieldCount = column.size();
    std::optional<std::size_t> portColumn; // while the last column line names one
    bool anyPortColumn = false;
    std::set<std::string> ports; // every port the measurement lines name
    std::string headerPort;      // the text of the last "# port:" line

    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto fail = [&](const std::string &why) {
            *error = "line " + std::to_string(number) + ": " + why;
            return false;
        };
        const std::string trimmed = Trim(line);
        if (trimmed.empty())
            continue;
        if (trimmed.rfind(kPortTag, 0) == 0) {
            headerPort = Trim(trimmed.substr(std::strlen(kPortTag)));
            continue;
        }
        if (trimmed.rfind(kRamTag, 0) == 0) {
            if (r.ram)
                continue; // a second session appended to the file: its sensor started from the first block
            if (!port.empty() && !HeaderNames(headerPort, port))
                continue; // another sensor's block
            std::istringstream words(trimmed.substr(std::strlen(kRamTag)));
            Block block{};
            std::string word;
            std::size_t n = 0;
            while (words >> word) {
                if (n == kRamWords || !ParseWord(word, &block[n]))
                    return fail(kRamLineWrong);
                ++n;
            }
            if (n != kRamWords)
                return fail(kRamLineWrong);
            r.ram = block;
            continue;
        }
        if (trimmed[0] == '#')
            continue;
        const std::vector<std::string> fields = Split(trimmed, ',');
        std::map<std::string, std::size_t> named;
        for (std::size_t i = 0; i < fields.size(); ++i)
            named.emplace(Trim(fields[i]), i);
        if (named.count(kColumnNames[0])) { // no measurement has a field "time": this names the columns
            for (std::size_t c = 0; c < kColumnNames.size(); ++c) {
                const auto it = named.find(kColumnNames[c]);
                if (it == named.end())
                    return fail(std::string("the column line has no column ") + kColumnNames[c]);
                column[c] = it->second;
            }
            const auto p = named.find(kPortColumn);
            portColumn = p == named.end() ? std::nullopt : std::optional<std::size_t>(p->second);
            anyPortColumn = anyPortColumn || portColumn.has_value();
            fieldCount = fields.size();
            continue;
        }
        if (fields.size() != fieldCount)
            return fail("expected " + std::to_string(fieldCount) + " comma-separated fields, found " +
                        std::to_string(fields.size()));
        if (portColumn) {
            const std::string linePort = Trim(fields[*portColumn]);
            ports.insert(linePort);
            if (!port.empty() && linePort != port)
                continue;
        } else if (!port.empty()) {
            continue; // a session of one sensor in a log of several: which one it was, the line does not say
        }
        double seconds = 0;
        if (!ParseTime(fields[column[0]], &seconds))
            return fail("cannot read the time \"" + Trim(fields[column[0]]) + "\"");
        Measurement m{};
        for (std::size_t v = 0; v < kValues; ++v)
            if (!ParseWord(fields[column[1 + v]], &m[v]))
                return fail(std::string(kColumnNames[1 + v]) + " must be a whole number from 0 to 65535");
        r.measurements.push_back(m);
        r.seconds.push_back(seconds);
    }
    if (!port.empty() && !anyPortColumn) {
        *error = "it is the log of one sensor, with no port column to choose " + port + " from";
        return false;
    }
    if (port.empty() && ports.size() > 1) {
        *error = "it holds the lines of several sensors (" + Listed(ports) + "): choose one with --replay-port";
        return false;
    }
    if (!port.empty() && r.measurements.empty()) {
        *error = "no measurements of " + port + " in it" + (ports.empty() ? "" : " (it has " + Listed(ports) + ")");
        return false;
    }
    if (r.measurements.empty()) {
        *error = "no measurements in it";
        return false;
    }
    *recording = std::move(r);
    return true;
}

bool LoadRecording(const std::string &path, Recording *recording, std::string *error, const std::string &port)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) {
        *error = path + ": cannot be read";
        return false;
    }
    if (!ParseRecording(text.str(), recording, error, port)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

Replayer::Replayer(Recording recording, ReplayEnd end) : recording_(std::move(recording)), end_(end) {}

std::optional<Measurement> Replayer::next(Clock::time_point now, Clock::time_point *notBefore)
{
    if (finished_ || recording_.measurements.empty())
        return std::nullopt;
    const std::size_t i = next_;
    // The first line, and the first again after a loop, go out at once.
    const double gap = i == 0 ? 0.0 : std::clamp(recording_.seconds[i] - recording_.seconds[i - 1], 0.0, kMaxGap);
    *notBefore = lastStart_ ? std::max(now, *lastStart_ + std::chrono::duration_cast<Clock::duration>(
                                                              std::chrono::duration<double>(gap)))
                            : now;
    ++answered_;
    if (++next_ == recording_.measurements.size()) {
        next_ = 0;
        finished_ = end_ == ReplayEnd::Stop;
    }
    return recording_.measurements[i];
}

void Replayer::replyStarts(Clock::time_point when)
{
    lastStart_ = when;
}

} // namespace sim

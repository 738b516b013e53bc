// SPDX-License-Identifier: MIT
// Reads line files with toml++ and turns their sensors into the command line's ports.
#include "cli/linefile.h"

#include "io/fileio.h"
#include "io/formatio.h"
#include "io/rs232.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>

namespace cli {

namespace {

constexpr std::size_t kMaxLineFileBytes = 1 << 20; // hundreds of sensors fit in far less
constexpr const char *kSensorKeys = "a sensor has name, port and ident";

std::string At(const std::string &path, const toml::source_region &where)
{
    return path + ":" + std::to_string(where.begin.line) + ": ";
}

// Why `name` cannot name a sensor, or "". Names go into CSV fields, file names and the plant network's topics.
std::string NameProblem(const std::string &name)
{
    if (name.empty())
        return "name is empty";
    if (name.size() > kMaxSensorName)
        return "name is longer than " + std::to_string(kMaxSensorName) + " bytes";
    if (name.front() == ' ' || name.back() == ' ')
        return "name '" + name + "' starts or ends with a blank";
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F)
            return "name holds a control character";
        // A comma or quote would break the CSV's port column; '/', '+' and '#' the topics named after it.
        if (std::string_view(",\"/+#").find(c) != std::string_view::npos)
            return "name '" + name + "' holds '" + std::string(1, c) +
                   "' (names go into CSV columns and network topics: no , \" / + #)";
    }
    return {};
}

// "com3" (any case) as COM 3, or 0 when the text is no COM name the port services would look up.
int ComNumber(const std::string &text)
{
    if (text.size() < 4 || (text[0] | 0x20) != 'c' || (text[1] | 0x20) != 'o' || (text[2] | 0x20) != 'm' ||
        text[3] == '0')
        return 0;
    int n = 0;
    const char *end = text.data() + text.size();
    const auto r = std::from_chars(text.data() + 3, end, n);
    return r.ec == std::errc() && r.ptr == end && n >= 1 && n <= kMaxCom ? n : 0;
}

// The port a line file's text names, or "" with *why.
bool ToPort(const std::string &text, std::size_t index, PortSpec *port, std::string *why)
{
    if (const int n = ComNumber(text)) {
        port->com = n;
        return true;
    }
    if (ComIsAddress(text)) {
        if (const std::string problem = ComAddressProblem(text); !problem.empty()) {
            *why = "port " + text + ": " + problem;
            return false;
        }
    } else if (text.empty() || text.front() != '/') {
        *why = "port '" + text + "' is none of comN (1-" + std::to_string(kMaxCom) +
               "), a device path (/dev/…), rfc2217://HOST:PORT or tcp://HOST:PORT";
        return false;
    }
    // Above every COM number, so a device never shares the serial services' number of a COM port in the line.
    port->com = kMaxCom + 1 + static_cast<int>(index);
    port->device = text;
    return true;
}

std::string TrimEnd(std::string text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    return text;
}

// One [[sensor]] table into *port; false with *why (its line first).
bool ToSensor(const toml::table &t, const std::string &path, std::size_t index, PortSpec *port, std::string *why)
{
    for (auto &&[key, value] : t) {
        const std::string k(key.str());
        if (k != "name" && k != "port" && k != "ident") {
            *why = At(path, key.source()) + "unknown key '" + k + "' (" + kSensorKeys + ")";
            return false;
        }
        if (!value.is_string()) {
            *why = At(path, value.source()) + k + " must be a string in quotes";
            return false;
        }
    }
    const toml::node *name = t.get("name");
    const toml::node *where = t.get("port");
    if (!name || !where) {
        *why = At(path, t.source()) + "this sensor has no " + (name ? "port" : "name") + " (" + kSensorKeys + ")";
        return false;
    }
    port->name = **name->as_string();
    if (const std::string problem = NameProblem(port->name); !problem.empty()) {
        *why = At(path, name->source()) + problem;
        return false;
    }
    std::string problem;
    if (!ToPort(**where->as_string(), index, port, &problem)) {
        *why = At(path, where->source()) + problem;
        return false;
    }
    if (const toml::node *ident = t.get("ident")) {
        port->ident = TrimEnd(**ident->as_string());
        if (port->ident.size() > static_cast<std::size_t>(kIdentChars)) {
            *why = At(path, ident->source()) + "ident is longer than the " + std::to_string(kIdentChars) +
                   " characters a sensor answers with";
            return false;
        }
    }
    return true;
}

} // namespace

bool ParseLineFile(std::string_view text, const std::string &path, std::vector<PortSpec> *ports, std::string *why)
{
    toml::table doc;
    try {
        doc = toml::parse(text, std::string_view(path));
    } catch (const toml::parse_error &e) {
        *why = At(path, e.source()) + std::string(e.description());
        return false;
    }
    for (auto &&[key, value] : doc) {
        if (key.str() != "sensor") {
            *why = At(path, key.source()) + "unknown key '" + std::string(key.str()) +
                   "' (a line file lists [[sensor]] tables)";
            return false;
        }
        if (!value.is_array_of_tables()) {
            *why = At(path, value.source()) + "sensor must be a list of tables: write [[sensor]], not [sensor]";
            return false;
        }
    }
    const toml::array *sensors = doc["sensor"].as_array();
    if (!sensors || sensors->empty()) {
        *why = path + ": no sensor listed (each is a [[sensor]] table with name and port)";
        return false;
    }
    if (sensors->size() > static_cast<std::size_t>(kMaxPorts)) {
        *why = At(path, (*sensors)[static_cast<std::size_t>(kMaxPorts)].source()) + "at most " +
               std::to_string(kMaxPorts) + " sensors in one line";
        return false;
    }
    std::vector<PortSpec> found;
    std::map<std::string, std::size_t> names, places; // name or port -> index of the sensor that has it
    for (std::size_t i = 0; i < sensors->size(); ++i) {
        const toml::table &t = *(*sensors)[i].as_table();
        PortSpec port;
        if (!ToSensor(t, path, i, &port, why))
            return false;
        const std::string place = port.device.empty() ? "COM " + std::to_string(port.com) : port.device;
        for (auto [seen, key, what] : {std::tuple{&names, port.name, "name"}, std::tuple{&places, place, "port"}}) {
            if (const auto it = seen->find(key); it != seen->end()) {
                *why = At(path, t.get(what)->source()) + what + " " + key + " is already sensor '" +
                       found[it->second].name + "''s";
                return false;
            }
            seen->emplace(key, i);
        }
        found.push_back(std::move(port));
    }
    *ports = std::move(found);
    return true;
}

bool LoadLine(Options *o, std::string *why)
{
    if (o->line.empty())
        return true;
    std::string text, reason;
    if (!ReadWhole(o->line, kMaxLineFileBytes, kStreamSilence, &text, &reason)) {
        // The reader's sentence follows a name here: "line4.toml: it cannot be opened: …".
        if (!reason.empty())
            reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
        if (!reason.empty() && reason.back() == '.')
            reason.pop_back();
        *why = o->line + ": " + reason;
        return false;
    }
    std::vector<PortSpec> ports;
    if (!ParseLineFile(text, o->line, &ports, why))
        return false;
    o->ports = std::move(ports);
    if (const auto problem = PortsProblem(*o)) {
        *why = o->line + ": " + *problem;
        return false;
    }
    return true;
}

bool IdentMatches(const PortSpec &port, const std::string &ident)
{
    return port.ident.empty() || TrimEnd(ident) == port.ident;
}

std::string WrongSensor(const PortSpec &port, const std::string &ident)
{
    return "another sensor answers: it identifies as \"" + TrimEnd(ident) + "\", the line file names \"" + port.ident +
           "\"";
}

} // namespace cli

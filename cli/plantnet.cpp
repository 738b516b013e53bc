// SPDX-License-Identifier: MIT
// Topics and JSON for the plant network, named after the CSV's own columns so both say the same.
#include "cli/plantnet.h"

#include "core/csvrecord.h"

#include <string_view>

namespace cli {

std::string TopicName(const PortSpec &port)
{
    return port.name.empty() ? PortFilePart(port) : port.name;
}

std::string SensorTopic(const std::string &prefix, const PortSpec &port, const char *leaf)
{
    return (prefix.empty() ? std::string() : prefix + "/") + TopicName(port) + "/" + leaf;
}

std::string MeasurementJson(std::chrono::system_clock::time_point when, DataBlock data)
{
    // The columns after "time" name the words in order: R, G, B, X, Y, INT, COL.
    std::string_view columns = csvrec::kColumns;
    columns.remove_prefix(columns.find(',') + 1);
    std::string json = "{\"time\":\"" + csvrec::Timestamp(when) + "\"";
    for (const uint16_t word : data) {
        const std::size_t comma = columns.find(',');
        json += ",\"" + std::string(columns.substr(0, comma)) + "\":" + std::to_string(word);
        columns.remove_prefix(comma == std::string_view::npos ? columns.size() : comma + 1);
    }
    return json + "}";
}

} // namespace cli

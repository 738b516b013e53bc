// SPDX-License-Identifier: MIT
// Liveness, alarms, MQTT, status and summary for each sensor of a watch, fed by the lines' threads and looked
// at by the log's thread.
#include "cli/lineservices.h"

#include "cli/plantnet.h"
#include "core/csvrecord.h"

#include <cstdio>

namespace cli {

namespace {

constexpr double kStopSeconds = 2.0; // an orderly end waits this long at most for the broker

std::chrono::system_clock::time_point FromMs(long long ms)
{
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
}

} // namespace

LineServices::LineServices(const Options &options, const std::vector<PortSpec> &ports)
    : options_(options), alarms_({options.onSilent, options.onBack})
{
    for (const PortSpec &p : ports) {
        auto s = std::make_unique<Sensor>();
        s->port = p;
        s->name = PortName(p);
        s->where = p.device.empty() ? "COM " + std::to_string(p.com) : p.device;
        sensors_.push_back(std::move(s));
    }
}

LineServices::~LineServices() = default;

bool LineServices::Start(double start, std::string *why)
{
    start_ = start;
    startWall_ = std::chrono::system_clock::now();
    for (auto &s : sensors_) {
        s->liveness = Liveness(options_.timeout, start);
        s->shownAt = start;
    }
    if (options_.mqtt.empty())
        return true;
    mqtt::Broker broker;
    if (!mqtt::ParseUrl(options_.mqtt, &broker, why))
        return false;
    prefix_ = broker.prefix;
    mqtt_ = std::make_unique<mqtt::Publisher>(broker);
    for (auto &s : sensors_)
        s->session = mqtt_->AddSession(SensorTopic(prefix_, s->port, "state"), kStateOffline);
    if (!mqtt_->Start(why))
        return false;
    return true;
}

void LineServices::Measured(std::size_t i, double now, std::chrono::system_clock::time_point when, DataBlock data)
{
    Sensor &s = *sensors_[i];
    s.lastGoodMs.store(std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count(),
                       std::memory_order_relaxed);
    s.lastGood.store(now, std::memory_order_relaxed);
    s.good.fetch_add(1, std::memory_order_relaxed);
    if (mqtt_)
        mqtt_->Publish(s.session, SensorTopic(prefix_, s.port, "measurement"), MeasurementJson(when, data));
}

std::vector<std::string> LineServices::Tick(double now)
{
    std::vector<std::string> told;
    for (auto &sp : sensors_) {
        Sensor &s = *sp;
        const Liveness::Change change = s.liveness.Look(now, s.lastGood.load(std::memory_order_relaxed));
        if (change == Liveness::Change::None)
            continue;
        // The wall-clock moment the state began: the last good pass, or for a sensor never heard the start.
        const long long goodMs = s.lastGoodMs.load(std::memory_order_relaxed);
        const std::string since = csvrec::Timestamp(goodMs > 0 ? FromMs(goodMs) : startWall_);
        const bool silent = change == Liveness::Change::Silent;
        if (mqtt_)
            mqtt_->Retain(s.session, silent ? kStateSilent : kStateOnline);
        if (change == Liveness::Change::Online)
            continue;
        alarms_.Tell(change, s.name, s.where, since);
        told.push_back(s.name +
                       (silent ? ": silent: no good pass since " + since : ": answering again since " + since));
    }
    for (std::string &note : alarms_.Collect())
        told.push_back(std::move(note));
    if (mqtt_)
        for (const std::string &note : mqtt_->TakeNotes())
            told.push_back("MQTT: " + note);
    return told;
}

std::string LineServices::Status(double now)
{
    std::string block;
    for (auto &sp : sensors_) {
        Sensor &s = *sp;
        const long good = s.good.load(std::memory_order_relaxed);
        const double rate = now > s.shownAt ? (good - s.shownGood) / (now - s.shownAt) : 0;
        s.shownGood = good;
        s.shownAt = now;
        const long long ms = s.lastGoodMs.load(std::memory_order_relaxed);
        const std::string last = ms > 0 ? csvrec::Timestamp(FromMs(ms)).substr(11, 12) : std::string("never");
        char line[256];
        std::snprintf(line, sizeof line, "%-16s %6.1f/s  %6ld misses  last good %s  %s", s.name.c_str(), rate,
                      s.misses.load(std::memory_order_relaxed), last.c_str(),
                      s.liveness.state() == Liveness::State::Silent ? "SILENT" : "");
        block += line;
        block += "\n";
    }
    return block;
}

std::vector<std::string> LineServices::Summary(double now) const
{
    std::vector<std::string> lines;
    const double seconds = now - start_;
    for (const auto &sp : sensors_) {
        const Sensor &s = *sp;
        const long good = s.good.load(), misses = s.misses.load();
        const long long ms = s.lastGoodMs.load();
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.1f", seconds > 0 ? good / seconds : 0.0);
        lines.push_back(s.name + ": " + std::to_string(good) + " measurements (" + rate + "/s), " +
                        std::to_string(misses) + " without a valid reply, last good pass " +
                        (ms > 0 ? csvrec::Timestamp(FromMs(ms)) : std::string("never")));
    }
    return lines;
}

std::vector<std::string> LineServices::Stop()
{
    std::vector<std::string> told;
    for (std::string &note : alarms_.Collect())
        told.push_back(std::move(note));
    if (!mqtt_)
        return told;
    mqtt_->Stop(kStopSeconds);
    for (const std::string &note : mqtt_->TakeNotes())
        told.push_back("MQTT: " + note);
    if (const long dropped = mqtt_->dropped(); dropped > 0)
        told.push_back("MQTT: " + std::to_string(dropped) + " of " + std::to_string(dropped + mqtt_->sent()) +
                       " measurements dropped while the broker could not take them");
    return told;
}

} // namespace cli

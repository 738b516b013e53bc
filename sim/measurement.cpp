// SPDX-License-Identifier: MIT
// The simulated sensor's measurement model: factory parameters, the drifting scene, noise and the colour number.
#include "measurement.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>

namespace sim {

namespace {

constexpr double kNoiseCounts = 10.0; // ADC noise of one scan, in counts
constexpr double kFullPower = 1000.0;
constexpr double kCycleSeconds = 20.0;
// The sensor's own words leave the factory as 0x0101, 0x0202, ...: a pattern that shows at a glance whether a
// block came back from a front end untouched.
constexpr uint16_t kOwnWordStep = 0x0101;

} // namespace

Block DefaultBlock()
{
    Block b{};
    b[SigWinHi] = 4000;
    b[SigWinLo] = 100;
    b[Power] = 800;
    b[Average] = 4;
    b[OutMode] = 0;
    b[Hold] = 10;
    for (std::size_t i = SensorOwn; i < Row1X; ++i)
        b[i] = static_cast<uint16_t>((i - SensorOwn + 1) * kOwnWordStep);
    const std::array<uint16_t, kTeachColumns> row1{1800, 1500, 120, 1200, 300};
    const std::array<uint16_t, kTeachColumns> row2{1000, 2200, 120, 1200, 300};
    std::copy(row1.begin(), row1.end(), b.begin() + Row1X);
    std::copy(row2.begin(), row2.end(), b.begin() + Row2X);
    return b;
}

uint16_t ColourNumber(const Block &ram, uint16_t x, uint16_t y, uint16_t intensity)
{
    if (!(ram[SigWinLo] < intensity && intensity < ram[SigWinHi]))
        return 0;
    auto inside = [&](std::size_t row) {
        const int64_t dx = int64_t(x) - ram[row];
        const int64_t dy = int64_t(y) - ram[row + 1];
        const int64_t radius = ram[row + 2];
        const int64_t di = int64_t(intensity) - ram[row + 3];
        return dx * dx + dy * dy <= radius * radius && std::abs(di) <= int64_t(ram[row + 4]);
    };
    return static_cast<uint16_t>((inside(Row1X) ? 1 : 0) | (inside(Row2X) ? 2 : 0));
}

Measurement DeriveMeasurement(uint16_t red, uint16_t green, uint16_t blue, const Block &ram)
{
    const uint32_t sum = uint32_t(red) + green + blue;
    const auto x = static_cast<uint16_t>(sum ? uint32_t(red) * kFullScale / sum : 0);
    const auto y = static_cast<uint16_t>(sum ? uint32_t(green) * kFullScale / sum : 0);
    const auto intensity = static_cast<uint16_t>(sum / 3);
    return {red, green, blue, x, y, intensity, ColourNumber(ram, x, y, intensity)};
}

std::array<double, 3> SceneColour(double seconds)
{
    constexpr double kTau = 2.0 * std::numbers::pi;
    constexpr double kDeg = std::numbers::pi / 180.0;
    const double hue = kTau * seconds / kCycleSeconds;
    // Saturation follows hue so the path crosses the factory teach rows: (X 1800, Y 1500) lies at
    // hue 43 deg / saturation 0.437 and (X 1000, Y 2200) at hue 116 deg / saturation 0.613, so each
    // row lights for about a second in every 20 s cycle.
    const double sat = 0.5258 + 0.1475 * std::sin(hue - 80.0 * kDeg);
    // Three channels offset by 120 deg keep R+G+B at 3*level, so INT only follows the slow level wobble,
    // which stays inside the factory INT tolerance at the factory power.
    const double level = 1500.0 * (1.0 + 0.1 * std::sin(kTau * seconds / 7.3));
    return {level * (1.0 + sat * std::cos(hue)), level * (1.0 + sat * std::cos(hue - kTau / 3.0)),
            level * (1.0 + sat * std::cos(hue - 2.0 * kTau / 3.0))};
}

Measurement ScanScene(double seconds, const Block &ram, std::mt19937 &rng)
{
    const std::array<double, 3> clean = SceneColour(seconds);
    const double power = std::min<double>(ram[Power], kFullPower) / kFullPower;
    const int scans = std::max<int>(1, ram[Average]);
    std::normal_distribution<double> noise(0.0, kNoiseCounts / std::sqrt(double(scans)));
    std::array<uint16_t, 3> raw{};
    for (std::size_t c = 0; c < 3; ++c)
        raw[c] = static_cast<uint16_t>(std::clamp(std::lround(clean[c] * power + noise(rng)), 0L, long(kFullScale)));
    return DeriveMeasurement(raw[0], raw[1], raw[2], ram);
}

} // namespace sim

// SPDX-License-Identifier: MIT
// Fits the tolerance-circle radii of the teach table so that colours the sensor could confuse do not overlap.
#include "teach/autoadjust.h"

#include "core/ScopeState.h"
#include "teach/graphs.h"
#include "teach/teach.h"
#include "core/controls.h"
#include "core/messages.h"
#include "ui/userint.h"

#include <cmath>
#include <string>

namespace {

constexpr int kCtoColumn = 2; // in ctt; column 3 on the panel
constexpr uint16_t kStartCto = 1;
constexpr uint8_t kFirstStep = 2;
constexpr uint8_t kLastStep = 200; // the largest CTO the adjustment gives

// The closed INT window of a row, computed signed: a tolerance above INT gives a negative lower end.
struct IntWindow {
    double lo, hi;
};
IntWindow WindowOf(const uint16_t (&row)[kTeachColumns])
{
    const int32_t intensity = row[3], tolerance = row[4];
    return {static_cast<double>(intensity - tolerance), static_cast<double>(intensity + tolerance)};
}

bool Intersect(const IntWindow &a, const IntWindow &b)
{
    return (a.lo <= b.lo && b.lo <= a.hi) || (b.lo <= a.lo && a.lo <= b.hi);
}

} // namespace

void AdjustCto(TeachRows ctt)
{
    for (auto &row : ctt)
        row[kCtoColumn] = kStartCto;
    for (uint8_t k = kFirstStep; k <= kLastStep; ++k) {
        for (int i = 0; i < kTeachRows; ++i) {
            bool conflict = false;
            const int32_t ri = ctt[i][kCtoColumn];
            for (int j = 0; j < kTeachRows && !conflict; ++j) {
                if (j == i)
                    continue;
                const double dx = std::fabs(static_cast<double>(int32_t(ctt[i][0]) - int32_t(ctt[j][0])));
                const double dy = std::fabs(static_cast<double>(int32_t(ctt[i][1]) - int32_t(ctt[j][1])));
                const auto d = static_cast<int32_t>(std::sqrt(dx * dx + dy * dy));
                const int32_t rj = ctt[j][kCtoColumn]; // already this step's value for a row handled before
                if (d > ri + rj)
                    continue; // the circles are apart
                conflict = Intersect(WindowOf(ctt[i]), WindowOf(ctt[j]));
            }
            if (!conflict)
                ctt[i][kCtoColumn] = k;
        }
    }
}

void AutoAdjust()
{
    const bool stopping = st.polling && st.poll == 1;
    st.poll = 0; // the adjustment redraws the zoom graph, which always ends live data
    GetPanelValues();
    // Both circles start at the smallest radius, on the panel and in the drawing alike.
    for (int r = 0; r < kTeachRows; ++r) {
        st.ctt[r][kCtoColumn] = kStartCto;
        SetTableCellVal(st.panel, TeachTable, MakePoint(kCtoColumn + 1, r + 1), kStartCto);
    }
    SetAxisScalingMode(st.panel, GraphData2, VAL_XAXIS, VAL_MANUAL, 0, kFullScale);
    SetAxisScalingMode(st.panel, GraphData2, VAL_LEFT_YAXIS, VAL_MANUAL, 0, kFullScale);
    SetCtrlAttribute(st.panel, GraphData2, ATTR_ZPLANE_POSITION, kZFront);
    DrawColourPlane(GraphData2, st.ctt);
    AdjustCto(st.ctt);
    SetPanelValues();
    DrawColourPlane(GraphData2, st.ctt);
    SetActiveCtrl(st.panel, GraphData2);
    std::string text = "Adjusted CTO:";
    for (int r = 0; r < kTeachRows; ++r)
        text += (r ? ", No. " : " No. ") + std::to_string(r) + " = " + std::to_string(st.ctt[r][kCtoColumn]);
    SetCtrlVal(st.panel, MessageLine, Stamped(StoppedFirst(stopping, text + " (Ctrl+Z undoes)")).c_str());
}

#pragma once

#include "core/MonitorSink.h"

// The colour words of the server monitor.
namespace MonitorColor {
constexpr MonitorRgb Dark = MakeRgb(37, 37, 38); // the pane's own background
constexpr MonitorRgb White = MakeRgb(255, 255, 255);
constexpr MonitorRgb Green = MakeRgb(75, 154, 67);
constexpr MonitorRgb Red = MakeRgb(203, 69, 69);
constexpr MonitorRgb Amber = MakeRgb(217, 167, 81);
constexpr MonitorRgb Bronze = MakeRgb(151, 120, 66);
constexpr MonitorRgb Cyan = MakeRgb(101, 185, 193);
constexpr MonitorRgb Teal = MakeRgb(43, 129, 139);
} // namespace MonitorColor

// Texts of the statistics panes and the message log.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace lumesk::monitor {

// 512B, 1.00KB, 1024.00KB, 1.00MB, 5.00GB: two decimals, halves away from zero.
std::string formatSize(std::int64_t bytes);

// Replaces the first A% (year), J% (quarter), Y% (month), Z% (week of the
// year), R% (day), P% (hour), N% (minute), S% (second), X% (weekday, 1 =
// Sunday) by their numbers; an empty pattern means "A%/Y%/R%/P%-N%-S%".
std::string formatDateTime(const std::tm& time, const std::string& pattern);

// "<9-5-3> message" for a line logged at 09:05:03.
std::string logLine(const std::tm& time, const std::string& message);

std::tm localNow();

}  // namespace lumesk::monitor

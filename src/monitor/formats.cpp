#include "monitor/formats.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace lumesk::monitor {

std::string formatSize(std::int64_t bytes) {
    if (bytes <= 0) return "0B";
    if (bytes < 1024) return std::to_string(bytes) + "B";
    const double d = static_cast<double>(bytes);
    double quotient;
    const char* unit;
    if (d - 1048576.0 < -0.0000001) {
        quotient = d / 1024.0;
        unit = "KB";
    } else if (d - 1073741824.0 < -0.0000001) {
        quotient = d / 1048576.0;
        unit = "MB";
    } else {
        quotient = d / 1073741824.0;
        unit = "GB";
    }
    // Round to hundredths, halves away from zero, before printing.
    const double hundredths = std::round(quotient * 100.0);
    char text[64];
    std::snprintf(text, sizeof text, "%.2f%s", hundredths / 100.0, unit);
    return text;
}

std::string formatDateTime(const std::tm& t, const std::string& pattern) {
    std::string text = pattern.empty() ? "A%/Y%/R%/P%-N%-S%" : pattern;
    const struct {
        const char* token;
        int value;
    } fields[] = {
        {"A%", t.tm_year + 1900},  {"J%", t.tm_mon / 3 + 1}, {"Y%", t.tm_mon + 1},
        {"Z%", t.tm_yday / 7 + 1}, {"R%", t.tm_mday},        {"P%", t.tm_hour},
        {"N%", t.tm_min},          {"S%", t.tm_sec},         {"X%", t.tm_wday + 1},
    };
    for (const auto& f : fields) {
        const auto at = text.find(f.token);
        if (at != std::string::npos) text.replace(at, 2, std::to_string(f.value));
    }
    return text;
}

std::string logLine(const std::tm& time, const std::string& message) {
    std::string line = "<";
    line += formatDateTime(time, "P%-N%-S%");
    line += "> ";
    line += message;
    return line;
}

std::tm localNow() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
#ifdef _WIN32
    localtime_s(&t, &now);
#else
    localtime_r(&now, &t);
#endif
    return t;
}

}  // namespace lumesk::monitor

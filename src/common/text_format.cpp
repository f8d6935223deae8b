#include "common/text_format.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "common/ui_message.h"

namespace qrv {

std::string Now_Text() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    size_t n = std::strftime(buf, sizeof buf, "%x %X", &tm);
    return std::string(buf, n);
}

void Send_Log(const std::string& kind, const std::string& description) {
    Send_UIMessage(MSG_LOG, {kind, Now_Text(), description});
}

std::string Format_Duration(long double seconds) {
    if (!std::isfinite(double(seconds))) return "0";
    // Round to four decimals, halves away from zero, then drop trailing zeros.
    long double scaled = std::round(seconds * 10000.0L);
    if (scaled == 0) return "0";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.4Lf", scaled / 10000.0L);
    std::string s = buf;
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
    if (s.rfind("0.", 0) == 0) s.erase(0, 1);
    else if (s.rfind("-0.", 0) == 0) s.erase(1, 1);
    return s;
}

} // namespace qrv

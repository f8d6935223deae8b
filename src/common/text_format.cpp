#include "common/text_format.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/language.h"
#include "common/ui_message.h"

namespace qrv {

namespace {

// True when the time category of the locale is the plain C/POSIX one (also
// in its UTF-8 forms "C.UTF-8", "C.utf8"), whose "%x" gives an ambiguous
// two-digit-year date.
bool Is_PlainTimeLocale() {
    const char* name = std::setlocale(LC_TIME, nullptr);
    return name == nullptr || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0 ||
           std::strncmp(name, "C.", 2) == 0;
}

// Decimal separator of the numeric locale ("." when none is set).
std::string Decimal_Point() {
    const std::lconv* lc = std::localeconv();
    if (lc == nullptr || lc->decimal_point == nullptr || lc->decimal_point[0] == '\0') return ".";
    return lc->decimal_point;
}

// The "%f " form of a size: value with two decimals, one space, the unit.
std::string Unit_Text(int64_t hundredths, const char* unit) { return Hundredths_Text(hundredths) + " " + unit; }

constexpr int64_t kKB = 1024;
constexpr int64_t kMB = 1024 * 1024;
constexpr int64_t kGB = 1024 * 1024 * 1024;

} // namespace

std::string Now_Text() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[128];
    size_t n = std::strftime(buf, sizeof buf, Is_PlainTimeLocale() ? "%Y-%m-%d %H:%M:%S" : "%x %X", &tm);
    return std::string(buf, n);
}

std::string Stamped_FileName(const std::string& text, const std::tm& t, const std::string& ext) {
    char date[32], time[64];
    std::strftime(date, sizeof date, "%Y%m%d", &t);
    const size_t n = std::strftime(time, sizeof time, "%X", &t);
    const std::string raw = text + "-" + date + " " + std::string(time, n);
    std::string name;
    for (char c : raw)
        if (c != 0 && !std::strchr(":/\\?<>\"|* ", c)) name.push_back(c);
    return name + ext;
}

void Send_Log(const std::string& kind, const std::string& description) {
    Send_Log(TSeverity::Info, kind, description);
}

void Send_Log(TSeverity severity, const std::string& kind, const std::string& description) {
    Send_UIMessage(Log_Event(severity, kind, Now_Text(), description));
}

std::string Format_Duration(long double seconds) {
    if (!std::isfinite(double(seconds))) return "0";
    // Round to four decimals, halves away from zero, then drop trailing zeros.
    // Built from integers with a point whatever the locale: the text is
    // stored in result files and read back by other programs.
    const long double scaled = std::round(seconds * 10000.0L);
    if (scaled == 0) return "0";
    const bool neg = scaled < 0;
    const long double mag = neg ? -scaled : scaled;
    if (!(mag < 1e36L)) return "0";
    const unsigned __int128 m = static_cast<unsigned __int128>(mag);
    std::string whole;
    for (unsigned __int128 q = m / 10000; q != 0; q /= 10)
        whole.insert(whole.begin(), char('0' + int(q % 10)));
    std::string frac;
    for (unsigned r = unsigned(m % 10000), k = 0; k < 4; ++k, r /= 10)
        frac.insert(frac.begin(), char('0' + int(r % 10)));
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
    return (neg ? "-" : "") + whole + (frac.empty() ? "" : "." + frac);
}

long double Round2_Even(long double x) {
    if (!std::isfinite(x)) return x;
    long double scaled = x * 100.0L;
    long double low = std::floor(scaled);
    long double frac = scaled - low;
    long double r;
    if (frac > 0.5L) r = low + 1;
    else if (frac < 0.5L) r = low;
    else r = std::fmod(low, 2.0L) == 0 ? low : low + 1;
    return r / 100.0L;
}

int64_t Round2_Hundredths(int64_t bytes, int64_t divisor) {
    if (divisor <= 0) return 0;
    // Exact: bytes * 100 fits in 128 bits for every 64-bit count.
    __int128 num = __int128(bytes) * 100;
    __int128 q = num / divisor;
    __int128 r = num % divisor;
    if (r < 0) { // floor division for negative counts
        r += divisor;
        q -= 1;
    }
    __int128 twice = r * 2;
    if (twice > divisor || (twice == divisor && (q % 2) != 0)) q += 1;
    return int64_t(q);
}

std::string Hundredths_Text(int64_t hundredths) {
    bool neg = hundredths < 0;
    uint64_t mag = neg ? uint64_t(0) - uint64_t(hundredths) : uint64_t(hundredths);
    char frac[8];
    std::snprintf(frac, sizeof frac, "%02u", unsigned(mag % 100));
    return (neg ? "-" : "") + std::to_string(mag / 100) + Decimal_Point() + frac;
}

std::string Size_Text(int64_t bytes) {
    int64_t s = Round2_Hundredths(bytes, kGB);
    if (s >= 100) return Unit_Text(s, "GB");
    s = Round2_Hundredths(bytes, kMB);
    if (s >= 100) return Unit_Text(s, "MB");
    s = Round2_Hundredths(bytes, kKB);
    if (s >= 100) return Unit_Text(s, "KB");
    return std::to_string(bytes) + "Byte";
}

std::string Format_Size(int64_t bytes) {
    int64_t s = Round2_Hundredths(bytes, kGB);
    if (s != 0) return Unit_Text(s, "GB");
    s = Round2_Hundredths(bytes, kMB);
    if (s != 0) return Unit_Text(s, "MB");
    return Unit_Text(Round2_Hundredths(bytes, kKB), "KB");
}

std::string Written_Text(int64_t bytes) {
    std::string digits = std::to_string(bytes);
    size_t n = digits.size() - (bytes < 0 ? 1 : 0);
    if (n < 4) return digits + "Byte";
    if (n <= 6) return Unit_Text(Round2_Hundredths(bytes, kKB), "KB");
    if (n <= 9) return Unit_Text(Round2_Hundredths(bytes, kMB), "MB");
    return Unit_Text(Round2_Hundredths(bytes, kGB), "GB");
}

std::string Elapsed_Text(int64_t seconds) {
    if (seconds < 0) seconds = 0; // a clock set back shows zero, not negative parts
    int64_t d = seconds / 86400, h = seconds / 3600, m = seconds / 60;
    return Tr("已用时:") + std::to_string(h - 24 * d) + Tr("小时") + std::to_string(m - 60 * h) + Tr("分") +
           std::to_string(seconds - 60 * m) + Tr("秒");
}

std::string Progress_CounterText(int64_t writtenBytes, int64_t judgedBlocks) {
    if (judgedBlocks != 0) return Tr("已判断块数:") + std::to_string(judgedBlocks);
    if (writtenBytes != 0) return Tr("已写入:") + Written_Text(writtenBytes);
    return {};
}

std::string Position_Text(int64_t us) {
    if (us < 0) us = 0;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.2lld:%.2d:%.2d.%.3d", (long long)(us / 3600000000LL),
                  int(us / 60000000LL % 60), int(us / 1000000LL % 60), int(us % 1000000LL * 1000 / 1000000));
    return buf;
}

} // namespace qrv

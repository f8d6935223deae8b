#include "scan/metadata.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <span>
#include <vector>

#include "common/byte_order.h"
#include "common/op_state.h"
#include "common/text_encoding.h"
#include "common/text_format.h"
#include "media/raw_access.h"
#include "platform/time_zone.h"

namespace qrv {

namespace {

// Distance the recorder clock is moved by when its seconds since 1904 become
// seconds since 1970. It is 8 hours more than the exact epoch distance
// (2,082,844,800): the recorders keep China time in a field meant for UTC, and
// the reader takes those 8 hours off again before the zone offset is applied.
constexpr int64_t kRecorderEpochShift = 2082873600;

constexpr int64_t kModelReadMax = 65536;

int64_t BE32s_At(std::span<const uint8_t> b, int64_t off) {
    return int32_t(BE32_At(b, off));
}
int64_t BE64s_At(std::span<const uint8_t> b, int64_t off) {
    return int64_t(BE64_At(b, off));
}

bool Is_HeadBoxType(std::span<const uint8_t> b, bool generic) {
    static const char* const kTypes[] = {"free", "mdat", "moov", "ftyp", "udta", "frea"};
    for (const char* t : kTypes)
        if (Bytes_Equal(b, 4, t, 4)) return true;
    // Other writers put these at the top level too.
    static const char* const kGeneric[] = {"wide", "skip", "uuid", "meta", "pdin", "junk"};
    if (generic)
        for (const char* t : kGeneric)
            if (Bytes_Equal(b, 4, t, 4)) return true;
    return false;
}

bool Is_Lower(uint8_t c) {
    return c >= 'a' && c <= 'z';
}

// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t Days_FromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void Civil_FromDays(int64_t z, int64_t& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = yoe + era * 400;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = int(doy - (153 * mp + 2) / 5 + 1);
    m = int(mp < 10 ? mp + 3 : mp - 9);
    y += m <= 2;
}

constexpr int64_t kDelphiEpochDays = -25569; // 1899-12-30 counted from 1970-01-01

int Days_InMonth(int y, int m) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
    return kDays[m - 1];
}

} // namespace

std::string Decode_ModelText(const uint8_t* bytes, size_t len) {
    const std::string_view raw(reinterpret_cast<const char*>(bytes), len);
    std::string text = Is_ValidUtf8(raw) ? std::string(raw) : Gb18030_ToUtf8(raw);
    auto blank = [](char c) { return uint8_t(c) <= 0x20 || uint8_t(c) == 0x7F; };
    size_t a = 0, b = text.size();
    while (a < b && blank(text[a]))
        ++a;
    while (b > a && blank(text[b - 1]))
        --b;
    return text.substr(a, b - a);
}

int Get_HeadAtom(TSource& h, int64_t unit, int64_t& pos, int64_t& size, int64_t headOff, bool generic) {
    if (unit <= 0 || headOff < 0 || unit > (INT64_MAX / 4)) return -1;
    const int64_t limit = 4 * unit;
    int64_t p = 0;
    while (p < limit) {
        if (headOff > INT64_MAX - p) return -1;
        std::vector<uint8_t> buf = Get_Bytes(h, 512, headOff + p);
        if (buf.size() < 16) return -1;
        std::span<const uint8_t> b(buf);
        if (!Is_HeadBoxType(b, generic)) return -1;
        pos = p;
        int64_t s = BE32s_At(b, 0);
        if (s <= 0) return -1;
        if (s == 1) {
            if (!Tag_At(b, 4, "mdat")) return -1;
            s = BE64s_At(b, 8);
            if (s <= 0) return -1;
        }
        if (Tag_At(b, 4, "mdat")) {
            size = s;
            return 0;
        }
        if (Tag_At(b, 4, "moov")) return 1;
        if (s >= limit - p) return -1; // the next box would start at or past the limit
        p += s;
    }
    return -1;
}

namespace {

// The child boxes of a movie box, read 64 KiB at a time: a box walk looks at
// the first bytes of each child only, and a movie box can hold hundreds of
// children (or, in random data that happens to look like one, thousands of
// candidates, each walked). A window the medium does not deliver whole before
// its end is not used: the walk then reads each child on its own, so that a
// bad sector further on cannot change what a child reads as.
class TChildReader {
  public:
    explicit TChildReader(TSource& h) : h_(h) {}
    // kChildBytes bytes at p, zeros where the medium has none.
    std::span<const uint8_t> At(int64_t p) {
        if (p >= from_ && p + kChildBytes <= from_ + int64_t(window_.size()))
            return {window_.data() + (p - from_), size_t(kChildBytes)};
        if (whole_) {
            const int64_t aligned = p - p % 512;
            window_.assign(size_t(kWindow), 0);
            const int64_t got = h_.Read_At(window_.data(), window_.size(), aligned);
            const int64_t size = got == kWindow ? -1 : h_.Size();
            if (got == kWindow || (got >= 0 && size >= 0 && aligned + got >= size)) {
                from_ = aligned;
                return {window_.data() + (p - from_), size_t(kChildBytes)};
            }
            whole_ = false;
            from_ = -1;
            window_.clear();
        }
        single_ = Get_Bytes(h_, kChildBytes, p);
        if (single_.size() != size_t(kChildBytes)) return {};
        return single_;
    }
    static constexpr int64_t kChildBytes = 64; // box header, version, mvhd's four fields
  private:
    static constexpr int64_t kWindow = 65536;
    TSource& h_;
    std::vector<uint8_t> window_, single_;
    int64_t from_ = -1;
    bool whole_ = true;
};

} // namespace

void Get_MoovInfo(const TTreeData& /*node*/, TSource& h, int /*mode*/, TMoovCon& out, int64_t scanEnd,
                  int64_t moovOff, int timeStandard) {
    out = TMoovCon{};
    if (moovOff < 0) return;
    std::vector<uint8_t> head = Get_Bytes(h, 1024, moovOff);
    if (head.size() < 8) return;
    const int64_t S = BE32s_At(head, 0);
    if (S <= 0) return;
    const int64_t end = moovOff + S + 8; // also reads the header of the box after the movie box
    if (end > scanEnd) return;
    out.MoovOff = moovOff;
    out.MoovLen = S;

    // The last mvhd's fields, formatted once the walk is over.
    bool dated = false;
    int64_t created = 0;
    uint32_t scale = 0, duration = 0;
    TChildReader children(h);
    [&] {
        int64_t p = moovOff + 8;
        while (p < end) {
            std::span<const uint8_t> b = children.At(p);
            if (b.size() < 16) return;
            int64_t size = BE32s_At(b, 0);
            if (size < 1) return;
            int64_t hdr = 8;
            if (size == 1) {
                size = BE64s_At(b, 8);
                hdr = 16;
            }
            if (!Is_Lower(b[4]) || !Is_Lower(b[5])) return;
            if (size <= 0 || size > scanEnd - p) return; // ends beyond what was scanned

            if (Tag_At(b, 4, "udta")) {
                out.CamerModel = Get_CamerModel(h, p + size, p);
                out.MoovFree_Len = uint32_t(size);
                out.MoovFree_Soff = p;
                out.MoovGood = true;
                return;
            }
            if (size > S) return;
            if (Tag_At(b, 4, "trak")) {
                out.trakcnt += 1;
                out.track.push_back(TAtom{p, size});
            } else if (Tag_At(b, 4, "mvhd")) {
                // Version-0 layout after the version and flags word: creation time,
                // modification time, time scale, duration (32-bit each).
                const int64_t f = hdr + 4;
                if (size >= f + 16 && Fits(b, f, 16)) {
                    dated = true;
                    created = int64_t(BE32_At(b, f));
                    scale = BE32_At(b, f + 8);
                    duration = BE32_At(b, f + 12);
                }
            }
            p += size;
        }
    }();
    if (!dated) return;
    double dt = Get_LocalTime(created - kRecorderEpochShift);
    if (timeStandard == TIMESTD_CHINA) dt += 1.0 / 3.0;
    out.CreateTime = Format_DateTime(dt);
    out.Durting = scale == 0 ? "0" : Format_Duration((long double)duration / (long double)scale);
}

std::string Get_CamerModel(TSource& h, int64_t udtaEnd, int64_t udtaOff) {
    if (udtaOff < 0 || udtaOff > INT64_MAX - 8) return {};
    int64_t len = udtaEnd - (udtaOff + 8);
    // An empty box holds no item; reading past it would take a model from
    // whatever follows.
    if (len <= 0) return {};
    if (len > kModelReadMax) len = kModelReadMax;
    std::vector<uint8_t> buf = Get_Bytes(h, len, udtaOff + 8);
    if (int64_t(buf.size()) != len) return {};
    std::span<const uint8_t> b(buf);
    int64_t q = 0;
    while (q < len) {
        if (!Fits(b, q, 8)) return {};
        const int64_t size = BE32s_At(b, q);
        if (size <= 0) return {};
        if (b[q + 4] == 0xA9 && b[q + 5] == 0x69 && b[q + 6] == 0x6E && b[q + 7] == 0x66) {
            if (size < 12 || size > len - q) return {};
            return Decode_ModelText(&b[q + 12], size_t(size - 12));
        }
        q += size;
    }
    return {};
}

double Get_LocalTime(int64_t secondsSince1970) {
    return (double(secondsSince1970) - double(Get_TimeZoneBias()) * 60.0) / 86400.0 + 25569.0;
}

double Encode_DateTime(int y, int mo, int d, int h, int mi, int s) {
    const int64_t days = Days_FromCivil(y, mo, d) - kDelphiEpochDays;
    return double(days) + double(int64_t(h) * 3600 + int64_t(mi) * 60 + s) / 86400.0;
}

std::string Format_DateTime(double dt) {
    if (!std::isfinite(dt) || std::fabs(dt) > 1e8) return "0000-00-00 00:00:00";
    const int64_t total = std::llround(dt * 86400.0);
    int64_t days = total / 86400, secs = total % 86400;
    if (secs < 0) secs += 86400, days -= 1;
    int64_t y;
    int m, d;
    Civil_FromDays(days + kDelphiEpochDays, y, m, d);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04lld-%02d-%02d %02d:%02d:%02d", (long long)y, m, d, int(secs / 3600),
                  int(secs / 60 % 60), int(secs % 60));
    return buf;
}

std::optional<double> Parse_DateTime(const std::string& text) {
    if (text.size() < 19) return std::nullopt;
    auto num = [&](size_t from1, size_t count, int& v) {
        v = 0;
        for (size_t i = from1 - 1; i < from1 - 1 + count; ++i) {
            if (text[i] < '0' || text[i] > '9') return false;
            v = v * 10 + (text[i] - '0');
        }
        return true;
    };
    int y, mo, d, hh, mi, ss;
    if (!num(1, 4, y) || !num(6, 2, mo) || !num(9, 2, d) || !num(12, 2, hh) || !num(15, 2, mi) ||
        !num(18, 2, ss))
        return std::nullopt;
    if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > Days_InMonth(y, mo) || hh > 23 || mi > 59 || ss > 59)
        return std::nullopt;
    return Encode_DateTime(y, mo, d, hh, mi, ss);
}

bool Check_DateRange(const std::string& createTime, double from, double to) {
    if (createTime.empty()) return false;
    std::optional<double> v = Parse_DateTime(createTime);
    if (!v) return false;
    return from <= *v && *v <= to;
}

} // namespace qrv

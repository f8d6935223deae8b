#include "scan/movie_generic.h"

#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "common/op_state.h"
#include "common/text_format.h"
#include "media/raw_access.h"
#include "scan/metadata.h"

namespace qrv {

namespace {

// Seconds from 1904-01-01 to 1970-01-01: movie times are UTC by the format.
constexpr int64_t kMovieEpochShift = 2082844800;

constexpr int64_t kUdtaReadMax = 65536;
constexpr int64_t kChildHeader = 64; // box header, version, and mvhd's v1 fields

// Child boxes a movie box may open with.
bool Is_MovieChildType(const uint8_t* t) {
    static const char* const kTypes[] = {"mvhd", "udta", "meta", "iods", "trak",
                                         "free", "skip", "wide", "uuid", "prfl"};
    for (const char* k : kTypes)
        if (std::memcmp(t, k, 4) == 0) return true;
    return false;
}

bool Is_BoxTypeChar(uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' ||
           c == 0xA9;
}

// One child box header inside a parent's payload: its size (header included)
// and where its payload starts. False when it does not fit what is left.
bool Child_At(std::span<const uint8_t> parent, size_t off, size_t& size, size_t& header) {
    if (!Fits(parent, int64_t(off), 8)) return false;
    const size_t left = parent.size() - off;
    uint64_t s = Get_BE32(&parent[off]);
    header = 8;
    if (s == 1) {
        if (!Fits(parent, int64_t(off) + 8, 8)) return false;
        s = Get_BE64(&parent[off + 8]);
        header = 16;
    } else if (s == 0) {
        s = left;
    }
    if (s < header || s > left) return false;
    size = size_t(s);
    return true;
}

// Text of a QuickTime user-data string item's payload: a 16-bit length and a
// 16-bit language code, then the text.
std::string Item_Text(std::span<const uint8_t> item) {
    if (item.size() < 4) return {};
    const size_t n = Get_BE16(item.data());
    if (n == 0 || n > item.size() - 4) return {};
    return Decode_ModelText(item.data() + 4, n);
}

} // namespace

bool Is_GenericMovieAt(const uint8_t* p, bool sizeKnown) {
    if (std::memcmp(p, "moov", 4) != 0) return false;
    if (!Is_MovieChildType(p + 8)) return false;
    const uint32_t child = Get_BE32(p + 4);
    if (child < 8 && child != 1) return false;
    if (sizeKnown) {
        const uint32_t size = Get_BE32(p - 4);
        if (size < 16 || child > size - 8) return false;
    }
    return true;
}

int64_t Find_GenericMovie(const uint8_t* buf, int64_t from, int64_t to) {
    int64_t i = from;
    while (i < to) {
        const void* hit = memmem(buf + i, size_t(to - i) + 3, "moov", 4);
        if (hit == nullptr) return to;
        i = static_cast<const uint8_t*>(hit) - buf;
        if (i >= to) return to;
        if (Is_GenericMovieAt(buf + i, i >= 4)) return i;
        ++i;
    }
    return to;
}

TMvhdFields Parse_Mvhd(std::span<const uint8_t> b) {
    TMvhdFields f;
    if (!Fits(b, 0, 4)) return f;
    const uint8_t version = b[0];
    if (version == 0) {
        if (!Fits(b, 4, 16)) return f;
        f.Created = BE32_At(b, 4);
        f.Scale = BE32_At(b, 12);
        f.Duration = BE32_At(b, 16);
    } else if (version == 1) {
        if (!Fits(b, 4, 28)) return f;
        f.Created = BE64_At(b, 4);
        f.Scale = BE32_At(b, 20);
        f.Duration = BE64_At(b, 24);
    } else {
        return f;
    }
    f.Ok = true;
    return f;
}

std::string Udta_Model(std::span<const uint8_t> payload) {
    std::string make, model, info;
    for (size_t off = 0; off < payload.size();) {
        size_t size = 0, header = 0;
        // A udta box may end in a 32-bit zero terminator.
        if (payload.size() - off == 4 && BE32_At(payload, int64_t(off)) == 0) break;
        if (!Child_At(payload, off, size, header)) break;
        const uint8_t* t = &payload[off + 4];
        const auto item = payload.subspan(off + header, size - header);
        if (t[0] == 0xA9 && std::memcmp(t + 1, "mak", 3) == 0 && make.empty())
            make = Item_Text(item);
        else if (t[0] == 0xA9 && std::memcmp(t + 1, "mod", 3) == 0 && model.empty())
            model = Item_Text(item);
        else if (t[0] == 0xA9 && std::memcmp(t + 1, "inf", 3) == 0 && info.empty() && item.size() > 4)
            info = Decode_ModelText(item.data() + 4, item.size() - 4);
        off += size;
    }
    if (!make.empty() && !model.empty()) {
        // Many makers repeat the make at the head of the model.
        if (model.compare(0, make.size(), make) == 0) return model;
        return make + " " + model;
    }
    if (!model.empty()) return model;
    if (!make.empty()) return make;
    return info;
}

TNalFormat Parse_SampleEntry(std::span<const uint8_t> stsd, bool& ok) {
    ok = false;
    TNalFormat f;
    // stsd: version/flags, entry count, then the first sample entry.
    if (BE32_At(stsd, 4) == 0) return f;
    size_t size = 0, header = 0;
    if (!Child_At(stsd, 8, size, header)) return f;
    const uint8_t* t = &stsd[8 + 4];
    const bool avc = std::memcmp(t, "avc1", 4) == 0 || std::memcmp(t, "avc3", 4) == 0;
    const bool hevc = std::memcmp(t, "hvc1", 4) == 0 || std::memcmp(t, "hev1", 4) == 0;
    if (!avc && !hevc) return f;
    // A visual sample entry holds 78 bytes of fields ahead of its child boxes.
    constexpr size_t kVisualFields = 78;
    const auto entry = stsd.subspan(8 + header, size - header);
    if (entry.size() < kVisualFields) return f;
    const auto children = entry.subspan(kVisualFields);
    for (size_t off = 0; off < children.size();) {
        size_t cs = 0, ch = 0;
        if (!Child_At(children, off, cs, ch)) return f;
        const uint8_t* ct = &children[off + 4];
        const auto config = children.subspan(off + ch, cs - ch);
        if (avc && std::memcmp(ct, "avcC", 4) == 0) {
            // AVCDecoderConfigurationRecord: version 1, length size - 1 in byte 4.
            if (config.size() < 7 || config[0] != 1) return f;
            f.Codec = NAL_H264;
            f.LengthSize = uint8_t((config[4] & 3) + 1);
            ok = f.LengthSize != 3;
            return f;
        }
        if (hevc && std::memcmp(ct, "hvcC", 4) == 0) {
            // HEVCDecoderConfigurationRecord: version 1, 22 bytes of profile and
            // format fields, length size - 1 in the low bits of byte 21.
            if (config.size() < 23 || config[0] != 1) return f;
            f.Codec = NAL_H265;
            f.LengthSize = uint8_t((config[21] & 3) + 1);
            ok = f.LengthSize != 3;
            return f;
        }
        off += cs;
    }
    return f;
}

void Get_MoovInfo_Generic(TSource& h, TMoovCon& out, int64_t scanEnd, int64_t moovOff, int timeStandard) {
    out = TMoovCon{};
    if (moovOff < 0) return;
    std::vector<uint8_t> head = Get_Bytes(h, 16, moovOff);
    if (head.size() < 16 || std::memcmp(head.data() + 4, "moov", 4) != 0) return;
    const int64_t S = int64_t(Get_BE32(head.data()));
    if (S < 16 || S > scanEnd - moovOff) return;
    const int64_t end = moovOff + S;
    TMvhdFields mvhd;
    int64_t p = moovOff + 8;
    while (p < end) {
        std::vector<uint8_t> buf = Get_Bytes(h, std::min<int64_t>(kChildHeader, end - p), p);
        std::span<const uint8_t> b(buf);
        if (!Fits(b, 0, 8)) return;
        int64_t size = int64_t(Get_BE32(b.data()));
        int64_t header = 8;
        if (size == 1) {
            if (!Fits(b, 8, 8)) return;
            const uint64_t large = Get_BE64(b.data() + 8);
            if (large > uint64_t(INT64_MAX)) return;
            size = int64_t(large);
            header = 16;
        } else if (size == 0) {
            size = end - p;
        }
        if (size < header || size > end - p) return;
        for (int k = 4; k < 8; ++k)
            if (!Is_BoxTypeChar(b[size_t(k)])) return;
        if (Tag_At(b, 4, "trak")) {
            out.trakcnt += 1;
            out.track.push_back(TAtom{p, size});
        } else if (Tag_At(b, 4, "mvhd")) {
            mvhd = Parse_Mvhd(
                b.subspan(size_t(header), size_t(std::min<int64_t>(size, int64_t(b.size())) - header)));
        } else if (Tag_At(b, 4, "udta") && out.CamerModel.empty()) {
            const int64_t n = std::min(size - header, kUdtaReadMax);
            std::vector<uint8_t> udta = Get_Bytes(h, n, p + header);
            if (int64_t(udta.size()) == n) out.CamerModel = Udta_Model(udta);
        }
        p += size;
    }
    if (p != end || !mvhd.Ok || out.trakcnt == 0) return;
    out.MoovOff = moovOff;
    out.MoovLen = S;
    // The file head ends with the movie box itself (the camera's ends with
    // its closing udta box, which is the movie box's last child).
    out.MoovFree_Soff = end;
    out.MoovFree_Len = 0;
    out.MoovGood = true;
    if (mvhd.Created > uint64_t(INT64_MAX / 2)) mvhd.Created = 0;
    double dt = Get_LocalTime(int64_t(mvhd.Created) - kMovieEpochShift);
    if (timeStandard == TIMESTD_CHINA) dt += 1.0 / 3.0;
    out.CreateTime = Format_DateTime(dt);
    out.Durting =
        mvhd.Scale == 0 ? "0" : Format_Duration((long double)mvhd.Duration / (long double)mvhd.Scale);
}

std::string Ftyp_Brand(TSource& h, int64_t ftypOff) {
    std::vector<uint8_t> b = Get_Bytes(h, 12, ftypOff);
    if (b.size() < 12 || std::memcmp(b.data() + 4, "ftyp", 4) != 0) return {};
    std::string brand(reinterpret_cast<const char*>(b.data() + 8), 4);
    for (char c : brand)
        if (!Is_BoxTypeChar(uint8_t(c))) return {};
    while (!brand.empty() && brand.back() == ' ')
        brand.pop_back();
    return brand;
}

} // namespace qrv

#include "scan/movie_boxes.h"

#include <cstring>
#include <stdexcept>

#include "common/byte_order.h"
#include "scan/records.h"

namespace qrv::test {

TBytes Box(const char* type, const TBytes& payload) {
    TBytes b(8);
    Put_BE32(b.data(), uint32_t(8 + payload.size()));
    std::memcpy(b.data() + 4, type, 4);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

TBytes Cat(std::initializer_list<TBytes> parts) {
    TBytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

static TBytes BE32s(std::initializer_list<uint32_t> vals) {
    TBytes b;
    for (uint32_t v : vals) {
        uint8_t w[4];
        Put_BE32(w, v);
        b.insert(b.end(), w, w + 4);
    }
    return b;
}

TBytes Make_Moov(const TMoviePlan& s) {
    TBytes mvhdPayload(s.MvhdSize - 8, 0);
    Put_BE32(&mvhdPayload[4], s.Creation);
    Put_BE32(&mvhdPayload[8], s.Creation);
    Put_BE32(&mvhdPayload[12], s.TimeScale);
    Put_BE32(&mvhdPayload[16], s.Duration);
    TBytes mvhd = Box("mvhd", mvhdPayload);

    const uint32_t n = uint32_t(s.Sizes.size());
    TBytes stsc = Box("stsc", BE32s({0, 1, 1, n, 1}));
    TBytes stszPayload = BE32s({0, 0, n});
    for (uint32_t v : s.Sizes) {
        TBytes e = BE32s({v});
        stszPayload.insert(stszPayload.end(), e.begin(), e.end());
    }
    TBytes stsz = Box("stsz", stszPayload);
    TBytes stco = Box("stco", BE32s({0, 1, s.ChunkOffset}));
    TBytes stbl = Box("stbl", Cat({stsc, stsz, stco}));
    TBytes vmhd = Box("vmhd", TBytes(12, 0));
    TBytes minf = Box("minf", Cat({vmhd, stbl}));
    TBytes hdlr = Box("hdlr", Cat({TBytes(8, 0), TBytes{'v', 'i', 'd', 'e'}, TBytes(13, 0)}));
    TBytes mdia = Box("mdia", Cat({hdlr, minf}));
    TBytes tkhd = Box("tkhd", TBytes(84, 0));
    TBytes trak = Box("trak", Cat({tkhd, mdia}));

    TBytes item(12);
    Put_BE32(item.data(), uint32_t(12 + s.Model.size()));
    item[4] = 0xA9, item[5] = 0x69, item[6] = 0x6E, item[7] = 0x66;
    item.insert(item.end(), s.Model.begin(), s.Model.end());
    TBytes udta = Box("udta", item);
    return Box("moov", Cat({mvhd, trak, udta}));
}

int64_t Media_End(const TMoviePlan& s) {
    int64_t e = s.ChunkOffset;
    for (uint32_t v : s.Sizes)
        e += v;
    return e;
}

TBytes Make_Ftyp() {
    return Box("ftyp", TBytes{'i', 's', 'o', 'm', 0, 0, 2, 0, 'i', 's', 'o', 'm', 'm', 'p', '4', '1'});
}

TBytes Make_HeadMoov(const TMoviePlan& plan) {
    return Cat({Make_Ftyp(), Make_Moov(plan)});
}

TBytes Make_HeadMdat(uint32_t mdatSize) {
    TBytes mdat(8);
    Put_BE32(mdat.data(), mdatSize);
    std::memcpy(mdat.data() + 4, "mdat", 4);
    return Cat({Make_Ftyp(), Box("free", {}), mdat});
}

TBytes Noise(size_t n, uint32_t seed) {
    // Bytes 0x80..0xBF only: no zero byte, no letter, no FF, so no signature
    // can be formed by chance.
    TBytes b(n);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b[i] = uint8_t(0x80 | (x & 0x3F));
    }
    return b;
}

void Put(TBytes& medium, int64_t off, const TBytes& bytes) {
    if (off < 0 || uint64_t(off) + bytes.size() > medium.size())
        throw std::out_of_range("Put outside the medium");
    std::memcpy(medium.data() + off, bytes.data(), bytes.size());
}

std::vector<TFinding> Findings(TScanSession& session) {
    std::vector<TFinding> out;
    for (int64_t i = 0; i < session.Scans.Count(); ++i)
        out.push_back({session.Scans.Get(i).Fragmentype, session.Scans.Get(i).FragmentOff});
    return out;
}

} // namespace qrv::test

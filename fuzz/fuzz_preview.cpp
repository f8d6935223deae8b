// The preview sample builder over arbitrary result records (a loaded result
// file is untrusted): every offset, length, fill and count at any value. The
// sample goes to /dev/null; the medium is a small pattern in memory.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "export/preview_sample.h"
#include "scan/records.h"

using namespace qrv;

namespace {

// Takes fixed-size values from the input; zeros once it runs out.
struct TReader {
    const uint8_t* p;
    size_t n;
    template <class T> T Take() {
        T v{};
        const size_t k = n < sizeof v ? n : sizeof v;
        std::memcpy(&v, p, k);
        p += k;
        n -= k;
        return v;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TMemorySource src([] {
        std::vector<uint8_t> m(1 << 16);
        for (size_t i = 0; i < m.size(); ++i)
            m[i] = uint8_t(i * 131 + 7);
        return m;
    }());
    TReader in{data, size};
    TRebuildResult r;
    const uint8_t layout = in.Take<uint8_t>();
    r.CamerType = layout % 3 == 0 ? 0 : layout % 3 == 1 ? 2 : layout; // mostly the two real layouts
    r.HeadFlag = in.Take<uint8_t>() & 1;
    r.Video_FirLogSoff = in.Take<int32_t>();
    r.HeadLenx = in.Take<int64_t>();
    r.Fragmenum = in.Take<int8_t>();
    const int entries = in.Take<uint8_t>() % 8;
    for (int i = 0; i < entries; ++i) {
        TFragmenArr e;
        const uint8_t flags = in.Take<uint8_t>();
        e.FragmenType = flags & 3;
        e.ChongHeFlag = flags & 4;
        e.FragmeSnum = (flags & 8) ? in.Take<int32_t>() : (flags & 16 ? -1 : 0);
        e.FragmenSoff = in.Take<int64_t>();
        e.FragmenEoff = in.Take<int64_t>();
        e.FragmentLastSoff = in.Take<int64_t>();
        e.FragmentLastEoff = in.Take<int64_t>();
        e.FragmentFreeSpace = in.Take<int64_t>();
        if (flags & 32) e.FragmentLastErySoff = in.Take<int64_t>();
        if (flags & 64) e.FragmentLastErySoff = -int64_t(in.Take<uint8_t>()) - 1; // an unusable copy start
        if (flags & 128) {
            e.LastFragmenum = 1;
            e.LastFragmen.FragmentLastSoff = in.Take<int64_t>();
            e.LastFragmen.FragmentLastEoff = in.Take<int64_t>();
            e.LastFragmen.FragmentUpFreeSpace = in.Take<int64_t>();
            e.LastFragmen.FragmentDownFreeSpace = in.Take<int64_t>();
        }
        r.FragmenArray.push_back(e);
    }
    static const TOutputGuard guard = TOutputGuard::Without_Sources();
    auto out = TOutputFile::Create("/dev/null", guard);
    if (out) Build_PreviewSample(r, src, *out);
    return 0;
}

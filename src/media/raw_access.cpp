#include "media/raw_access.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace qrv {

std::string Get_SourcePath(const TTreeData& node) {
    switch (node.Hddtype) {
    case HDD_PHYSICAL:
        return node.HddNumber;
    case HDD_VOLUME:
    case HDD_IMAGE:
        return node.HddModel;
    case HDD_REGION:
        if (node.HddNumber.rfind("/dev/", 0) == 0) return node.HddNumber;
        return node.HddModel;
    default:
        return node.HddModel;
    }
}

// Largest single probe accepted; anything above is a corrupt size field, not a read.
static constexpr int64_t kMaxProbe = int64_t(1) << 31;

std::vector<uint8_t> Get_Bytes(TSource& h, int64_t count, int64_t offset) {
    if (count <= 0 || offset < 0 || count > kMaxProbe) return {};
    try {
        const int64_t lead = offset % 512;
        const int64_t aligned = offset - lead;
        const int64_t work = (count / 512) * 512 + 1024;
        std::vector<uint8_t> buf(size_t(work), 0);
        h.Read_At(buf.data(), buf.size(), aligned); // short or failed reads leave zeros
        return std::vector<uint8_t>(buf.begin() + lead, buf.begin() + lead + count);
    } catch (const std::bad_alloc&) {
        return {};
    }
}

int64_t Read_Block(TSource& h, uint8_t* buf, size_t len, int64_t offset) {
    std::memset(buf, 0, len);
    return h.Read_At(buf, len, offset);
}

void Add_UnreadRun(std::vector<TUnreadRun>& runs, TUnreadRun run) {
    if (run.Len <= 0) return;
    if (!runs.empty() && run.Off <= runs.back().End() && run.Off >= runs.back().Off) {
        runs.back().Len = std::max(runs.back().End(), run.End()) - runs.back().Off;
        return;
    }
    runs.push_back(run);
}

int64_t Read_Salvage(TSource& h, uint8_t* buf, size_t len, int64_t offset, int64_t sectorSize,
                     std::vector<TUnreadRun>* unread) {
    // The buffer is zeroed only where the read did not deliver: a whole
    // block read (the common case) costs no pass over it.
    const int64_t got = h.Read_At(buf, len, offset);
    if (got == int64_t(len)) return got;
    std::memset(buf + std::max<int64_t>(got, 0), 0, len - size_t(std::max<int64_t>(got, 0)));
    const int64_t size = h.Size();
    // With no known size a short read is taken for the end of the medium.
    if (size < 0) return got;
    const int64_t onMedium = std::clamp<int64_t>(size - offset, 0, int64_t(len));
    if (got >= onMedium) return onMedium;
    // Whatever a failed read left in the buffer is not trusted from the first
    // sector it did not deliver whole.
    const int64_t sec = sectorSize > 0 ? sectorSize : 512;
    const int64_t from = (std::max<int64_t>(got, 0) / sec) * sec;
    std::memset(buf + from, 0, len - size_t(from));
    for (int64_t at = from; at < onMedium; at += sec) {
        const int64_t want = std::min(sec, onMedium - at);
        int64_t n = h.Read_At(buf + at, size_t(want), offset + at);
        if (n == want) continue;
        n = std::max<int64_t>(n, 0);
        std::memset(buf + at + n, 0, size_t(want - n));
        if (unread) Add_UnreadRun(*unread, {offset + at + n, want - n});
    }
    return onMedium;
}

} // namespace qrv

#include "media/raw_access.h"

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

} // namespace qrv

#include "analysis/probe_batch.h"

#include <algorithm>
#include <cstring>

#include "common/checked_math.h"

namespace qrv {

namespace {
constexpr int64_t kSector = 512;
constexpr int64_t kProbeSpan = 2 * kSector; // a unit header never reaches past the next sector
} // namespace

void TProbeBatch::Prefetch(std::vector<int64_t> positions) {
    runs_.clear();
    data_.clear();
    std::sort(positions.begin(), positions.end());
    for (int64_t p : positions) {
        if (p < 0) continue;
        const int64_t from = p - ((p % kSector) + kSector) % kSector;
        int64_t to = from + kProbeSpan;
        // Joined with the run before when they touch: one read for both.
        if (!runs_.empty() && from <= runs_.back().Off + runs_.back().Got &&
            runs_.back().Got == int64_t(data_.size() - runs_.back().At)) {
            TRun& r = runs_.back();
            const int64_t end = r.Off + r.Got;
            if (to <= end) continue;
            const size_t at = data_.size();
            data_.resize(at + size_t(to - end), 0);
            int64_t got = h_.Read_At(data_.data() + at, size_t(to - end), end);
            if (got < 0) got = 0;
            data_.resize(at + size_t(got));
            r.Got += got;
            continue;
        }
        const size_t at = data_.size();
        data_.resize(at + size_t(to - from), 0);
        int64_t got = h_.Read_At(data_.data() + at, size_t(to - from), from);
        if (got < 0) got = 0;
        data_.resize(at + size_t(got));
        runs_.push_back({from, got, at});
    }
}

int64_t TProbeBatch::Read_At(void* buf, size_t len, int64_t off) {
    auto it =
        std::upper_bound(runs_.begin(), runs_.end(), off, [](int64_t o, const TRun& r) { return o < r.Off; });
    if (it != runs_.begin()) {
        const TRun& r = *std::prev(it);
        if (off >= r.Off && off + int64_t(len) <= r.Off + r.Got) {
            std::memcpy(buf, data_.data() + r.At + size_t(off - r.Off), len);
            return int64_t(len);
        }
    }
    return h_.Read_At(buf, len, off);
}

} // namespace qrv

#include "scan/unread_map.h"

#include <algorithm>

namespace qrv {

void TUnreadMap::Clear() {
    std::lock_guard<std::mutex> lk(mu_);
    runs_.clear();
}

void TUnreadMap::Add(TUnreadRun run) {
    if (run.Len <= 0) return;
    std::lock_guard<std::mutex> lk(mu_);
    // Runs arrive in medium order; one out of order is put in its place.
    auto at = std::upper_bound(runs_.begin(), runs_.end(), run.Off,
                               [](int64_t off, const TUnreadRun& r) { return off < r.Off; });
    if (at != runs_.begin() && std::prev(at)->End() >= run.Off) {
        --at;
        at->Len = std::max(at->End(), run.End()) - at->Off;
    } else {
        at = runs_.insert(at, run);
    }
    while (std::next(at) != runs_.end() && std::next(at)->Off <= at->End()) {
        at->Len = std::max(at->End(), std::next(at)->End()) - at->Off;
        runs_.erase(std::next(at));
    }
}

bool TUnreadMap::Overlaps(int64_t off, int64_t len) const {
    if (len <= 0) return false;
    std::lock_guard<std::mutex> lk(mu_);
    // The first run ending after off decides.
    auto it = std::upper_bound(runs_.begin(), runs_.end(), off,
                               [](int64_t o, const TUnreadRun& r) { return o < r.End(); });
    return it != runs_.end() && it->Off < off + len;
}

std::vector<TUnreadRun> TUnreadMap::Runs() const {
    std::lock_guard<std::mutex> lk(mu_);
    return runs_;
}

int64_t TUnreadMap::Bytes() const {
    std::lock_guard<std::mutex> lk(mu_);
    int64_t n = 0;
    for (const TUnreadRun& r : runs_)
        n += r.Len;
    return n;
}

} // namespace qrv

#include "scan/feature_index.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/byte_order.h"
#include "platform/file_system.h"
#include "scan/frame_feature.h"

namespace qrv {

namespace {

constexpr uint64_t kLenMask = (uint64_t(1) << 24) - 1;
constexpr int64_t kPageBytes = kFeaturePageEntries * kFeatureEntryBytes;

} // namespace

TFeatureIndex::TFeatureIndex(TFeatureIndexOptions options) : opt_(std::move(options)) {
    capacity_ =
        std::max<int64_t>(opt_.Budget / kFeatureEntryBytes / kFeaturePageEntries, 1) * kFeaturePageEntries;
}

TFeatureIndex::~TFeatureIndex() {
    reader_.reset();
    spill_.reset();
    if (!spillPath_.empty()) Remove_File(spillPath_);
}

int64_t TFeatureIndex::Count() const {
    return spilled_ + int64_t(memory_.size());
}
int64_t TFeatureIndex::Memory_Entries() const {
    return int64_t(memory_.size());
}
int64_t TFeatureIndex::Spilled_Entries() const {
    return spilled_;
}

int64_t TFeatureIndex::High_Of(int64_t index) const {
    auto it = std::upper_bound(segments_.begin(), segments_.end(), index,
                               [](int64_t i, const TSegment& s) { return i < s.First; });
    return it == segments_.begin() ? 0 : std::prev(it)->High;
}

TFeatureEntry TFeatureIndex::Decode(int64_t index, uint64_t packed) const {
    return {int64_t((uint64_t(High_Of(index)) << kOffsetBits) | (packed & kOffsetMask)),
            uint32_t(packed >> kLenShift), (packed & kSyncBit) != 0};
}

void TFeatureIndex::Append(int64_t off, uint32_t len, bool sync) {
    if (int64_t(memory_.size()) >= capacity_ && !Spill()) {
        stopped_ = true;
        return;
    }
    if (memory_.capacity() == 0) memory_.reserve(size_t(capacity_)); // address space only until used
    const int64_t high = off >> kOffsetBits;
    if (segments_.empty() || segments_.back().High != high) segments_.push_back({high, Count()});
    memory_.push_back((uint64_t(off) & kOffsetMask) | (sync ? kSyncBit : 0) |
                      (uint64_t(len & kLenMask) << kLenShift));
}

bool TFeatureIndex::Spill() {
    if (!spill_) {
        const std::string folder = opt_.SpillFolder.empty() ? Get_TempFolder() : opt_.SpillFolder;
        const TOutputGuard guard(opt_.Sources);
        TGuardVerdict v = guard.Check_Folder(folder);
        if (!v.Allowed()) {
            refusal_ = v.Reason.empty() ? Guard_CauseName(v.Cause) : v.Reason;
            return false;
        }
        static std::atomic<int64_t> serial{0};
        const std::string path = folder + "/qrv-features-" + std::to_string(::getpid()) + "-" +
                                 std::to_string(serial.fetch_add(1)) + ".tmp";
        // Read while it is written and removed at the end: written in place.
        spill_ = TOutputFile::Create(path, guard, &v, TOutputMode::Direct);
        if (!spill_) {
            refusal_ = !v.Allowed() ? v.Reason : std::string(std::strerror(errno));
            if (refusal_.empty()) refusal_ = Guard_CauseName(v.Cause);
            return false;
        }
        spillPath_ = path;
    }
    // The entries in memory are whole pages: one sorted run after the ones
    // already in the file, which stays sorted as a whole.
    for (size_t k = 0; k < memory_.size(); k += size_t(kFeaturePageEntries))
        pageFirst_.push_back(Decode(spilled_ + int64_t(k), memory_[k]).Off);
    if (!spill_->Write(memory_.data(), memory_.size() * sizeof(uint64_t))) {
        pageFirst_.resize(size_t(spilled_ / kFeaturePageEntries));
        refusal_ = std::strerror(errno);
        return false;
    }
    lastSpilled_ = Decode(Count() - 1, memory_.back()).Off;
    spilled_ += int64_t(memory_.size());
    memory_.clear(); // the capacity stays for the next run
    return true;
}

void TFeatureIndex::Add_Block(const uint8_t* block, int64_t P, int64_t examined, bool complete) {
    if (stopped_ || block == nullptr || examined <= 0) return;
    TBlockFinds finds;
    Search_Block(block, P, examined, true, finds);
    Add_Found(finds.Features, P, examined, complete);
}

void TFeatureIndex::Add_Found(const std::vector<TFeatureHit>& hits, int64_t P, int64_t examined, bool complete) {
    if (stopped_ || examined <= 0) return;
    if (coverFrom_ < 0) coverFrom_ = coverTo_ = P;
    if (P > coverTo_) holes_.push_back({coverTo_, P});
    // A block that starts inside the covered part adds only what is new.
    const int64_t from = std::max<int64_t>(0, coverTo_ - P);
    for (const TFeatureHit& hit : hits) {
        if (hit.Pos < from || hit.Pos >= examined) continue;
        Append(P + hit.Pos, hit.Len, hit.Sync);
        if (stopped_) {
            // The budget is spent and nothing can be spilled: the index ends
            // before this block, whose features are dropped again.
            while (!memory_.empty() && Decode(Count() - 1, memory_.back()).Off >= P)
                memory_.pop_back();
            while (!segments_.empty() && segments_.back().First >= Count())
                segments_.pop_back();
            coverTo_ = std::max(coverFrom_, std::min(coverTo_, P));
            return;
        }
    }
    const int64_t end = P + examined;
    if (!complete) {
        if (!holes_.empty() && holes_.back().second >= P)
            holes_.back().second = end;
        else
            holes_.push_back({std::max(P, coverTo_), end});
    }
    coverTo_ = std::max(coverTo_, end);
}

bool TFeatureIndex::Covers(int64_t from, int64_t to) const {
    if (coverFrom_ < 0 || from < coverFrom_ || to > coverTo_) return false;
    for (const auto& [s, e] : holes_)
        if (s < to && from < e) return false;
    return true;
}

bool TFeatureIndex::Load_Page(int64_t page, std::vector<uint64_t>& out) const {
    const int64_t n = std::min<int64_t>(kFeaturePageEntries, spilled_ - page * kFeaturePageEntries);
    out.assign(size_t(std::max<int64_t>(n, 0)), 0);
    if (n <= 0) return false;
    std::lock_guard<std::mutex> lk(readMu_);
    if (!reader_) reader_ = Open_Source(spillPath_); // read-only
    if (!reader_) return false;
    const int64_t want = n * kFeatureEntryBytes;
    int64_t done = 0;
    while (done < want) {
        const int64_t got = reader_->Read_At(reinterpret_cast<uint8_t*>(out.data()) + done,
                                             size_t(want - done), page * kPageBytes + done);
        if (got <= 0) return false;
        done += got;
    }
    return true;
}

int64_t TFeatureIndex::Lower_Bound(int64_t off) const {
    int64_t lo = spilled_, hi = Count();
    while (lo < hi) {
        const int64_t mid = lo + (hi - lo) / 2;
        if (Decode(mid, memory_[size_t(mid - spilled_)]).Off < off)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

bool TFeatureIndex::Entries(int64_t from, int64_t to, std::vector<TFeatureEntry>& out) const {
    return For_Entries(from, to, [&out](const TFeatureEntry& e) { out.push_back(e); });
}

TFeatureEntry TFeatureIndex::Decode_Following(int64_t index, uint64_t packed, size_t& seg) const {
    int64_t high = 0;
    if (!segments_.empty()) {
        if (seg == SIZE_MAX || segments_[seg].First > index) {
            auto it = std::upper_bound(segments_.begin(), segments_.end(), index,
                                       [](int64_t i, const TSegment& s) { return i < s.First; });
            seg = it == segments_.begin() ? SIZE_MAX : size_t(it - segments_.begin()) - 1;
        }
        if (seg != SIZE_MAX) {
            while (seg + 1 < segments_.size() && segments_[seg + 1].First <= index) ++seg;
            high = segments_[seg].High;
        }
    }
    return TFeatureEntry{int64_t((uint64_t(high) << kOffsetBits) | (packed & kOffsetMask)),
                         uint32_t(packed >> kLenShift), (packed & kSyncBit) != 0};
}

bool TFeatureIndex::For_Spilled(int64_t from, int64_t to, const std::function<void(const TFeatureEntry&)>& fn) const {
    if (spilled_ <= 0 || from > lastSpilled_ || pageFirst_.empty()) return true;
    int64_t page = int64_t(std::upper_bound(pageFirst_.begin(), pageFirst_.end(), from) - pageFirst_.begin()) - 1;
    if (page < 0) page = 0;
    std::vector<uint64_t> buf;
    size_t seg = SIZE_MAX;
    for (; page < int64_t(pageFirst_.size()) && pageFirst_[size_t(page)] < to; ++page) {
        if (!Load_Page(page, buf)) return false;
        for (size_t k = 0; k < buf.size(); ++k) {
            const TFeatureEntry e = Decode_Following(page * kFeaturePageEntries + int64_t(k), buf[k], seg);
            if (e.Off >= to) break;
            if (e.Off >= from) fn(e);
        }
    }
    return true;
}

bool TFeatureIndex::For_Entries(int64_t from, int64_t to, const std::function<void(const TFeatureEntry&)>& fn) const {
    return For_Kept(from, to, [](uint32_t, uint32_t) { return true; }, fn);
}

} // namespace qrv

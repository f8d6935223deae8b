#include "scan/read_ahead.h"

#include <algorithm>
#include <cstring>

namespace qrv {

namespace {

// Bytes past a block the searches may read (vector loads near its end).
constexpr size_t kSlack = 128;

} // namespace

TReadAhead::TReadAhead(TSource& h, int64_t first, int64_t end, int64_t step, size_t len, TWork work,
                       int workers, int depth, int64_t sectorSize)
    : h_(h), first_(first), step_(step < 1 ? 1 : step), len_(len), work_(std::move(work)),
      depth_(std::max(depth, 2)), batch_(std::max<int64_t>(1, std::max(depth, 2) / 4)), sector_(sectorSize) {
    total_ = end > first ? (end - first + step_ - 1) / step_ : 0;
    ready_.assign(size_t(depth_), 0);
    got_.assign(size_t(depth_), 0);
    unread_.resize(size_t(depth_));
    if (workers <= 0) workers = int(std::clamp(std::thread::hardware_concurrency(), 1u, 3u));
    for (int k = 0; k < workers; ++k)
        workers_.emplace_back([this] { Run(); });
}

TReadAhead::~TReadAhead() {
    Stop();
    for (auto& t : workers_)
        if (t.joinable()) t.join();
}

void TReadAhead::Run() {
    std::vector<uint8_t> buf;
    try {
        buf.assign(len_ + kSlack, 0);
    } catch (...) {
        // This worker reads nothing; should no other worker get further, the
        // scan thread learns why when it reaches the next block.
        std::lock_guard<std::mutex> lk(mu_);
        if (claimed_ < failedAt_) {
            failedAt_ = claimed_;
            failure_ = std::current_exception();
        }
        readyCv_.notify_one();
        return;
    }
    for (;;) {
        int64_t k;
        {
            std::unique_lock<std::mutex> lk(mu_);
            workCv_.wait(lk, [&] { return stop_ || claimed_ >= total_ || claimed_ < released_ + depth_; });
            if (stop_ || claimed_ >= total_) return;
            k = claimed_++;
        }
        // The slot of block k is this worker's alone until it is marked done.
        const int64_t off = first_ + k * step_;
        const size_t slot = size_t(k % depth_);
        int64_t got = 0;
        std::exception_ptr failed;
        std::vector<TUnreadRun>& unread = unread_[slot];
        try {
            unread.clear();
            got = Read_Salvage(h_, buf.data(), len_, off, sector_, &unread);
            if (got < 0) got = 0;
            work_(buf.data(), off, got, slot);
        } catch (...) {
            failed = std::current_exception();
        }
        std::lock_guard<std::mutex> lk(mu_);
        if (failed) {
            // The block is never handed out: the scan thread gets the failure
            // when it reaches it (the first one, when several blocks fail).
            if (k < failedAt_) {
                failedAt_ = k;
                failure_ = failed;
            }
            readyCv_.notify_one();
            continue;
        }
        got_[slot] = got;
        ready_[slot] = 1;
        while (frontier_ < claimed_ && ready_[size_t(frontier_ % depth_)])
            ++frontier_;
        if (frontier_ >= wanted_) readyCv_.notify_one();
    }
}

void TReadAhead::Publish_Released() {
    if (consumed_ > released_) {
        released_ = consumed_;
        workCv_.notify_all();
    }
}

bool TReadAhead::Next(TBlock& b) {
    std::unique_lock<std::mutex> lk(mu_);
    const int64_t want = current_ + 1;
    if (stop_ || want >= total_) return false;
    if (frontier_ <= want) {
        if (failedAt_ <= want) std::rethrow_exception(failure_);
        // Waits for a batch, not a single block; the workers need the slots
        // given back so far to get there.
        Publish_Released();
        wanted_ = std::min({want + batch_, total_, released_ + depth_});
        readyCv_.wait(lk, [&] { return stop_ || frontier_ >= wanted_ || failedAt_ < wanted_; });
        if (stop_) return false;
        // The frontier stops at a failed block.
        if (frontier_ <= want) std::rethrow_exception(failure_);
    }
    current_ = want;
    const size_t slot = size_t(want % depth_);
    b.Off = first_ + want * step_;
    b.Got = got_[slot];
    b.Slot = slot;
    b.Unread = &unread_[slot];
    return true;
}

void TReadAhead::Release() {
    std::lock_guard<std::mutex> lk(mu_);
    if (current_ < consumed_) return;
    ready_[size_t(current_ % depth_)] = 0;
    consumed_ = current_ + 1;
    if (consumed_ - released_ >= batch_) Publish_Released();
}

void TReadAhead::Stop() {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
    workCv_.notify_all();
    readyCv_.notify_all();
}

} // namespace qrv

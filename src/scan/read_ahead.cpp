#include "scan/read_ahead.h"

#include <cstring>

namespace qrv {

TReadAhead::TReadAhead(TSource& h, int64_t first, int64_t end, int64_t step, size_t len, int depth)
    : h_(h), first_(first), end_(end), step_(step), len_(len) {
    const size_t n = size_t(depth < 2 ? 2 : depth);
    bufs_.assign(n, std::vector<uint8_t>(len));
    slots_.resize(n);
    reader_ = std::thread([this] { Run(); });
}

TReadAhead::~TReadAhead() {
    Stop();
    if (reader_.joinable()) reader_.join();
}

void TReadAhead::Run() {
    const int64_t n = int64_t(bufs_.size());
    for (int64_t k = 0, off = first_; off < end_; ++k, off += step_) {
        {
            std::unique_lock<std::mutex> lk(mu_);
            cv_.wait(lk, [&] { return stop_ || k - released_ < n; });
            if (stop_) break;
        }
        // The slot is the reader's alone until it is published below.
        uint8_t* buf = bufs_[size_t(k % n)].data();
        int64_t got = h_.Read_At(buf, len_, off);
        if (got < 0) got = 0;
        if (size_t(got) < len_) std::memset(buf + got, 0, len_ - size_t(got));
        std::lock_guard<std::mutex> lk(mu_);
        slots_[size_t(k % n)] = TBlock{buf, off, got};
        ++filled_;
        cv_.notify_all();
    }
    std::lock_guard<std::mutex> lk(mu_);
    done_ = true;
    cv_.notify_all();
}

bool TReadAhead::Next(TBlock& b) {
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait(lk, [&] { return stop_ || taken_ < filled_ || done_; });
    if (stop_ || taken_ >= filled_) return false;
    b = slots_[size_t(taken_ % int64_t(bufs_.size()))];
    ++taken_;
    return true;
}

void TReadAhead::Release() {
    std::lock_guard<std::mutex> lk(mu_);
    if (released_ < taken_) ++released_;
    cv_.notify_all();
}

void TReadAhead::Stop() {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
    cv_.notify_all();
}

} // namespace qrv

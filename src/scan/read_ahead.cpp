#include "scan/read_ahead.h"

#include <algorithm>
#include <cstring>

namespace qrv {

TReadAhead::TReadAhead(TSource& h, int64_t first, int64_t end, int64_t step, size_t len, int perRead,
                       int depth)
    : h_(h), first_(first), end_(end), step_(step), len_(len), perRead_(perRead < 1 ? 1 : perRead) {
    size_ = h_.Size();
    chunks_.resize(size_t(depth < 2 ? 2 : depth));
    reader_ = std::thread([this] { Run(); });
}

TReadAhead::~TReadAhead() {
    Stop();
    if (reader_.joinable()) reader_.join();
}

void TReadAhead::Fill(TChunk& c, int64_t off, int64_t blocks) {
    const size_t want = size_t((blocks - 1) * step_) + len_;
    c.Data.resize(want);
    c.Off = off;
    c.Got.assign(size_t(blocks), 0);
    c.Alone.clear();
    int64_t got = h_.Read_At(c.Data.data(), want, off);
    if (got < 0) got = 0;
    if (size_t(got) < want) std::memset(c.Data.data() + got, 0, want - size_t(got));
    // Short before the end of the medium: every block is read again on its own.
    const bool atEnd = size_ >= 0 && off + got >= size_;
    if (size_t(got) < want && !atEnd) {
        c.Alone.resize(size_t(blocks));
        for (int64_t k = 0; k < blocks; ++k) {
            c.Alone[size_t(k)].assign(len_, 0);
            const int64_t g = h_.Read_At(c.Alone[size_t(k)].data(), len_, off + k * step_);
            c.Got[size_t(k)] = g < 0 ? 0 : g;
        }
        return;
    }
    for (int64_t k = 0; k < blocks; ++k)
        c.Got[size_t(k)] = std::clamp<int64_t>(got - k * step_, 0, int64_t(len_));
}

void TReadAhead::Run() {
    const int64_t n = int64_t(chunks_.size());
    for (int64_t k = 0, off = first_; off < end_; ++k, off += perRead_ * step_) {
        {
            std::unique_lock<std::mutex> lk(mu_);
            cv_.wait(lk, [&] { return stop_ || k - released_ < n; });
            if (stop_) break;
        }
        // The chunk is the reader's alone until it is counted as filled.
        const int64_t blocks = std::min<int64_t>(perRead_, (end_ - off + step_ - 1) / step_);
        Fill(chunks_[size_t(k % n)], off, blocks);
        std::lock_guard<std::mutex> lk(mu_);
        ++filled_;
        cv_.notify_all();
    }
    std::lock_guard<std::mutex> lk(mu_);
    done_ = true;
    cv_.notify_all();
}

bool TReadAhead::Next(TBlock& b) {
    std::unique_lock<std::mutex> lk(mu_);
    if (stop_) return false;
    const int64_t n = int64_t(chunks_.size());
    // The current chunk's block count is kept apart: once its last block is
    // released, the reader may already be filling that chunk again.
    if (current_ < 0 || inChunk_ >= chunkBlocks_) {
        const int64_t want = current_ + 1;
        cv_.wait(lk, [&] { return stop_ || want < filled_ || done_; });
        if (stop_ || want >= filled_) return false;
        current_ = want;
        inChunk_ = 0;
        chunkBlocks_ = int64_t(chunks_[size_t(current_ % n)].Got.size());
    }
    const TChunk& c = chunks_[size_t(current_ % n)];
    const size_t k = size_t(inChunk_++);
    b.Data = c.Alone.empty() ? c.Data.data() + k * size_t(step_) : c.Alone[k].data();
    b.Off = c.Off + int64_t(k) * step_;
    b.Got = c.Got[k];
    return true;
}

void TReadAhead::Release() {
    std::lock_guard<std::mutex> lk(mu_);
    // A chunk goes back to the reader with its last block.
    if (current_ >= 0 && inChunk_ >= chunkBlocks_ && released_ <= current_) {
        released_ = current_ + 1;
        cv_.notify_all();
    }
}

void TReadAhead::Stop() {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
    cv_.notify_all();
}

} // namespace qrv

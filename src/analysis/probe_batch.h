// Batched sample probes. A fragment walk probes one predicted sample start
// after the other (the sector holding the sample's first unit header), going
// down the medium on its backward walk. TProbeBatch reads the sectors of the
// next few probes ahead in increasing medium order, so that a device reads
// forwards, and then answers the probes' reads from what it holds; anything
// else (a unit header further into a sample, a read that came back short) is
// passed on to the source. The bytes every probe sees are the source's.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/source_io.h"

namespace qrv {

class TProbeBatch final : public TSource {
  public:
    explicit TProbeBatch(TSource& h) : h_(h) {}
    // Forgets what it holds and reads the sectors around each position
    // (the sector holding it and the next), in increasing order.
    void Prefetch(std::vector<int64_t> positions);

    int64_t Read_At(void* buf, size_t len, int64_t off) override;
    int64_t Size() override { return h_.Size(); }
    const std::string& Path() const override { return h_.Path(); }

  private:
    struct TRun {
        int64_t Off = 0;
        int64_t Got = 0;
        size_t At = 0; // where its bytes start in data_
    };
    TSource& h_;
    std::vector<TRun> runs_; // sorted by Off, not overlapping
    std::vector<uint8_t> data_;
};

} // namespace qrv

// The stretches of the medium the running scan could not read. The scan adds
// them in medium order as its blocks come in; the analysis asks whether a
// rebuilt recording takes bytes from one of them (such a recording is never
// rated very good), and the front ends count them in the closing line.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "media/raw_access.h"

namespace qrv {

class TUnreadMap {
  public:
    void Clear();
    // Adds a run; runs touching the last one are merged with it.
    void Add(TUnreadRun run);
    // True when [off, off + len) overlaps an unreadable run.
    bool Overlaps(int64_t off, int64_t len) const;
    std::vector<TUnreadRun> Runs() const;
    int64_t Bytes() const;

  private:
    mutable std::mutex mu_;
    std::vector<TUnreadRun> runs_; // ordered by offset, not touching
};

} // namespace qrv

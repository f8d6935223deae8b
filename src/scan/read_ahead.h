// Read-ahead for the scan's block loop: worker threads read the blocks in
// medium order, each block with one read of its own into the worker's buffer,
// and run the block's work (the scan's searches) on the thread that read it;
// the scan thread takes the blocks' results in order. The buffer stays in the
// worker's cache from the read to the searches, the searches of different
// blocks run side by side, and only the results (a few positions per block)
// cross threads.
//
// Results live in slots the caller owns (Depth() of them): the work of block
// k writes slot Slot_Of(k), which is the caller's to read from Next until
// Release. Blocks are handed to the scan thread in batches, so that neither
// side wakes the other for every block.
#pragma once

#include <condition_variable>
#include <climits>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "media/raw_access.h"
#include "platform/source_io.h"

namespace qrv {

class TReadAhead {
  public:
    struct TBlock {
        int64_t Off = 0;  // where it was read
        int64_t Got = 0;  // bytes of it on the medium (less only at the medium's end)
        size_t Slot = 0;  // the result slot its work wrote
        // Stretches of it that could not be read (zeros in the data); valid
        // until Release.
        const std::vector<TUnreadRun>* Unread = nullptr;
    };
    // Work for one block: data holds len bytes (zeros where nothing was read)
    // and is valid only during the call.
    using TWork = std::function<void(const uint8_t* data, int64_t off, int64_t got, size_t slot)>;

    // Blocks of len bytes at first, first + step, ... while the offset is
    // below end, read on `workers` threads (0: as many as the processor has,
    // at most 3) with up to depth blocks read ahead of the scan thread. A
    // block the medium does not deliver whole is read again sector by sector
    // (sectors of sectorSize bytes), so that only unreadable sectors are lost.
    TReadAhead(TSource& h, int64_t first, int64_t end, int64_t step, size_t len, TWork work, int workers = 0,
               int depth = 16, int64_t sectorSize = 512);
    ~TReadAhead(); // stops the workers and waits for them
    TReadAhead(const TReadAhead&) = delete;
    TReadAhead& operator=(const TReadAhead&) = delete;

    size_t Depth() const { return size_t(depth_); }

    // The next block in order, once its work is done; false when there is
    // none. Rethrows what the work of that block threw.
    bool Next(TBlock& b);
    // Gives the block returned by the last Next (and its slot) back.
    void Release();
    // Ends the reading early; Next returns false afterwards.
    void Stop();

  private:
    void Run();
    void Publish_Released(); // under mu_

    TSource& h_;
    const int64_t first_, step_;
    const size_t len_;
    const TWork work_;
    const int64_t depth_, batch_;
    int64_t total_ = 0; // blocks in the range
    std::mutex mu_;
    std::condition_variable workCv_, readyCv_;
    std::vector<char> ready_;   // per slot: its block's work is done
    std::vector<int64_t> got_;  // per slot
    std::vector<std::vector<TUnreadRun>> unread_; // per slot
    const int64_t sector_;
    int64_t claimed_ = 0;       // blocks taken by workers
    int64_t frontier_ = 0;      // blocks 0 .. frontier_-1 are all done
    int64_t released_ = 0;      // slots of blocks below it are free for the workers
    int64_t consumed_ = 0;      // blocks the scan thread gave back (released_ catches up in batches)
    int64_t current_ = -1;      // the block last handed to the scan thread
    int64_t wanted_ = 0;        // the frontier the scan thread waits for
    bool stop_ = false;
    int64_t failedAt_ = INT64_MAX; // the first block whose work threw
    std::exception_ptr failure_;
    std::vector<std::thread> workers_;
};

} // namespace qrv

// Read-ahead for the scan's block loop: a reader thread fills a few block
// buffers in medium order while the scan thread examines the block before,
// so that reading the medium and examining what was read overlap.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/source_io.h"

namespace qrv {

class TReadAhead {
  public:
    struct TBlock {
        const uint8_t* Data = nullptr; // len bytes; zeros where nothing was read
        int64_t Off = 0;               // where it was read
        int64_t Got = 0;               // bytes the medium delivered (0 on an error)
    };
    // Reads len bytes at first, first + step, ... while the offset is below end.
    TReadAhead(TSource& h, int64_t first, int64_t end, int64_t step, size_t len, int depth = 4);
    ~TReadAhead(); // stops the reader and waits for it
    TReadAhead(const TReadAhead&) = delete;
    TReadAhead& operator=(const TReadAhead&) = delete;

    // The next block in order, once it is read; false when there is none.
    // The block stays valid until Release.
    bool Next(TBlock& b);
    // Gives the block returned by the last Next back to the reader.
    void Release();
    // Ends the reading early; Next returns false afterwards.
    void Stop();

  private:
    void Run();

    TSource& h_;
    const int64_t first_, end_, step_;
    const size_t len_;
    std::vector<std::vector<uint8_t>> bufs_;
    std::vector<TBlock> slots_;
    std::mutex mu_;
    std::condition_variable cv_;
    int64_t filled_ = 0, taken_ = 0, released_ = 0; // counts of blocks
    bool done_ = false, stop_ = false;
    std::thread reader_;
};

} // namespace qrv

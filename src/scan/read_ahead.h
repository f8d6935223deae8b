// Read-ahead for the scan's block loop: a reader thread fills a few buffers
// in medium order while the scan thread examines the blocks read before, so
// that reading the medium and examining what was read overlap. The reader
// reads several blocks in one large read (fewer system calls and hand-overs
// per byte); when such a read comes back short before the end of the medium
// (a bad sector), each of its blocks is read again on its own, so that a bad
// sector costs no more than it costs a block read by itself.
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
        int64_t Got = 0;               // bytes the medium delivered for it (0 on an error)
    };
    // Blocks of len bytes at first, first + step, ... while the offset is
    // below end, read perRead blocks at a time into depth buffers.
    TReadAhead(TSource& h, int64_t first, int64_t end, int64_t step, size_t len, int perRead = 8,
               int depth = 3);
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
    struct TChunk {
        std::vector<uint8_t> Data;               // the blocks, step bytes apart
        std::vector<std::vector<uint8_t>> Alone; // the blocks read one by one after a short read
        std::vector<int64_t> Got;
        int64_t Off = 0;
    };
    void Run();
    void Fill(TChunk& c, int64_t off, int64_t blocks);

    TSource& h_;
    const int64_t first_, end_, step_;
    const size_t len_;
    const int64_t perRead_;
    int64_t size_ = -1; // of the medium, -1 when unknown
    std::vector<TChunk> chunks_;
    std::mutex mu_;
    std::condition_variable cv_;
    int64_t filled_ = 0, released_ = 0;  // chunks
    int64_t current_ = -1, inChunk_ = 0; // the scan thread's place: chunk and block
    int64_t chunkBlocks_ = 0;            // blocks of the current chunk
    bool done_ = false, stop_ = false;
    std::thread reader_;
};

} // namespace qrv

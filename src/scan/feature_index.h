// The frame-feature index: every frame feature (see frame_feature.h) the scan
// meets while it reads the medium once, kept so that the header analysis can
// take its anchors from memory instead of reading its window of the medium
// again (a window can be the whole medium, once per movie header).
//
// An entry is the feature's absolute offset and the 32-bit length value in
// front of its NAL header (below 2^24, as the feature's first byte is zero);
// the offset modulo 512, which the analysis keys on, follows from the offset.
// Entries are packed into 8 bytes: 39 bits of offset inside a 512 GiB
// segment, one bit for the slice header pair (65 88 or 41 9A) and 24 bits of
// length; a small table says where each segment's entries begin. The scan reads forwards, so entries arrive
// in medium order and the list is sorted without sorting.
//
// Memory is bounded: once the entries in memory reach the budget they are
// written, as one sorted run, to a temporary file in the platform temporary
// folder, created through the output guard for the scanned source (never on
// the source or its disk), and read back page by page when a window asks for
// them. When that file cannot be made, the index stops growing: it keeps what
// it has and says which range it covers; the analysis reads the rest.
//
// The index also records which bytes it covers: the scanned blocks, except
// blocks whose read came back short before the end of the medium (their
// bytes may read differently later).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/output_file.h"
#include "platform/source_io.h"
#include "scan/block_search.h"

namespace qrv {

inline constexpr int64_t kFeatureEntryBytes = 8;
inline constexpr int64_t kDefaultFeatureBudget = int64_t(64) << 20; // 64 MiB of entries in memory
// Entries per page of the temporary file (4 KiB); the budget is rounded to pages.
inline constexpr int64_t kFeaturePageEntries = 512;

struct TFeatureEntry {
    int64_t Off = 0;   // absolute offset of the feature's first byte (the length prefix)
    uint32_t Len = 0;  // big-endian 32-bit value of its first four bytes
    bool Sync = false; // its NAL header pair is 65 88 (else 41 9A)
    uint8_t Slice_Byte() const { return Sync ? 0x88 : 0x9A; }
    bool operator==(const TFeatureEntry&) const = default;
};

struct TFeatureIndexOptions {
    int64_t Budget = kDefaultFeatureBudget; // bytes of entries kept in memory
    std::string SpillFolder;          // where the temporary file goes; empty: the platform temporary folder
    std::vector<std::string> Sources; // paths the output guard protects (the scanned source)
};

class TFeatureIndex {
  public:
    explicit TFeatureIndex(TFeatureIndexOptions options);
    ~TFeatureIndex(); // removes the temporary file
    TFeatureIndex(const TFeatureIndex&) = delete;
    TFeatureIndex& operator=(const TFeatureIndex&) = delete;

    // Collects the features at positions [0, examined) of a block read at
    // absolute offset P; block must be readable up to examined +
    // kFrameFeatureSlack. Blocks come in increasing P, each starting where the
    // previous examined part ended or later. complete: every byte the block
    // needs was read (or lies past the end of the medium); when false, the
    // block's range is left uncovered.
    void Add_Block(const uint8_t* block, int64_t P, int64_t examined, bool complete);
    // The same with the block's features found elsewhere (Search_Block).
    void Add_Found(const std::vector<TFeatureHit>& hits, int64_t P, int64_t examined, bool complete);

    // True when every position of [from, to) was examined by the scan and its
    // features are in the index.
    bool Covers(int64_t from, int64_t to) const;

    // The entries with from <= Off < to, in medium order. False when a page
    // of the temporary file could not be read back (out is then incomplete).
    bool Entries(int64_t from, int64_t to, std::vector<TFeatureEntry>& out) const;
    // The same entries handed to fn one by one, in medium order.
    bool For_Entries(int64_t from, int64_t to, const std::function<void(const TFeatureEntry&)>& fn) const;
    // The entries of [from, to) whose length value and offset modulo 512 pass
    // keep(len, mod512), handed to fn in medium order. keep is asked before an
    // entry is decoded, so a walk that wants few of them skips the rest cheaply.
    template <class Keep, class Fn> bool For_Kept(int64_t from, int64_t to, Keep keep, Fn fn) const;

    int64_t Count() const;          // entries held (in memory and in the file)
    int64_t Memory_Entries() const; // entries in memory
    int64_t Spilled_Entries() const;
    const std::string& Spill_Path() const { return spillPath_; }
    // Why the temporary file could not be made (empty when it was not needed or was made).
    const std::string& Spill_Refusal() const { return refusal_; }

  private:
    static constexpr int64_t kOffsetBits = 39;
    static constexpr uint64_t kOffsetMask = (uint64_t(1) << kOffsetBits) - 1;
    static constexpr uint64_t kSyncBit = uint64_t(1) << kOffsetBits;
    static constexpr int64_t kLenShift = kOffsetBits + 1;
    // The entry at index, with seg the segment of the entry decoded before
    // (SIZE_MAX at first); entries decoded in increasing order move it along.
    TFeatureEntry Decode_Following(int64_t index, uint64_t packed, size_t& seg) const;
    bool For_Spilled(int64_t from, int64_t to, const std::function<void(const TFeatureEntry&)>& fn) const;
    struct TSegment {
        int64_t High;  // offset >> 39 of the segment's entries
        int64_t First; // global index of its first entry
    };
    void Append(int64_t off, uint32_t len, bool sync);
    bool Spill();
    int64_t High_Of(int64_t index) const;
    TFeatureEntry Decode(int64_t index, uint64_t packed) const;
    bool Load_Page(int64_t page, std::vector<uint64_t>& out) const;
    int64_t Lower_Bound(int64_t off) const;

    TFeatureIndexOptions opt_;
    int64_t capacity_ = 0;           // entries the budget holds in memory (whole pages)
    std::vector<uint64_t> memory_;   // entries not spilled: global indexes spilled_ ..
    int64_t spilled_ = 0;            // entries in the temporary file
    int64_t lastSpilled_ = -1;       // offset of the last entry in the file
    std::vector<int64_t> pageFirst_; // offset of the first entry of each page in the file
    std::vector<TSegment> segments_;
    // Covered range and the blocks inside it whose read came back short.
    int64_t coverFrom_ = -1, coverTo_ = -1;
    std::vector<std::pair<int64_t, int64_t>> holes_;
    bool stopped_ = false; // the budget was reached and nothing could be spilled
    std::string spillPath_, refusal_;
    std::unique_ptr<TOutputFile> spill_;
    mutable std::mutex readMu_; // the read-back handle is opened on first use
    mutable TSourcePtr reader_;
};

template <class Keep, class Fn> bool TFeatureIndex::For_Kept(int64_t from, int64_t to, Keep keep, Fn fn) const {
    const bool ok = For_Spilled(from, to, [&](const TFeatureEntry& e) {
        if (keep(e.Len, uint32_t(e.Off % 512))) fn(e);
    });
    size_t seg = SIZE_MAX;
    const int64_t last = Lower_Bound(to);
    for (int64_t i = Lower_Bound(from); i < last; ++i) {
        const uint64_t packed = memory_[size_t(i - spilled_)];
        // A segment starts at a multiple of 2^39, so the low bits give the offset modulo 512.
        if (!keep(uint32_t(packed >> kLenShift), uint32_t(packed & 511))) continue;
        fn(Decode_Following(i, packed, seg));
    }
    return ok;
}

} // namespace qrv

// Track tables of a movie box, read straight from the medium.
//
// Get_MoovTracks walks every trak box of a movie box found by the scan, notes
// where its sample tables lie (TAtoms) and computes the media end of the
// recording (the largest file offset at which a track's last chunk ends).
//
// Get_MOOV_VideoAndSound reads the video track's sample-to-chunk, sample size,
// chunk offset and sync sample tables of one movie header into a TVideo,
// computes every video sample's file offset, builds the lookup keys that
// recognise samples on the medium (TSampleKeys), and attaches the sound
// samples to the video samples they follow.
//
// All table numbers are big-endian. Entries count as signed 32-bit values
// (co64 offsets as signed 64-bit), so an entry of 2^31 or more is negative and
// invalid wherever a positive value is required.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "media/tree_data.h"
#include "platform/source_io.h"
#include "scan/records.h"

namespace qrv {

class TScanSession;

// Lookup of a video sample by (sample size, file offset mod 512): the pair a
// frame start found on the medium can be compared against. Each pair maps to
// the lowest sample index added with it. Count is the number of Add calls (one
// per video sample), duplicates included.
class TSampleKeys {
  public:
    void Add(uint32_t size, uint32_t mod512, int64_t index); // keeps the lowest index
    int64_t Find(uint32_t size, uint32_t mod512) const;      // -1 when absent
    // False when Find would certainly give -1 (a bit test, no lookup).
    bool May_Hold(uint32_t size, uint32_t mod512) const {
        if (filter_.empty()) return false;
        const size_t bit = Filter_Bit(Key(size, mod512));
        return (filter_[bit / 64] >> (bit % 64) & 1) != 0;
    }
    int64_t Count() const { return count_; }
    void Clear();
    void Reserve(int64_t n) { map_.reserve(size_t(n)); }

  private:
    static uint64_t Key(uint32_t size, uint32_t mod512) { return (uint64_t(size) << 32) | mod512; }
    // A bit per hashed key: most features matched against the keys are not
    // samples of this recording, and the bit says so without a map lookup.
    static constexpr int kFilterBits = 18;
    static size_t Filter_Bit(uint64_t key) { return size_t((key * 0x9E3779B97F4A7C15ULL) >> (64 - kFilterBits)); }
    std::unordered_map<uint64_t, int64_t> map_;
    std::vector<uint64_t> filter_; // 2^kFilterBits bits once a key is added
    int64_t count_ = 0;
};

// Fills out from the trak boxes listed in con. out.MoovGood tells success:
// every track's sample-to-chunk, sample size and chunk offset tables were found
// and out.MdatLen holds the media end. scanEnd is the end of the scanned range
// in bytes; nothing beyond it is accepted.
void Get_MoovTracks(const TTreeData& node, TSource& h, const TMoovCon& con, TmoovExt& out, int recType,
                    int64_t scanEnd);

// Reads the video (and sound) tables of the movie header
// session.Scans[headerIndex] into video and keys. video.Ext_Flag tells success of the video part; a failure
// while attaching sound samples leaves the video tables complete.
void Get_MOOV_VideoAndSound(TSource& h, TScanSession& session, int64_t headerIndex, TVideo& video,
                            int recType, int64_t scanEnd, TSampleKeys& keys);

// The 4-byte sample size entry at entryOff, or -1 when entryOff is not below
// tableEnd, the read fails, the first byte is not 0 (16 MiB or more) or the
// size is 0.
int64_t Read_SampleSize(TSource& h, int64_t tableEnd, int64_t entryOff);

// Size of a fixed-size sound piece that follows a sample of the last video
// chunk: sample size x samples per chunk of the last sound stsc entry, doubled
// (recovery type 0) or scaled by the first attached sound piece once one exists.
// 0 when the sound sample size or a samples-per-chunk value is not positive.
int64_t Get_LastSoundSize(TSource& h, const TVideo& v, int recType, int64_t lastStscOff, int64_t firstStscOff,
                          int64_t stszSizeFieldOff);

} // namespace qrv

// The block classifier and the content tests applied to raw bytes of a medium.
//
// Classify_Block examines one scan block (524,800 bytes read at offset P, of
// which the first 524,288 are examined) for recording heads ("ftyp" on a
// sector boundary) and movie boxes ("moov" opening with a 108-byte "mvhd"),
// walks and parses each candidate, and appends what it accepts to the
// session's scan records.
//
// Has_Marker, Find_PlainRun and Is_SampleStart decide what a stretch of the
// medium is: whether a cluster holds something that cannot lie inside the
// media data of one recording, how far a marker-free run of clusters reaches,
// and whether the bytes at a predicted position start the expected sample.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/tree_data.h"
#include "platform/source_io.h"

namespace qrv {

struct TAllocMap;
class TScanSession;

// Geometry of a scan block.
inline constexpr int64_t kScanBlockRead = 524800; // bytes read per block (1,025 sectors of 512)
inline constexpr int64_t kScanBlockStep = 524288; // distance between blocks; also the examined part

// Everything Classify_Block needs besides the block bytes.
struct TClassifyContext {
    TSource* Handle = nullptr;     // the scan's open source
    TScanSession* Session = nullptr; // receives the records
    const TTreeData* Node = nullptr;
    int64_t Unit = 512;            // cluster bytes on FAT32/exFAT/NTFS, sector bytes otherwise
    int64_t WalkStep = 32768;      // the unit on those file systems, 32,768 otherwise
    int Mode = 0;                  // 0 all space, 1 free space only, 2 allocated space only
    const TAllocMap* Map = nullptr; // allocation map of the volume (may be unloaded or null)
    int64_t RangeEnd = 0;          // end of the scanned range in bytes
    int RecoveryType = 0;
    bool DateFilter = false;       // drop heads whose shooting time is outside the date window
    double DateFrom = 0, DateTo = 0; // the date window (date-time values)
    int TimeStandard = 0;            // TTimeStandard of the shooting times
    int64_t V = 0;                 // byte offset of the volume's first sector on the source
};

// Examines positions 0 .. 524,287 of block (which must hold kScanBlockRead
// bytes) read at absolute offset P, appends kind 0, 1 and 3 records to
// the session's scan records in the order found and increases movieCount for every
// kind 0 and kind 3 record.
void Classify_Block(const uint8_t* block, int64_t P, TClassifyContext& ctx, int64_t& movieCount);

// The same examination from the block's search results (Search_Block over
// positions 0 .. 524,287), for a scan that searched the block elsewhere.
struct TBlockFinds;
void Classify_Found(const TBlockFinds& finds, int64_t P, TClassifyContext& ctx, int64_t& movieCount);

// True when the buffer (one cluster followed by 512 more bytes of the medium)
// holds a structural marker at a position below len - 512: a FAT directory,
// an erased sector, the start of another file, an H.264 access-unit start of
// the kind these recorders write, or one of the box headers of a movie box.
bool Has_Marker(const uint8_t* buf, size_t len);

// Grows a marker-free run of clusters of step bytes from start (direction 0,
// forwards: returns the end offset of the run, reading up to limit) or down
// from limit (direction 1, backwards: returns the start offset of the run,
// down to start). -1 when the first cluster examined already holds a marker.
int64_t Find_PlainRun(TSource& h, int direction, int64_t step, int64_t start, int64_t limit);

// True when buf (read at a predicted sample position) starts with a NAL
// length prefix whose value + 4 equals expectedSize and whose NAL header byte
// is 65 for a sync sample, 41 or 01 for any other.
bool Is_SampleStart(const uint8_t* buf, size_t len, uint32_t expectedSize, bool sync);

// The implementation the fast searches below (and Has_Marker) run: the best
// this processor offers (the default), the plain byte-by-byte one, or a
// named vector one. Set_SearchPath returns false and changes nothing when the
// processor cannot run the path. Meant for tests and benchmarks, which
// compare the paths; set it before scanning, not during a scan.
enum class TSearchPath : uint8_t { Best, Plain, Avx2, Avx512 };
bool Set_SearchPath(TSearchPath path);
TSearchPath Search_Path();

// Fast searches used by the functions above, exposed for tests and benchmarks.
// First position i in [from, to) where the 12-byte movie-box signature starts
// ("moov", 00 00 00 6C, "mvhd"); buf must be readable up to to + 11. Returns
// to when there is none.
int64_t Find_MovieSignature(const uint8_t* buf, int64_t from, int64_t to);

} // namespace qrv

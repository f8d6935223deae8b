// Raw sector access: turning a source node into the path that opens it, and
// reading byte ranges at 64-bit offsets with 512-byte alignment hidden from the
// caller.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/tree_data.h"
#include "platform/source_io.h"

namespace qrv {

// Path that opens the node's medium:
//   physical disk -> HddNumber (its device path);
//   volume        -> HddModel (its device path);
//   image file    -> HddModel (the file's path);
//   region        -> HddNumber when it is a device path ("/dev/..."), else HddModel.
std::string Get_SourcePath(const TTreeData& node);

// Returns count bytes of the source from offset, always a fresh array of exactly
// count bytes (zeros where the medium could not be read or ends), or an empty
// array for count <= 0, a negative offset, or a count too large to allocate.
// Reads start at offset rounded down to 512 and cover (count div 512) x 512 + 1024
// bytes, so that raw devices see only sector-aligned reads.
std::vector<uint8_t> Get_Bytes(TSource& h, int64_t count, int64_t offset);

// Block read of the scan and imaging jobs: zero-fills buf, then reads len bytes
// at offset (both multiples of 512). Returns the bytes actually read (-1 on an
// I/O error); the buffer stays zero where nothing was read.
int64_t Read_Block(TSource& h, uint8_t* buf, size_t len, int64_t offset);

// A stretch of the medium that could not be read: Len bytes at byte offset Off.
struct TUnreadRun {
    int64_t Off = 0;
    int64_t Len = 0;
    int64_t End() const { return Off + Len; }
};

// Appends run to runs, merged with the last one when they touch.
void Add_UnreadRun(std::vector<TUnreadRun>& runs, TUnreadRun run);

// Reads len bytes at offset into buf like Read_Block, but where the medium
// fails part way (an error, or a read that comes back short before the end of
// the medium) the rest is read again sector by sector, so that only the
// sectors that cannot be read stay zero. Returns the bytes of the range that
// lie on the medium (len, or less at its end; -1 when nothing could be read
// and the medium's size is unknown); every unreadable stretch is appended to
// *unread (merged where they touch). sectorSize <= 0 means 512.
int64_t Read_Salvage(TSource& h, uint8_t* buf, size_t len, int64_t offset, int64_t sectorSize,
                     std::vector<TUnreadRun>* unread);

} // namespace qrv

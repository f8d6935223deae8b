// Output construction: a rebuilt recording is written piece by piece straight
// from the source to its output file, in 64 KiB blocks: the synthesized file
// head of a recording whose own head was lost, zero fills, and copies of the
// entries' ranges on the source.
#pragma once

#include <cstdint>

#include "platform/output_file.h"
#include "platform/source_io.h"
#include "scan/records.h"
#include "scan/unread_map.h"

namespace qrv {

enum TPieceMode : int {
    PIECE_HEAD = 0, // synthesized file head
    PIECE_FILL = 1, // zero bytes
    PIECE_COPY = 2, // bytes copied from the source
};

inline constexpr int64_t kPieceBlock = 65536;

// The first 40 bytes of every synthesized head: ftyp (mp42), an empty free box
// and an mdat header announcing a 64-bit size (which follows at bytes 40..47).
extern const uint8_t kHeadTemplate[40];

// Appends one piece to out. For PIECE_HEAD sizeValue is written big-endian at
// bytes 40..47; for PIECE_COPY srcOff is the source offset. Returns false when
// a write failed, or when the stop flag was already set at the start of a piece
// of at most one block; true otherwise (also when a longer piece was cut short
// by the stop flag of the file's operation (out.Op()). Adds every written byte
// to that operation's WrittenBytes and keeps its Progress2 at WrittenBytes div
// 65,536 (nothing counted and never stopped when the file has none).
bool Write_Piece(TSource& src, TOutputFile& out, int mode, int64_t sizeValue, int64_t srcOff, int64_t length);

// Writes what one part of a rebuilt recording contributes: with headFlag the
// synthesized head of result r (entry is then ignored), otherwise entry
// `entry`: its copy range, its zero fill and a trailing piece if it has one.
// Returns the outcome of the last write; false as well when the entry's copy
// start is not a decimal number.
bool Build_Piece(const TRebuildResult& r, int32_t entry, TSource& src, bool headFlag, TOutputFile& out);

// The copy start of an entry: its decimal copy-start text (blanks ignored),
// else FragmentLastSoff, else FragmenSoff. -1 when the text is present but is
// not a decimal number.
int64_t Get_CopyStart(const TFragmenArr& e);
// The copy end: FragmentLastEoff when non-zero, else FragmenEoff.
inline int64_t Get_CopyEnd(const TFragmenArr& e) { return e.FragmentLastEoff != 0 ? e.FragmentLastEoff : e.FragmenEoff; }

// Writes a whole rebuilt recording in the export order: the synthesized head
// when HeadFlag is 1, then for layout 0 the movie header entry and the data
// entries, for layout 2 the data entries and then the movie header entry.
// Entries marked as overlapping are skipped. False when a piece failed.
bool Write_Recording(const TRebuildResult& r, TSource& src, TOutputFile& out);

// True when the analysis found media data for r: an entry grown from frame
// starts on the medium. A result without one holds only a file head or movie
// box, nothing of the recording itself.
bool Has_MediaData(const TRebuildResult& r);

// The length of the file Write_Recording writes for r, without writing it.
int64_t Written_Length(const TRebuildResult& r);

// True when a byte range the result copies from the medium (any entry that
// is not an overlap) touches a stretch the scan could not read.
bool Reads_Unread(const TRebuildResult& r, const TUnreadMap& unread);

// True when a seam of the result (an entry that is not an overlap) was split
// by a guess: the tables left several splits and decoding did not single one out.
bool Has_UnverifiedSeam(const TRebuildResult& r);

} // namespace qrv

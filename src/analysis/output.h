// Output construction: one layout says what a rebuilt recording's file holds
// where (the synthesized file head of a recording whose own head was lost,
// copies of the entries' ranges on the source, zero fills); the export, the
// preview sample and every test and benchmark write from it, piece by piece
// straight from the source, in 64 KiB blocks.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "common/outcome.h"
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

// One piece of an output file: Length bytes (> 0) at FileOff, generated
// (PIECE_HEAD: the head template with SizeValue at bytes 40..47, then zeros),
// zeros (PIECE_FILL) or copied from source offset SrcOff (PIECE_COPY).
struct TOutputPiece {
    TPieceMode Mode = PIECE_FILL;
    int64_t FileOff = 0;
    int64_t Length = 0;
    int64_t SrcOff = 0;
    int64_t SizeValue = 0;
};

// What one part of a rebuilt recording puts into its file: the synthesized
// head (Entry -1) or entry Entry of the result (its copy range, its zero fill
// and its trailing piece). A part whose copy start is unusable has no pieces
// and Usable false: the file cannot be written past it.
struct TOutputPart {
    int32_t Entry = -1;
    bool Usable = true;
    std::vector<TOutputPiece> Pieces;
};

// The layout of a rebuilt recording's output file: its parts in file order
// and the file's length (held at INT64_MAX when the record's values add up to
// more). The parts are the synthesized head when HeadFlag is 1, then for
// layout 0 the movie header entry and the data entries, for layout 2 the data
// entries and then the movie header entry; entries marked as overlapping are
// left out, and only the first Fragmenum entries count.
struct TOutputLayout {
    std::vector<TOutputPart> Parts;
    int64_t Length = 0;
};

TOutputLayout Output_Layout(const TRebuildResult& r);

// The part of r for its synthesized head (entry -1) or for entry `entry`,
// starting at file offset fileOff. An entry outside the array is unusable.
TOutputPart Part_Layout(const TRebuildResult& r, int32_t entry, int64_t fileOff);

// Appends one piece to out (its FileOff is where out stands). Counted, every
// written byte is added to the WrittenBytes of the file's operation
// (out.Op(); none: nothing is counted and nothing stops), its Progress2 is
// kept at WrittenBytes div 65,536 and its stop flag is obeyed: false when it
// was already set at the start of a piece of at most one block, true when a
// longer piece was cut short by it. Not counted (a preview beside a running
// operation), neither the counters nor the stop flag are touched. False as
// well when a write failed.
bool Write_Piece(TSource& src, TOutputFile& out, const TOutputPiece& piece, bool counted = true);
bool Write_Piece(TSource& src, TOutputFile& out, int mode, int64_t sizeValue, int64_t srcOff, int64_t length);

// Writes the pieces of one part, each only when the one before it succeeded.
// False when the part is unusable or a piece failed.
bool Write_Part(const TOutputPart& part, TSource& src, TOutputFile& out);

// Writes one part in place of Write_Part (a test's stand-in for the disk).
using TPartWriter = std::function<bool(const TOutputPart& part, TSource& src, TOutputFile& out)>;

// Writes a layout part by part through the output file (which the output
// guard opened). Ends at the first part that is not written: Cancelled when
// the stop flag is set after a part (what was written is kept), Corrupt when
// the part's copy start is unusable, Io_Error when a write failed; the offset
// is where the file stands.
TOutcome Write_Layout(const TOutputLayout& layout, TSource& src, TOutputFile& out,
                      const TPartWriter& writer = {});

// Writes part `entry` (or with headFlag the synthesized head) of r where out
// stands. False when it could not be written.
bool Build_Piece(const TRebuildResult& r, int32_t entry, TSource& src, bool headFlag, TOutputFile& out);

// The copy start of an entry: the copy start set on it, else FragmentLastSoff,
// else FragmenSoff. Negative (unusable) when the one set is.
int64_t Get_CopyStart(const TFragmenArr& e);
// The copy end: FragmentLastEoff when non-zero, else FragmenEoff.
inline int64_t Get_CopyEnd(const TFragmenArr& e) { return e.FragmentLastEoff != 0 ? e.FragmentLastEoff : e.FragmenEoff; }

// Writes the whole layout of r. False when it was not written in full.
bool Write_Recording(const TRebuildResult& r, TSource& src, TOutputFile& out);

// True when the analysis found media data for r: an entry grown from frame
// starts on the medium. A result without one holds only a file head or movie
// box, nothing of the recording itself.
bool Has_MediaData(const TRebuildResult& r);

// The length of the file Write_Recording writes for r, without writing it.
inline int64_t Written_Length(const TRebuildResult& r) {
    return Output_Layout(r).Length;
}

// True when a byte range the result copies from the medium (any entry that
// is not an overlap) touches a stretch the scan could not read.
bool Reads_Unread(const TRebuildResult& r, const TUnreadMap& unread);

// True when a seam of the result (an entry that is not an overlap) was split
// by a guess: the tables left several splits and decoding did not single one out.
bool Has_UnverifiedSeam(const TRebuildResult& r);

} // namespace qrv

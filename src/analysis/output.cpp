#include "analysis/output.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/seam_growth.h"
#include "common/byte_order.h"
#include "common/checked_math.h"
#include "common/op_state.h"
#include "media/raw_access.h"

namespace qrv {

const uint8_t kHeadTemplate[40] = {
    0x00, 0x00, 0x00, 0x18, 'f', 't', 'y', 'p', 'm', 'p', '4', '2', 0x00, 0x00, 0x00, 0x00,
    'm',  'p',  '4',  '2',  0x00, 0x00, 0x00, 0x00, // ftyp, 24 bytes
    0x00, 0x00, 0x00, 0x08, 'f', 'r', 'e', 'e',     // empty free box
    0x00, 0x00, 0x00, 0x01, 'm', 'd', 'a', 't',     // mdat with a 64-bit size
};

namespace {

// Where the pieces go: the file, and whether the operation's counters and
// stop flag apply (a preview sample built beside a running operation touches
// neither).
struct TSink {
    TOutputFile& File;
    bool Counted = true;

    // Writes n bytes of block and counts them.
    bool Put(const uint8_t* block, int64_t n) const {
        if (n <= 0) return true;
        if (!File.Write(block, size_t(n))) return false;
        if (!Counted) return true;
        if (TOpState* op = File.Op()) {
            int64_t total = op->WrittenBytes.fetch_add(n) + n;
            op->Progress2 = int32_t(total / kPieceBlock);
        }
        return true;
    }
    bool Stopped() const { return Counted && File.Op() && File.Op()->StopFlag.load(); }
    int64_t Length() const { return File.Length(); }
};

// Modes 0 and 1: n bytes, zeros except for the head template in the first block.
bool Write_Generated(const TSink& out, bool head, int64_t sizeValue, int64_t n) {
    if (n <= 0) return true;
    std::vector<uint8_t> block(size_t(kPieceBlock), 0);
    if (head) {
        std::memcpy(block.data(), kHeadTemplate, sizeof kHeadTemplate);
        Put_BE64(block.data() + 40, uint64_t(sizeValue));
    }
    if (n <= kPieceBlock) {
        if (out.Stopped()) return false;
        return out.Put(block.data(), n);
    }
    const int64_t full = n / kPieceBlock;
    for (int64_t i = 0; i < full; ++i) {
        if (out.Stopped()) return true;
        if (!out.Put(block.data(), kPieceBlock)) return false;
        if (i == 0 && head) std::memset(block.data(), 0, 48);
    }
    return out.Put(block.data(), n % kPieceBlock);
}

// Tells the file's tap (if any) where n bytes just written at file offset
// fileOff came from: `got` of them were read from source offset srcOff, the
// rest are zeros, past the end of the medium or in place of bytes that could
// not be read.
void Declare_Copied(TOutputFile& out, int64_t fileOff, int64_t srcOff, int64_t n, int64_t got, int64_t size) {
    TWriteTap* tap = out.Tap();
    if (!tap || n <= 0) return;
    got = std::clamp<int64_t>(got, 0, n);
    if (size >= 0) got = std::min<int64_t>(got, std::max<int64_t>(size - srcOff, 0));
    if (got > 0) tap->On_Run(fileOff, got, srcOff, TWriteTap::RUN_SOURCE);
    if (n == got) return;
    const int64_t missing = srcOff + got;
    const int64_t unread = size < 0 ? n - got : std::clamp<int64_t>(size - missing, 0, n - got);
    if (unread > 0) tap->On_Run(fileOff + got, unread, missing, TWriteTap::RUN_UNREAD);
    if (n - got - unread > 0) tap->On_Run(fileOff + got + unread, n - got - unread, -1, TWriteTap::RUN_ZERO);
}

// The same for n bytes read with Read_Salvage: got of them lie on the
// medium, the stretches in unread could not be read.
void Declare_Salvaged(TOutputFile& out, int64_t fileOff, int64_t srcOff, int64_t n, int64_t got,
                      const std::vector<TUnreadRun>& unread) {
    TWriteTap* tap = out.Tap();
    if (!tap || n <= 0) return;
    got = std::clamp<int64_t>(got, 0, n);
    int64_t at = srcOff;
    for (const TUnreadRun& r : unread) {
        if (r.Off > at) tap->On_Run(fileOff + (at - srcOff), r.Off - at, at, TWriteTap::RUN_SOURCE);
        tap->On_Run(fileOff + (r.Off - srcOff), r.Len, r.Off, TWriteTap::RUN_UNREAD);
        at = r.End();
    }
    if (srcOff + got > at) tap->On_Run(fileOff + (at - srcOff), srcOff + got - at, at, TWriteTap::RUN_SOURCE);
    if (n > got) tap->On_Run(fileOff + got, n - got, -1, TWriteTap::RUN_ZERO);
}

bool Write_Copy(TSource& src, const TSink& sink, int64_t o, int64_t n) {
    if (n <= 0) return true;
    if (sink.Stopped() && n <= kPieceBlock) return false;
    TOutputFile& out = sink.File;
    const int64_t size = out.Tap() ? src.Size() : -1;
    int64_t k = 0;
    if (o % 512 != 0) {
        k = std::min<int64_t>(512 - (o % 512), n);
        std::vector<uint8_t> head = Get_Bytes(src, k, o);
        if (head.size() != size_t(k)) head.assign(size_t(k), 0);
        const int64_t at = out.Length();
        if (!sink.Put(head.data(), k)) return false;
        Declare_Copied(out, at, o, k, k, size);
    }
    int64_t left = n - k;
    int64_t at = o + k;
    // Copies go in runs of kCopyRun bytes (fewer calls per byte). A run the
    // medium does not deliver whole before its end is read again sector by
    // sector, so that a bad sector costs its own bytes only, and the file's
    // tap learns every unreadable stretch.
    constexpr int64_t kCopyRun = 16 * kPieceBlock;
    std::vector<uint8_t> block(static_cast<size_t>(kCopyRun));
    std::vector<TUnreadRun> unread;
    while (left > 0) {
        if (sink.Stopped()) return true;
        const int64_t want = std::min(left, kCopyRun);
        unread.clear();
        const int64_t got = Read_Salvage(src, block.data(), size_t(want), at, 512, &unread);
        const int64_t fileOff = out.Length();
        if (!sink.Put(block.data(), want)) return false;
        Declare_Salvaged(out, fileOff, at, want, got, unread);
        left -= want;
        at += want;
    }
    return true;
}

} // namespace

namespace {

// Tells the file's tap what the generated piece just written holds.
void Declare_Generated(TOutputFile& out, int mode, int64_t from) {
    TWriteTap* tap = out.Tap();
    const int64_t n = out.Length() - from;
    if (!tap || n <= 0) return;
    if (mode == PIECE_HEAD) {
        const int64_t made = std::min<int64_t>(n, sizeof kHeadTemplate + 8);
        tap->On_Run(from, made, -1, TWriteTap::RUN_GENERATED);
        if (n > made) tap->On_Run(from + made, n - made, -1, TWriteTap::RUN_ZERO);
    } else if (mode == PIECE_FILL) {
        tap->On_Run(from, n, -1, TWriteTap::RUN_ZERO);
    }
    // Copies declare their runs block by block as they read.
}

bool Write_PieceOnly(TSource& src, const TSink& sink, const TOutputPiece& p) {
    switch (p.Mode) {
    case PIECE_HEAD:
        return Write_Generated(sink, true, p.SizeValue, p.Length);
    case PIECE_FILL:
        return Write_Generated(sink, false, 0, p.Length);
    case PIECE_COPY:
        return Write_Copy(src, sink, p.SrcOff, p.Length);
    default:
        return false;
    }
}

// a + b for file offsets and lengths, held at INT64_MAX: a record's values
// (loaded from a file) may add up to more than any file holds.
int64_t Add_Held(int64_t a, int64_t b) {
    return Add_Checked(a, b).value_or(INT64_MAX);
}

// Adds a piece of n bytes at *at to part (nothing for n <= 0).
void Add_Piece(TOutputPart& part, int64_t& at, TPieceMode mode, int64_t n, int64_t srcOff = 0,
               int64_t sizeValue = 0) {
    if (n <= 0) return;
    part.Pieces.push_back({mode, at, n, srcOff, sizeValue});
    at = Add_Held(at, n);
}

// The copy [start, end) as a length: 0 for an empty or reversed range, held
// at INT64_MAX for a range wider than that.
int64_t Copy_Length(int64_t start, int64_t end) {
    if (end <= start) return 0;
    int64_t n = 0;
    return __builtin_sub_overflow(end, start, &n) ? INT64_MAX : n;
}

} // namespace

bool Write_Piece(TSource& src, TOutputFile& out, const TOutputPiece& piece, bool counted) {
    const TSink sink{out, counted};
    const int64_t from = out.Length();
    const bool ok = Write_PieceOnly(src, sink, piece);
    Declare_Generated(out, piece.Mode, from);
    return ok;
}

bool Write_Piece(TSource& src, TOutputFile& out, int mode, int64_t sizeValue, int64_t srcOff,
                 int64_t length) {
    if (mode != PIECE_HEAD && mode != PIECE_FILL && mode != PIECE_COPY) return false;
    return Write_Piece(src, out, TOutputPiece{TPieceMode(mode), out.Length(), length, srcOff, sizeValue});
}

int64_t Get_CopyStart(const TFragmenArr& e) {
    if (e.FragmentLastErySoff) return *e.FragmentLastErySoff;
    return e.FragmentLastSoff != 0 ? e.FragmentLastSoff : e.FragmenSoff;
}

TOutputPart Part_Layout(const TRebuildResult& r, int32_t entry, int64_t fileOff) {
    TOutputPart part;
    part.Entry = entry;
    int64_t at = fileOff;
    if (entry < 0) {
        Add_Piece(part, at, PIECE_HEAD, r.HeadLenx, 0, r.HeadMdatLenx);
        return part;
    }
    if (entry >= int32_t(r.FragmenArray.size())) {
        part.Usable = false;
        return part;
    }
    const TFragmenArr& e = r.FragmenArray[size_t(entry)];
    const int64_t start = Get_CopyStart(e);
    if (start < 0) {
        part.Usable = false;
        return part;
    }
    Add_Piece(part, at, PIECE_COPY, Copy_Length(start, Get_CopyEnd(e)), start);
    Add_Piece(part, at, PIECE_FILL, e.FragmentFreeSpace);
    if (e.LastFragmenum > 0) {
        const TLastFragmen& t = e.LastFragmen;
        if (t.FragmentLastSoff < 0) { // not a place on the medium
            part.Usable = false;
            part.Pieces.clear();
            return part;
        }
        Add_Piece(part, at, PIECE_FILL, t.FragmentUpFreeSpace);
        Add_Piece(part, at, PIECE_COPY, Copy_Length(t.FragmentLastSoff, t.FragmentLastEoff),
                  t.FragmentLastSoff);
        Add_Piece(part, at, PIECE_FILL, t.FragmentDownFreeSpace);
    }
    return part;
}

TOutputLayout Output_Layout(const TRebuildResult& r) {
    TOutputLayout layout;
    auto add = [&](int32_t entry) {
        layout.Parts.push_back(Part_Layout(r, entry, layout.Length));
        for (const TOutputPiece& p : layout.Parts.back().Pieces)
            layout.Length = Add_Held(p.FileOff, p.Length);
    };
    // Fragmenum and the array length may differ in a record loaded from a file.
    const int32_t n = int32_t(std::clamp<int64_t>(r.Fragmenum, 0, int64_t(r.FragmenArray.size())));
    auto dataEntries = [&] {
        for (int32_t i = 0; i < n; ++i) {
            const TFragmenArr& e = r.FragmenArray[size_t(i)];
            if (!e.ChongHeFlag && (e.FragmenType == ENTRY_FILE_HEAD || e.FragmenType == ENTRY_DATA)) add(i);
        }
    };
    const bool movieFirst = n > 0 && r.FragmenArray[0].FragmenType == ENTRY_MOVIE;
    if (r.HeadFlag == 1) add(-1);
    if (r.CamerType == 0) {
        if (movieFirst) add(0);
        dataEntries();
    } else if (r.CamerType == 2) {
        dataEntries();
        if (movieFirst) add(0); // the movie header goes last
    }
    return layout;
}

bool Write_Part(const TOutputPart& part, TSource& src, TOutputFile& out) {
    if (!part.Usable) return false;
    // After a failed write (or a stop before a short piece) the file is abandoned.
    for (const TOutputPiece& p : part.Pieces)
        if (!Write_Piece(src, out, p)) return false;
    return true;
}

TOutcome Write_Layout(const TOutputLayout& layout, TSource& src, TOutputFile& out,
                      const TPartWriter& writer) {
    for (const TOutputPart& part : layout.Parts) {
        const bool wrote = writer ? writer(part, src, out) : Write_Part(part, src, out);
        if (out.Op() && out.Op()->StopFlag) return TOutcome::Cancelled(out.Length());
        if (wrote) continue;
        if (!part.Usable)
            return TOutcome::Corrupt(out.Length(), "copy start of entry " + std::to_string(part.Entry));
        return TOutcome::Io_Error(out.Length(), "write of " + out.Path());
    }
    return TOutcome::Ok();
}

bool Build_Piece(const TRebuildResult& r, int32_t entry, TSource& src, bool headFlag, TOutputFile& out) {
    return Write_Part(Part_Layout(r, headFlag ? -1 : entry, out.Length()), src, out);
}

bool Write_Recording(const TRebuildResult& r, TSource& src, TOutputFile& out) {
    return Write_Layout(Output_Layout(r), src, out).Is_Ok();
}

bool Has_MediaData(const TRebuildResult& r) {
    for (const TFragmenArr& e : r.FragmenArray)
        if (!e.ChongHeFlag && e.FragmenType == ENTRY_DATA) return true;
    return false;
}

bool Reads_Unread(const TRebuildResult& r, const TUnreadMap& unread) {
    for (const TFragmenArr& e : r.FragmenArray) {
        if (e.ChongHeFlag) continue;
        const int64_t start = Get_CopyStart(e);
        if (start >= 0 && unread.Overlaps(start, Get_CopyEnd(e) - start)) return true;
        if (e.LastFragmenum > 0) {
            const TLastFragmen& t = e.LastFragmen;
            if (unread.Overlaps(t.FragmentLastSoff, t.FragmentLastEoff - t.FragmentLastSoff)) return true;
        }
    }
    return false;
}

bool Has_UnverifiedSeam(const TRebuildResult& r) {
    for (const TFragmenArr& e : r.FragmenArray)
        if (!e.ChongHeFlag && e.SeamState == SEAM_UNVERIFIED) return true;
    return false;
}

} // namespace qrv

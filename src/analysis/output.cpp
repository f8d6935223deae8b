#include "analysis/output.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "analysis/seam_growth.h"
#include "common/byte_order.h"
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

// Writes n bytes of block and counts them.
bool Put(TOutputFile& out, const uint8_t* block, int64_t n) {
    if (n <= 0) return true;
    if (!out.Write(block, size_t(n))) return false;
    if (TOpState* op = out.Op()) {
        int64_t total = op->WrittenBytes.fetch_add(n) + n;
        op->Progress2 = int32_t(total / kPieceBlock);
    }
    return true;
}

bool Stopped(const TOutputFile& out) {
    return out.Op() && out.Op()->StopFlag.load();
}

// Modes 0 and 1: n bytes, zeros except for the head template in the first block.
bool Write_Generated(TOutputFile& out, bool head, int64_t sizeValue, int64_t n) {
    if (n <= 0) return true;
    std::vector<uint8_t> block(size_t(kPieceBlock), 0);
    if (head) {
        std::memcpy(block.data(), kHeadTemplate, sizeof kHeadTemplate);
        Put_BE64(block.data() + 40, uint64_t(sizeValue));
    }
    if (n <= kPieceBlock) {
        if (Stopped(out)) return false;
        return Put(out, block.data(), n);
    }
    const int64_t full = n / kPieceBlock;
    for (int64_t i = 0; i < full; ++i) {
        if (Stopped(out)) return true;
        if (!Put(out, block.data(), kPieceBlock)) return false;
        if (i == 0 && head) std::memset(block.data(), 0, 48);
    }
    return Put(out, block.data(), n % kPieceBlock);
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

bool Write_Copy(TSource& src, TOutputFile& out, int64_t o, int64_t n) {
    if (n <= 0) return true;
    if (Stopped(out) && n <= kPieceBlock) return false;
    const int64_t size = out.Tap() ? src.Size() : -1;
    int64_t k = 0;
    if (o % 512 != 0) {
        k = std::min<int64_t>(512 - (o % 512), n);
        std::vector<uint8_t> head = Get_Bytes(src, k, o);
        if (head.size() != size_t(k)) head.assign(size_t(k), 0);
        const int64_t at = out.Length();
        if (!Put(out, head.data(), k)) return false;
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
        if (Stopped(out)) return true;
        const int64_t want = std::min(left, kCopyRun);
        unread.clear();
        const int64_t got = Read_Salvage(src, block.data(), size_t(want), at, 512, &unread);
        const int64_t fileOff = out.Length();
        if (!Put(out, block.data(), want)) return false;
        Declare_Salvaged(out, fileOff, at, want, got, unread);
        left -= want;
        at += want;
    }
    return true;
}

int64_t Parse_Decimal(const std::string& text, bool& ok) {
    size_t b = text.find_first_not_of(" \t\r\n");
    size_t e = text.find_last_not_of(" \t\r\n");
    ok = false;
    if (b == std::string::npos) return 0;
    std::string t = text.substr(b, e - b + 1);
    size_t i = 0;
    bool neg = false;
    if (t[0] == '-' || t[0] == '+') {
        neg = t[0] == '-';
        i = 1;
    }
    if (i >= t.size() || t.size() - i > 18) return 0;
    int64_t v = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9') return 0;
        v = v * 10 + (t[i] - '0');
    }
    ok = true;
    return neg ? -v : v;
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

bool Write_PieceOnly(TSource& src, TOutputFile& out, int mode, int64_t sizeValue, int64_t srcOff, int64_t length) {
    switch (mode) {
    case PIECE_HEAD:
        return Write_Generated(out, true, sizeValue, length);
    case PIECE_FILL:
        return Write_Generated(out, false, 0, length);
    case PIECE_COPY:
        return Write_Copy(src, out, srcOff, length);
    default:
        return false;
    }
}

} // namespace

bool Write_Piece(TSource& src, TOutputFile& out, int mode, int64_t sizeValue, int64_t srcOff, int64_t length) {
    const int64_t from = out.Length();
    const bool ok = Write_PieceOnly(src, out, mode, sizeValue, srcOff, length);
    Declare_Generated(out, mode, from);
    return ok;
}

int64_t Get_CopyStart(const TFragmenArr& e) {
    bool ok = false;
    if (e.FragmentLastErySoff.find_first_not_of(" \t\r\n") == std::string::npos)
        return e.FragmentLastSoff != 0 ? e.FragmentLastSoff : e.FragmenSoff;
    int64_t v = Parse_Decimal(e.FragmentLastErySoff, ok);
    return ok ? v : -1;
}

bool Build_Piece(const TRebuildResult& r, int32_t entry, TSource& src, bool headFlag, TOutputFile& out) {
    if (headFlag) return Write_Piece(src, out, PIECE_HEAD, r.HeadMdatLenx, 0, r.HeadLenx);
    if (entry < 0 || entry >= int32_t(r.FragmenArray.size())) return false;
    const TFragmenArr& e = r.FragmenArray[size_t(entry)];
    const int64_t start = Get_CopyStart(e);
    if (start < 0) return false;
    // Each piece is written only when the one before it succeeded: after a
    // failed write (or a stop before a short piece) the file is abandoned.
    if (!Write_Piece(src, out, PIECE_COPY, 0, start, Get_CopyEnd(e) - start)) return false;
    if (e.FragmentFreeSpace > 0 && !Write_Piece(src, out, PIECE_FILL, 0, 0, e.FragmentFreeSpace)) return false;
    if (e.LastFragmenum > 0) {
        const TLastFragmen& t = e.LastFragmen;
        if (t.FragmentUpFreeSpace > 0 && !Write_Piece(src, out, PIECE_FILL, 0, 0, t.FragmentUpFreeSpace)) return false;
        if (!Write_Piece(src, out, PIECE_COPY, 0, t.FragmentLastSoff, t.FragmentLastEoff - t.FragmentLastSoff))
            return false;
        if (t.FragmentDownFreeSpace > 0 && !Write_Piece(src, out, PIECE_FILL, 0, 0, t.FragmentDownFreeSpace))
            return false;
    }
    return true;
}

bool Write_Recording(const TRebuildResult& r, TSource& src, TOutputFile& out) {
    bool ok = true;
    auto put = [&](bool head, int32_t i) {
        if (ok && !Build_Piece(r, i, src, head, out)) ok = false;
    };
    if (r.HeadFlag == 1) put(true, -1);
    const int32_t n = int32_t(r.FragmenArray.size());
    auto dataEntries = [&] {
        for (int32_t i = 0; i < n; ++i) {
            const TFragmenArr& e = r.FragmenArray[size_t(i)];
            if (!e.ChongHeFlag && (e.FragmenType == ENTRY_FILE_HEAD || e.FragmenType == ENTRY_DATA)) put(false, i);
        }
    };
    const bool movieFirst = n > 0 && r.FragmenArray[0].FragmenType == ENTRY_MOVIE;
    if (r.CamerType == 0) {
        if (movieFirst) put(false, 0);
        dataEntries();
    } else if (r.CamerType == 2) {
        dataEntries();
        if (movieFirst) put(false, 0);
    }
    return ok;
}

bool Has_MediaData(const TRebuildResult& r) {
    for (const TFragmenArr& e : r.FragmenArray)
        if (!e.ChongHeFlag && e.FragmenType == ENTRY_DATA) return true;
    return false;
}

int64_t Written_Length(const TRebuildResult& r) {
    int64_t n = r.HeadFlag == 1 ? std::max<int64_t>(r.HeadLenx, 0) : 0;
    auto add = [&](const TFragmenArr& e) {
        const int64_t s = Get_CopyStart(e), t = Get_CopyEnd(e);
        if (s >= 0 && t > s) n += t - s;
        if (e.FragmentFreeSpace > 0) n += e.FragmentFreeSpace;
        if (e.LastFragmenum > 0) {
            const TLastFragmen& l = e.LastFragmen;
            n += std::max<int64_t>(l.FragmentUpFreeSpace, 0) + std::max<int64_t>(l.FragmentDownFreeSpace, 0) +
                 std::max<int64_t>(l.FragmentLastEoff - l.FragmentLastSoff, 0);
        }
    };
    const bool movieFirst = !r.FragmenArray.empty() && r.FragmenArray[0].FragmenType == ENTRY_MOVIE;
    if (r.CamerType == 0 && movieFirst) add(r.FragmenArray[0]);
    for (const TFragmenArr& e : r.FragmenArray)
        if (!e.ChongHeFlag && (e.FragmenType == ENTRY_FILE_HEAD || e.FragmenType == ENTRY_DATA)) add(e);
    if (r.CamerType == 2 && movieFirst) add(r.FragmenArray[0]);
    return n;
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

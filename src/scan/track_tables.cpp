#include "scan/track_tables.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/language.h"
#include "common/ui_message.h"
#include "media/raw_access.h"
#include "scan/movie_generic.h"
#include "scan/scan_session.h"

namespace qrv {

// ---------------------------------------------------------------- sample keys

void TSampleKeys::Add(uint32_t size, uint32_t mod512, int64_t index) {
    ++count_;
    const uint64_t key = Key(size, mod512);
    if (filter_.empty()) filter_.assign((size_t(1) << kFilterBits) / 64, 0);
    const size_t bit = Filter_Bit(key);
    filter_[bit / 64] |= uint64_t(1) << (bit % 64);
    auto [it, inserted] = map_.try_emplace(key, index);
    if (!inserted && index < it->second) it->second = index;
}

int64_t TSampleKeys::Find(uint32_t size, uint32_t mod512) const {
    if (!May_Hold(size, mod512)) return -1;
    auto it = map_.find(Key(size, mod512));
    return it == map_.end() ? -1 : it->second;
}

void TSampleKeys::Clear() {
    map_.clear();
    filter_.clear();
    count_ = 0;
}

namespace {

// Entries per piece when a table is read: sample-to-chunk tables in pieces of
// 4,080 bytes, every other table in pieces of 1,024 entries.
constexpr int64_t kStscPiece = 340;
constexpr int64_t kTablePiece = 1024;

// Upper bound of what is reserved ahead of validation (counts are first capped
// by what their table can hold); larger tables grow as their entries pass the
// checks, so a corrupt count never allocates much by itself.
constexpr int64_t kReserveCap = 1 << 20;

int32_t S32(const uint8_t* p) {
    return int32_t(Get_BE32(p));
}

// One chunk offset entry: 32-bit stco entries are unsigned (cameras writing
// FAT32 put chunks anywhere below 4 GiB), co64 entries 64-bit.
int64_t Chunk_Offset(const uint8_t* e, bool co64) {
    return co64 ? int64_t(Get_BE64(e)) : int64_t(Get_BE32(e));
}

// Reads a signed 32-bit field at off; false when the read yields nothing.
bool Read_S32(TSource& h, int64_t off, int32_t& v) {
    auto b = Get_Bytes(h, 4, off);
    if (b.size() < 4) return false;
    v = S32(b.data());
    return true;
}

// Entry region of a table box: [off + hdr, off + len). Refused when either end
// lies beyond the scan end, the region is negative, or its length is not a
// multiple of the entry width. On success capacity is the number of entries it
// holds.
bool Table_Region(int64_t off, int64_t len, int64_t hdr, int64_t width, int64_t scanEnd, int64_t& start,
                  int64_t& capacity) {
    if (off < 0 || len < 0 || off > scanEnd || len > scanEnd) return false;
    start = off + hdr;
    const int64_t end = off + len;
    if (start > scanEnd || end > scanEnd) return false;
    const int64_t length = end - start;
    if (length < 0 || length % width != 0) return false;
    capacity = length / width;
    return true;
}

std::string Num(int64_t n) {
    return std::to_string(n);
}

void Send_Range(int64_t pieces) {
    Send_UIMessage(MSG_GAUGE2_RANGE, {Num(pieces - 1)});
}

void Send_Step(int64_t n, const char* label) {
    Send_UIMessage(MSG_STATUS3, {Num(n), "", Tr(label) + ":" + Num(n)});
}

// Reads count entries of width bytes from start in pieces of pieceEntries,
// announcing the piece count before and each finished piece after. each is
// called with the entry index and a pointer to the entry; returning false ends
// the read with failure. An empty read fails too.
bool Read_Table(TSource& h, int64_t start, int64_t count, int64_t width, int64_t pieceEntries,
                const std::function<bool(int64_t, const uint8_t*)>& each) {
    const int64_t pieces = (count + pieceEntries - 1) / pieceEntries;
    Send_Range(pieces);
    for (int64_t piece = 0; piece < pieces; ++piece) {
        const int64_t first = piece * pieceEntries;
        const int64_t n = std::min(pieceEntries, count - first);
        auto buf = Get_Bytes(h, n * width, start + first * width);
        if (int64_t(buf.size()) < n * width) return false;
        for (int64_t i = 0; i < n; ++i)
            if (!each(first + i, buf.data() + i * width)) return false;
        Send_Step(piece, "已解析");
    }
    return true;
}

struct TChunkRun {
    int32_t First; // 1-based first chunk
    int32_t PerChunk;
};

// Sample-to-chunk entries from the box at off (len bytes): every value at least
// 1 and first chunks strictly rising.
bool Read_Stsc(TSource& h, const TAtoms& a, int64_t scanEnd, std::vector<TChunkRun>& runs) {
    runs.clear();
    int64_t start = 0, capacity = 0;
    if (!Table_Region(a.AtomStscOff, a.AtomStscLen, 16, 12, scanEnd, start, capacity)) return false;
    const int64_t count = a.AtomStscNum;
    if (count < 1 || count > capacity) return false;
    runs.reserve(size_t(std::min(count, kReserveCap)));
    return Read_Table(h, start, count, 12, kStscPiece, [&](int64_t, const uint8_t* e) {
        const int32_t first = S32(e), per = S32(e + 4), desc = S32(e + 8);
        if (first < 1 || per < 1 || desc < 1) return false;
        if (!runs.empty() && first <= runs.back().First) return false;
        runs.push_back({first, per});
        return true;
    });
}

// Samples per chunk for rising chunk numbers: with one run its value; with
// several, the run whose first chunk <= n < the next run's first chunk, the
// last run's value beyond it, and 0 before the first run.
class TChunkCursor {
  public:
    explicit TChunkCursor(const std::vector<TChunkRun>& runs) : runs_(runs) {}
    int32_t Samples(int64_t n) {
        if (runs_.size() == 1) return runs_[0].PerChunk;
        while (i_ + 1 < runs_.size() && runs_[i_ + 1].First <= n)
            ++i_;
        return runs_[i_].First <= n ? runs_[i_].PerChunk : 0;
    }

  private:
    const std::vector<TChunkRun>& runs_;
    size_t i_ = 0;
};

// Reads a sample size entry table in pieces while answering the per-entry
// questions of Read_SampleSize.
class TSizeReader {
  public:
    TSizeReader(TSource& h, int64_t tableStart, int64_t tableEnd)
        : h_(h), start_(tableStart), end_(tableEnd) {}
    int64_t Entry(int64_t index) {
        const int64_t off = start_ + 4 * index;
        if (index < 0 || off >= end_) return -1;
        const int64_t piece = index / kTablePiece;
        if (piece != piece_) {
            const int64_t first = piece * kTablePiece;
            const int64_t n = std::min(kTablePiece, (end_ - start_) / 4 - first);
            buf_ = n > 0 ? Get_Bytes(h_, n * 4, start_ + first * 4) : std::vector<uint8_t>();
            piece_ = piece;
        }
        const int64_t at = (index - piece * kTablePiece) * 4;
        if (at + 4 > int64_t(buf_.size())) return -1;
        const uint8_t* p = buf_.data() + at;
        if (p[0] != 0) return -1;
        const int64_t v = (int64_t(p[1]) << 16) | (int64_t(p[2]) << 8) | p[3];
        return v == 0 ? -1 : v;
    }

  private:
    TSource& h_;
    int64_t start_, end_;
    int64_t piece_ = -1;
    std::vector<uint8_t> buf_;
};

// ------------------------------------------------------ Get_MoovTracks helpers

// Walks the boxes of one trak box and records its tables. False on any
// malformed box.
bool Walk_Track(TSource& h, TAtoms& a, int64_t trackEnd, int32_t& videoCount, int32_t& soundCount,
                bool& tablesFound, TmoovExt& out, bool generic) {
    int64_t pos = a.TrackOff + 8;
    while (pos < trackEnd) {
        auto b = Get_Bytes(h, 1024, pos);
        if (b.size() < 1024) return false;
        int64_t size = S32(b.data());
        if (size < 1) return false;
        int64_t header = 8;
        if (size == 1) {
            size = int64_t(Get_BE64(b.data() + 8));
            header = 16;
        }
        if (size > a.TrackLen || size <= 0) return false;
        const std::string type(reinterpret_cast<const char*>(b.data() + 4), 4);

        if (generic && type == "stsd") {
            // The generic type codes its video as the sample entry says; a
            // track whose entry is neither H.264 nor H.265 is not video to it.
            constexpr int64_t kStsdReadMax = 65536;
            const int64_t n = std::min(size - header, kStsdReadMax);
            auto stsd = n > 0 ? Get_Bytes(h, n, pos + header) : std::vector<uint8_t>();
            bool ok = false;
            const TNalFormat f = Parse_SampleEntry(stsd, ok);
            a.Format = ok ? f : TNalFormat{NAL_CAMERA, 0};
        }
        if (type == "vmhd") {
            out.VmhdCnt = ++videoCount;
            a.TrackType = TRACK_VIDEO;
        } else if (type == "smhd") {
            out.Smhdcnt = ++soundCount;
            a.TrackType = TRACK_SOUND;
        } else if (type == "stsc" || type == "stsz" || type == "stco" || type == "co64" || type == "stss") {
            tablesFound = true;
            const bool isStsz = type == "stsz";
            const int64_t sampleSize = isStsz ? S32(b.data() + 12) : 0;
            const int64_t count = isStsz ? S32(b.data() + 16) : S32(b.data() + 12);
            if (count < 1) return false;
            const int64_t width = type == "co64" ? 8 : 4;
            if (sampleSize == 0 && count * width >= size) return false;
            if (type == "stsc") {
                a.AtomStscOff = pos, a.AtomStscLen = size, a.AtomStscNum = int32_t(count);
            } else if (isStsz) {
                a.AtomStszOff = pos, a.AtomStszLen = size, a.AtomStszNum = int32_t(count);
            } else if (type == "stss") {
                a.AtomSTSSOff = pos, a.AtomSTSSLen = size, a.AtomStssNum = int32_t(count);
            } else {
                a.AtomStcoOff = pos, a.AtomStcoLen = size, a.AtomStcoNum = int32_t(count);
                a.AtomCo64 = type == "co64";
            }
        }

        if (type == "mdia" || type == "minf" || type == "stbl")
            pos += header;
        else
            pos += size;
    }
    return true;
}

// File offset at which the track's last chunk ends, or -1.
int64_t Track_End(TSource& h, const TAtoms& a, int64_t scanEnd) {
    if (a.AtomStscOff <= 0 || a.AtomStszOff <= 0 || a.AtomStcoOff <= 0) return -1;

    // Samples per chunk of the last sample-to-chunk entry.
    int32_t stscCount = 0;
    if (!Read_S32(h, a.AtomStscOff + 12, stscCount)) return -1;
    if (stscCount < 1 || a.AtomStscLen < 12 * int64_t(stscCount)) return -1;
    if (a.AtomStscNum < 1) return -1;
    int32_t perChunk = 0;
    if (!Read_S32(h, a.AtomStscOff + 16 + 12 * int64_t(a.AtomStscNum - 1) + 4, perChunk)) return -1;
    if (perChunk < 1) return -1;

    // Bytes of the last chunk.
    auto hdr = Get_Bytes(h, 20, a.AtomStszOff);
    if (hdr.size() < 20) return -1;
    const int64_t sampleSize = S32(hdr.data() + 12);
    const int64_t n = S32(hdr.data() + 16);
    if (n < 0) return -1;
    const int64_t len = a.AtomStszLen;
    if (!(len <= 20 || len == 4 * n + 20)) return -1;
    if (len < 20) return -1; // too short to hold its own fields
    int64_t bytes = 0;
    if (len == 20) {
        if (sampleSize < 1) return -1;
        bytes = sampleSize * perChunk;
    } else {
        if (perChunk > n) return -1; // the last chunk cannot hold more samples than the table
        const int64_t from = a.AtomStszOff + 20 + 4 * (n - perChunk);
        const int64_t to = a.AtomStszOff + len;
        if (to > scanEnd) return -1;
        for (int64_t at = from; at < to; at += 4 * kTablePiece) {
            const int64_t chunk = std::min(4 * kTablePiece, to - at);
            auto buf = Get_Bytes(h, chunk, at);
            if (int64_t(buf.size()) < chunk) return -1;
            for (int64_t i = 0; i + 4 <= chunk; i += 4) {
                const int32_t v = S32(buf.data() + i);
                if (v < 1) return -1;
                bytes += v;
            }
        }
    }

    // Offset of the last chunk.
    if (a.AtomStcoNum < 1) return -1;
    const int64_t width = a.AtomCo64 ? 8 : 4;
    auto e = Get_Bytes(h, width, a.AtomStcoOff + 16 + width * int64_t(a.AtomStcoNum - 1));
    if (int64_t(e.size()) < width) return -1;
    const int64_t last = Chunk_Offset(e.data(), a.AtomCo64);
    if (last <= 0) return -1;
    int64_t end = 0;
    if (__builtin_add_overflow(last, bytes, &end)) return -1;
    return end;
}

// One video sample in file order, for attaching sound samples.
struct TSamplePos {
    int64_t Off;
    int32_t Chunk;
    int32_t Index;
};

} // namespace

// ---------------------------------------------------------------- Get_MoovTracks

void Get_MoovTracks(const TTreeData& node, TSource& h, const TMoovCon& con, TmoovExt& out, int recType,
                    int64_t scanEnd) {
    (void)node;
    out = TmoovExt{};
    out.MoovGood = false;
    out.MoovOff = con.MoovOff;
    out.MoovLen = con.MoovLen;
    out.Trackcnt = con.trakcnt;
    out.Atom.resize(con.track.size());

    int32_t videoCount = 0, soundCount = 0;
    bool tablesFound = false;
    const int64_t moovEnd = con.MoovOff + con.MoovLen;
    for (size_t k = 0; k < con.track.size(); ++k) {
        TAtoms& a = out.Atom[k];
        a.TrackID = int32_t(k);
        a.TrackOff = con.track[k].AtomOff;
        a.TrackLen = con.track[k].AtomLen;
        a.TrackType = TRACK_OTHER;
        if (a.TrackOff < 0 || a.TrackLen < 8) return;
        if (a.TrackLen > con.MoovLen) return;
        const int64_t trackEnd = a.TrackOff + a.TrackLen;
        if (trackEnd > moovEnd || trackEnd > scanEnd) return;
        if (!Walk_Track(h, a, trackEnd, videoCount, soundCount, tablesFound, out, recType == 1)) return;
    }
    if (!tablesFound) return;

    int64_t mediaEnd = 0;
    for (const TAtoms& a : out.Atom) {
        const int64_t end = Track_End(h, a, scanEnd);
        // Other writers add tracks without samples (chapters, empty timecode
        // tracks): the generic type leaves them out of the media end.
        if (end < 0 && recType == 1 && a.AtomStszNum == 0 && a.AtomStcoNum == 0) continue;
        if (end < 0) return;
        mediaEnd = std::max(mediaEnd, end);
    }
    out.MdatLen = mediaEnd;
    out.MoovGood = true;
}

// ---------------------------------------------------------------- per-entry reads

int64_t Read_SampleSize(TSource& h, int64_t tableEnd, int64_t entryOff) {
    if (entryOff >= tableEnd) return -1;
    auto b = Get_Bytes(h, 4, entryOff);
    if (b.size() < 4) return -1;
    if (b[0] != 0) return -1;
    const int64_t v = (int64_t(b[1]) << 16) | (int64_t(b[2]) << 8) | b[3];
    return v == 0 ? -1 : v;
}

int64_t Get_LastSoundSize(TSource& h, const TVideo& v, int recType, int64_t lastStscOff, int64_t firstStscOff,
                          int64_t stszSizeFieldOff) {
    int32_t z = 0, p1 = 0, p2 = 0;
    if (!Read_S32(h, stszSizeFieldOff, z) || z <= 0) return 0;
    if (!Read_S32(h, firstStscOff + 4, p1) || !Read_S32(h, lastStscOff + 4, p2)) return 0;
    if (p1 <= 0 || p2 <= 0) return 0;
    int64_t result = int64_t(z) * p2;
    for (const TVideoSTCO& c : v.STCOArr) {
        for (const TVideoSTSZ& s : c.STSZArr) {
            if (s.SoundSTSZ_Num <= 0 || s.SoundSTSZ_Arr.empty()) continue;
            const int64_t l = s.SoundSTSZ_Arr[0].STSZ_Slen;
            if (l > 0) {
                if (recType == 0)
                    result = 2 * int64_t(z) * p2;
                else
                    result = (l / (int64_t(z) * p1)) * int64_t(z) * p2;
            }
            return result;
        }
    }
    return result;
}

// ---------------------------------------------------------------- Get_MOOV_VideoAndSound

namespace {

// Sample-to-chunk runs, then the chunk offsets and the samples each chunk
// holds; total is the number of samples the chunks hold.
bool Read_VideoChunks(TSource& h, const TAtoms& a, int64_t mediaEnd, int64_t scanEnd, TVideo& video,
                      int64_t& total) {
    std::vector<TChunkRun> runs;
    if (!Read_Stsc(h, a, scanEnd, runs)) return false;

    const int64_t width = a.AtomCo64 ? 8 : 4;
    int64_t start = 0, capacity = 0;
    if (!Table_Region(a.AtomStcoOff, a.AtomStcoLen, 16, width, scanEnd, start, capacity)) return false;
    const int64_t chunks = a.AtomStcoNum;
    if (chunks < 1 || chunks > capacity) return false;
    video.STCOArr.reserve(size_t(std::min(chunks, kReserveCap)));
    TChunkCursor cursor(runs);
    return Read_Table(h, start, chunks, width, kTablePiece, [&](int64_t i, const uint8_t* e) {
        const int64_t off = Chunk_Offset(e, a.AtomCo64);
        if (off < 0 || off > mediaEnd) return false;
        if (i > 0 && (off == 0 || off <= video.STCOArr.back().STCOoff)) return false;
        TVideoSTCO c;
        c.STCOoff = off;
        c.STSZNum = cursor.Samples(i + 1);
        total += c.STSZNum;
        video.STCOArr.push_back(std::move(c));
        video.STCONum = int32_t(i + 1);
        return true;
    });
}

// Sample sizes: a table (never one fixed size) holding exactly the samples
// the chunks hold.
bool Read_VideoSizes(TSource& h, const TAtoms& a, int64_t scanEnd, int64_t total, TVideo& video) {
    auto hdr = Get_Bytes(h, 8, a.AtomStszOff + 12);
    if (hdr.size() < 8) return false;
    const int64_t fixedSize = S32(hdr.data()), count = S32(hdr.data() + 4);
    if (fixedSize != 0 || count != total || total <= 0) return false;
    int64_t start = 0, capacity = 0;
    if (!Table_Region(a.AtomStszOff, a.AtomStszLen, 20, 4, scanEnd, start, capacity)) return false;
    if (capacity != count || a.AtomStszNum != count) return false;
    for (const TVideoSTCO& c : video.STCOArr)
        if (c.STSZNum <= 0) return false;
    size_t chunk = 0, inChunk = 0;
    return Read_Table(h, start, count, 4, kTablePiece, [&](int64_t, const uint8_t* e) {
        const int32_t len = S32(e);
        if (len < 1) return false;
        TVideoSTCO& c = video.STCOArr[chunk];
        if (inChunk == 0) c.STSZArr.resize(size_t(c.STSZNum));
        c.STSZArr[inChunk].STSZlen = uint32_t(len);
        if (++inChunk == size_t(c.STSZNum)) ++chunk, inChunk = 0;
        return true;
    });
}

// Sync samples, when the track has their table.
bool Read_VideoSyncs(TSource& h, const TAtoms& a, int64_t scanEnd, TVideo& video) {
    if (a.AtomSTSSOff == 0 || a.AtomSTSSLen == 0) return true;
    int64_t start = 0, capacity = 0;
    if (!Table_Region(a.AtomSTSSOff, a.AtomSTSSLen, 16, 4, scanEnd, start, capacity)) return false;
    const int64_t syncs = a.AtomStssNum;
    if (syncs < 0 || syncs > capacity) return false;
    video.STSSARR.reserve(size_t(std::min(syncs, kReserveCap)));
    return Read_Table(h, start, syncs, 4, kTablePiece, [&](int64_t, const uint8_t* e) {
        const int32_t s = S32(e);
        if (s < 1) return false;
        video.STSSARR.push_back(uint32_t(s));
        return true;
    });
}

// File offsets of the samples, and their keys.
void Place_VideoSamples(TVideo& video, int64_t total, TSampleKeys& keys) {
    if (video.STCONum <= 0) return;
    Send_Range(video.STCONum);
    keys.Clear();
    keys.Reserve(total);
    int64_t sampleNo = 1;
    for (int32_t ci = 0; ci < video.STCONum; ++ci) {
        TVideoSTCO& c = video.STCOArr[size_t(ci)];
        c.Log_SNum = int32_t(sampleNo);
        int64_t off = c.STCOoff;
        for (TVideoSTSZ& s : c.STSZArr) {
            s.STSZoff = off;
            off += s.STSZlen;
            keys.Add(s.STSZlen, uint32_t(s.STSZoff % 512), sampleNo - 1);
            ++sampleNo;
        }
        Send_Step(ci, "已标识");
    }
}

// Sync flags. A track without a sync sample table has only sync samples
// (all-intra recordings leave the table out).
void Mark_VideoSyncs(const TAtoms& a, TVideo& video) {
    if (a.AtomSTSSOff == 0 || a.AtomSTSSLen == 0) {
        for (TVideoSTCO& c : video.STCOArr)
            for (TVideoSTSZ& s : c.STSZArr)
                s.STSSFlag = true;
    }
    // With the table, chunks cover consecutive sample numbers in order, so the
    // chunk holding a sample number is found by binary search.
    if (video.STSSARR.empty()) return;
    Send_Range(int64_t(video.STSSARR.size()));
    auto& arr = video.STCOArr;
    for (size_t k = 0; k < video.STSSARR.size(); ++k) {
        const int64_t s = video.STSSARR[k];
        auto it = std::upper_bound(arr.begin(), arr.end(), s,
                                   [](int64_t x, const TVideoSTCO& c) { return x < int64_t(c.Log_SNum); });
        if (it != arr.begin()) {
            TVideoSTCO& c = *(it - 1);
            const int64_t at = s - c.Log_SNum;
            if (at < int64_t(c.STSZArr.size())) c.STSZArr[size_t(at)].STSSFlag = true;
        }
        Send_Step(int64_t(k), "已标识");
    }
}

bool Read_Video(TSource& h, const TAtoms& a, int64_t mediaEnd, int64_t scanEnd, TVideo& video,
                TSampleKeys& keys) {
    int64_t total = 0;
    if (!Read_VideoChunks(h, a, mediaEnd, scanEnd, video, total)) return false;
    if (!Read_VideoSizes(h, a, scanEnd, total, video)) return false;
    if (!Read_VideoSyncs(h, a, scanEnd, video)) return false;
    Place_VideoSamples(video, total, keys);
    Mark_VideoSyncs(a, video);
    return true;
}

// Video samples in file order. Offsets rise strictly in consistent tables;
// when a chunk's samples run past the next chunk the order is broken and the
// sound samples cannot be placed: then (and for no samples) the list is empty.
std::vector<TSamplePos> Video_SampleOrder(const TVideo& video) {
    std::vector<TSamplePos> order;
    size_t samples = 0;
    for (const TVideoSTCO& c : video.STCOArr)
        samples += c.STSZArr.size();
    order.reserve(samples);
    for (size_t ci = 0; ci < video.STCOArr.size(); ++ci) {
        const auto& arr = video.STCOArr[ci].STSZArr;
        for (size_t si = 0; si < arr.size(); ++si)
            order.push_back({arr[si].STSZoff, int32_t(ci), int32_t(si)});
    }
    for (size_t i = 1; i < order.size(); ++i)
        if (order[i].Off <= order[i - 1].Off) return {};
    return order;
}

void Attach_Sound(TSource& h, const TAtoms& a, int64_t mediaEnd, int64_t scanEnd, int recType,
                  TVideo& video) {
    std::vector<TChunkRun> runs;
    if (!Read_Stsc(h, a, scanEnd, runs)) return;

    auto hdr = Get_Bytes(h, 8, a.AtomStszOff + 12);
    if (hdr.size() < 8) return;
    const int64_t fixedSize = S32(hdr.data()), count = S32(hdr.data() + 4);
    if (count <= 0) return;
    int64_t start = 0, capacity = 0;
    if (fixedSize == 0) {
        if (!Table_Region(a.AtomStszOff, a.AtomStszLen, 20, 4, scanEnd, start, capacity)) return;
        if (capacity != count) return;
    }
    TSizeReader sizes(h, a.AtomStszOff + 20, a.AtomStszOff + a.AtomStszLen);

    const int64_t width = a.AtomCo64 ? 8 : 4;
    if (!Table_Region(a.AtomStcoOff, a.AtomStcoLen, 16, width, scanEnd, start, capacity)) return;
    const int64_t chunks = a.AtomStcoNum;
    if (chunks < 1 || chunks > capacity) return;

    const std::vector<TSamplePos> order = Video_SampleOrder(video);
    if (order.empty()) return;
    const int32_t lastChunk = video.STCONum - 1;
    const int64_t lastStscOff = a.AtomStscOff + 16 + 12 * int64_t(a.AtomStscNum - 1);
    const int64_t firstStscOff = a.AtomStscOff + 16;
    const int64_t sizeFieldOff = a.AtomStszOff + 12;

    TChunkCursor cursor(runs);
    int64_t earlier = 0;  // sound samples of the chunks before this one
    int64_t lastSize = 0; // the size last determined
    Read_Table(h, start, chunks, width, kTablePiece, [&](int64_t i, const uint8_t* e) {
        const int64_t o0 = Chunk_Offset(e, a.AtomCo64);
        if (o0 < 0 || o0 > mediaEnd || (i > 0 && o0 == 0)) return false;
        const int64_t n = fixedSize != 0 ? 1 : cursor.Samples(i + 1);
        int64_t o = o0;
        for (int64_t q = 0; q < n; ++q) {
            // The video sample v with v.off < o < next.off (the last one: v.off < o).
            auto it = std::lower_bound(order.begin(), order.end(), o,
                                       [](const TSamplePos& p, int64_t x) { return p.Off < x; });
            const bool matched = it != order.begin() && (it == order.end() || it->Off > o);
            if (matched) {
                const TSamplePos& v = *(it - 1);
                int64_t size = 0;
                if (fixedSize == 0) {
                    size = sizes.Entry(earlier + q);
                    if (size < 0) return false;
                } else if (v.Chunk == lastChunk) {
                    size = Get_LastSoundSize(h, video, recType, lastStscOff, firstStscOff, sizeFieldOff);
                } else {
                    size = it == order.end() ? 0 : it->Off - o;
                }
                TVideoSTSZ& target = video.STCOArr[size_t(v.Chunk)].STSZArr[size_t(v.Index)];
                TSTSZ piece;
                piece.STSZ_Soff = o;
                piece.STSZ_Slen = uint32_t(size);
                target.SoundSTSZ_Arr.push_back(piece);
                target.SoundSTSZ_Num = int32_t(target.SoundSTSZ_Arr.size());
                lastSize = size;
            }
            o += lastSize;
            if (o > mediaEnd) return false;
        }
        earlier += n;
        return true;
    });
}

} // namespace

void Get_MOOV_VideoAndSound(TSource& h, TScanSession& session, int64_t headerIndex, TVideo& video,
                            int recType, int64_t scanEnd, TSampleKeys& keys) {
    video = TVideo{};
    if (headerIndex < 0 || headerIndex >= session.Scans.Count()) return;
    int64_t mediaEnd = 0;
    std::vector<TAtoms> tracks;
    {
        const TScanResult& hr = session.Scans.Get(headerIndex);
        mediaEnd = hr.True_MdatLen;
        tracks = hr.moov.Track;
    }
    const TAtoms* videoTrack = nullptr;
    const TAtoms* soundTrack = nullptr;
    bool fallback = false;
    if (recType == 1) {
        // The first H.264 or H.265 video track with samples, and the first
        // sound track; the chunks of every other track are bytes of the media
        // data that come back with the pieces around them.
        for (const TAtoms& t : tracks) {
            if (!videoTrack && t.TrackType == TRACK_VIDEO && t.Format.Codec != NAL_CAMERA &&
                t.AtomStszNum > 0)
                videoTrack = &t;
            if (!soundTrack && t.TrackType == TRACK_SOUND && t.AtomStszNum > 0) soundTrack = &t;
        }
        // A sample entry that could not be read (a damaged stsd) leaves the
        // first video track with samples, read as H.264 with 4-byte lengths.
        for (const TAtoms& t : tracks)
            if (!videoTrack && t.TrackType == TRACK_VIDEO && t.AtomStszNum > 0) {
                videoTrack = &t;
                fallback = true;
            }
    } else {
        for (const TAtoms& t : tracks) {
            if (t.TrackType == TRACK_VIDEO) videoTrack = &t;
            if (t.TrackType == TRACK_SOUND) soundTrack = &t;
        }
    }
    if (!videoTrack) return;

    TVideo fresh;
    if (!Read_Video(h, *videoTrack, mediaEnd, scanEnd, fresh, keys)) {
        // A half-read table is of no use to anyone: hand back an empty record.
        video = TVideo{};
        keys.Clear();
        return;
    }
    video = std::move(fresh);
    video.Ext_Flag = true;
    if (recType == 1) video.Format = fallback ? TNalFormat{NAL_H264, 4} : videoTrack->Format;

    if (soundTrack) Attach_Sound(h, *soundTrack, mediaEnd, scanEnd, recType, video);
}

} // namespace qrv

#include "analysis/seams.h"

#include <algorithm>
#include <climits>

#include "analysis/output.h"
#include "analysis/seam_growth.h"

#include "common/byte_order.h"
#include "scan/alloc_map.h"
#include "scan/classifier.h"

namespace qrv {

namespace {

constexpr int64_t kSector = 512;

int64_t P(const TFragmenArr& e) { return e.FragmenSoff - Floor512(e.FragmenSoff); }

bool Valid_Sample(const TVideo& v, int32_t c, int32_t s) {
    return c >= 0 && c < int32_t(v.STCOArr.size()) && s >= 0 && s < int32_t(v.STCOArr[size_t(c)].STSZArr.size());
}

void Set_CopyStart(TFragmenArr& e, int64_t off) {
    e.FragmentLastSoff = off;
    e.FragmentLastErySoff = off;
}

} // namespace

int64_t TClusterGeometry::Start(int64_t x) const { return Base + Round_Down(x - Base, Size); }

TClusterGeometry Get_ClusterGeometry(const TTreeData& node, const TAllocMap& map, int64_t alignBase) {
    TClusterGeometry g;
    const bool known = Is_KnownFs(node.HddFs);
    if (known) {
        int64_t f = int64_t(node.PerSecBytes) * int64_t(node.LogPerClusec);
        if (f > 0) g.Size = f;
    }
    if (node.HddFs == "FAT32" || node.HddFs == "exFAT")
        g.Base = map.DataStart;
    else if (node.HddFs == "NTFS")
        g.Base = node.Hddtype == HDD_REGION ? node.RegionSec * node.PerSecBytes : 0;
    else
        g.Base = alignBase;
    return g;
}

using TRanges = std::vector<std::pair<int64_t, int64_t>>;

void Sort_AndMerge(TRanges& v) {
    std::sort(v.begin(), v.end());
    TRanges merged;
    for (const auto& r : v) {
        if (r.second <= r.first) continue;
        if (!merged.empty() && r.first <= merged.back().second)
            merged.back().second = std::max(merged.back().second, r.second);
        else
            merged.push_back(r);
    }
    v = std::move(merged);
}

bool Ranges_Overlap(const TRanges& v, int64_t from, int64_t to) {
    // The first range that ends after from; ranges are disjoint, so ends ascend.
    auto it = std::upper_bound(v.begin(), v.end(), from,
                               [](int64_t x, const std::pair<int64_t, int64_t>& r) { return x < r.second; });
    return it != v.end() && it->first < to;
}

void TSeamSearch::Normalize() { Sort_AndMerge(Claimed); }

bool TSeamSearch::Is_Claimed(int64_t from, int64_t to) const { return Ranges_Overlap(Claimed, from, to); }

TClusterGeometry Infer_ClusterGeometry(const TRebuildResult& r, const TVideo& v, TClusterGeometry fallback,
                                       int64_t minSize) {
    // Medium offset minus file offset of every placed entry's first known byte.
    std::vector<int64_t> deltas;
    for (const TFragmenArr& e : r.FragmenArray) {
        if (e.ChongHeFlag) continue;
        if (e.FragmenType == ENTRY_FILE_HEAD || (e.FragmenType == ENTRY_MOVIE && r.CamerType == 0))
            deltas.push_back(e.FragmenSoff); // file offset 0: a file head, or a head that holds its movie box
        else if (e.FragmenType == ENTRY_DATA && Valid_Sample(v, e.FragmeSnum, e.FragmeSLnum))
            deltas.push_back(e.FragmenSoff - v.STCOArr[size_t(e.FragmeSnum)].STSZArr[size_t(e.FragmeSLnum)].STSZoff);
    }
    if (deltas.size() < 2) return fallback;
    int64_t size = fallback.Size;
    auto agree = [&](int64_t f) {
        for (int64_t d : deltas)
            if (((d - deltas[0]) % f + f) % f != 0) return false;
        return true;
    };
    while (size > minSize && !agree(size))
        size /= 2;
    if (!agree(size)) return fallback;
    TClusterGeometry g;
    g.Size = size;
    g.Base = ((deltas[0] % size) + size) % size;
    return g;
}

namespace {

// One seam being resolved: where the medium is read, and the two results, the
// end of what the first side copies (CopyEnd) and the file bytes zero-filled
// after it (Fill).
struct TSeamWork {
    TSeamContext Ctx;
    int Interleave = 0;
    int64_t CopyEnd = 0, Fill = 0;
    uint8_t State = SEAM_FIXED;
    int64_t SeamFile = -1; // file offset of the gap whose split was decided
    int64_t ElseAt = -1, ElseLen = 0; // the gap's middle, found elsewhere on the medium

    // File offset of sample s of chunk c.
    int64_t T(int32_t c, int32_t s) const { return Ctx.V->STCOArr[size_t(c)].STSZArr[size_t(s)].STSZoff; }

    // A seam resolved at cluster level leaves Fill = W file bytes between the
    // cluster where the first side's certain bytes end (CopyEnd) and the one
    // where the second side's begin (b): take what the medium shows of either
    // side's run there, and zero-fill only the rest. The anchors are a medium
    // offset on each side whose file offset is known.
    void Grow(int64_t leftAnchor, int64_t leftAnchorFile, int64_t rightAnchor, int64_t rightAnchorFile, int64_t& b) {
        const int64_t f = Ctx.Cl.Size;
        if (Fill <= 0 || Fill % f != 0) return;
        const int64_t leftFile = leftAnchorFile + (CopyEnd - leftAnchor);
        const int64_t rightFile = rightAnchorFile - (rightAnchor - b);
        if (rightFile - leftFile != Fill) return;
        const TSeamGrowth w = Grow_Seam(Ctx, CopyEnd, leftFile, Seam_ClusterState(Ctx, leftAnchor), b, rightFile,
                                        Seam_ClusterState(Ctx, rightAnchor), Interleave);
        CopyEnd += w.Left * f;
        b -= w.Right * f;
        Fill -= (w.Left + w.Right + w.Else) * f;
        State = w.State;
        SeamFile = leftFile;
        if (w.Else > 0) {
            ElseAt = w.ElseAt;
            ElseLen = w.Else * f;
        }
    }

    // From a file head (a separate one, or a movie box at the front of the file)
    // to the first data piece D: contiguous on the medium, at sector level, or at
    // cluster level. False when there is no piece to meet.
    bool After_Head(TFragmenArr& G, TFragmenArr* next) {
        const TVideo& v = *Ctx.V;
        const TClusterGeometry& cl = Ctx.Cl;
        const int64_t f = cl.Size;
    if (next == nullptr) return false;
        TFragmenArr& D = *next;
        if (!Valid_Sample(v, D.FragmeSnum, D.FragmeSLnum)) return false;
        const int64_t Ts = T(D.FragmeSnum, D.FragmeSLnum);
        int64_t B = 0;
        Set_CopyStart(G, G.FragmenSoff);
        if (G.FragmenType == ENTRY_FILE_HEAD) {
            if (G.FragmenSoff + Ts == D.FragmenSoff) {
                CopyEnd = B = G.FragmenSoff + 512;
                Fill = 0;
            } else {
                CopyEnd = Floor512(G.FragmenSoff) + 512;
                B = Floor512(D.FragmenSoff);
                Fill = Ts - P(D) - 512;
                if (Ts - P(D) >= f) {
                    const int64_t Y = Ts - (D.FragmenSoff - cl.Start(D.FragmenSoff)) - f;
                    if (Y >= 0 && Y % f == 0) {
                        CopyEnd = G.FragmenSoff + f;
                        B = cl.Start(D.FragmenSoff);
                        Fill = Y;
                        Grow(G.FragmenSoff, 0, D.FragmenSoff, Ts, B);
                    }
                }
            }
        } else {
            if (G.FragmenSoff + Ts == D.FragmenSoff && D.FragmeSnum == 0 && D.FragmeSLnum == 0) {
                CopyEnd = B = Ceil512(G.FragmenEoff);
                Fill = 0;
            } else {
                CopyEnd = Ceil512(G.FragmenEoff);
                B = Floor512(D.FragmenSoff);
                Fill = Ts - P(D) - (CopyEnd - G.FragmenSoff);
                // A head that starts a cluster owns the whole cluster that
                // holds its end, and the first data piece the whole cluster
                // that holds its first sample: meet at cluster level when the
                // file offsets of those clusters agree.
                if (CopyEnd > G.FragmenSoff && cl.Start(G.FragmenSoff) == G.FragmenSoff) {
                    const int64_t leftEnd = cl.End(CopyEnd - 1);
                    const int64_t rightStart = cl.Start(D.FragmenSoff);
                    const int64_t W = (Ts - (D.FragmenSoff - rightStart)) - (leftEnd - G.FragmenSoff);
                    if (W >= 0 && W % f == 0) {
                        CopyEnd = leftEnd;
                        B = rightStart;
                        Fill = W;
                        Grow(G.FragmenSoff, 0, D.FragmenSoff, Ts, B);
                    }
                }
            }
        }
        Set_CopyStart(D, B);
        return true;
    }

    // Between two data pieces G and D: where G's last sample's bytes end and D's
    // first sample's begin, in sectors, or in whole clusters grown over the gap.
    bool Between_Pieces(TFragmenArr& G, TFragmenArr* next) {
        const TVideo& v = *Ctx.V;
        const TClusterGeometry& cl = Ctx.Cl;
        const int64_t f = cl.Size;
    if (next == nullptr) return false;
        TFragmenArr& D = *next;
        if (!Valid_Sample(v, D.FragmeSnum, D.FragmeSLnum) || !Valid_Sample(v, G.FragmeEnum, G.FragmeELnum)) return false;
        const int64_t delta = T(D.FragmeSnum, D.FragmeSLnum) - T(G.FragmeEnum, G.FragmeELnum);
        // Bytes copied after the start of g's last sample: to the end of its
        // sector, a whole sector when that sample starts on a sector boundary.
        const int64_t m = 512 - (G.FragmenEoff % 512);
        CopyEnd = Floor512(G.FragmenEoff) + 512;
        int64_t B = Floor512(D.FragmenSoff);
        Fill = delta - m - P(D);
        const int64_t U = cl.End(G.FragmenEoff) - G.FragmenEoff;
        const int64_t V = D.FragmenSoff - cl.Start(D.FragmenSoff);
        const int64_t W = delta - U - V;
        const bool sectorFillLarge = Fill >= f;
        if (sectorFillLarge) {
            if (W == 0) {
                CopyEnd = cl.End(G.FragmenEoff);
                B = cl.Start(D.FragmenSoff);
                Fill = 0;
            } else if (W >= f && W % f == 0) {
                CopyEnd = cl.End(G.FragmenEoff);
                B = cl.Start(D.FragmenSoff);
                Fill = W;
            }
        } else if (delta == U + V) {
            CopyEnd = cl.End(G.FragmenEoff);
            B = cl.Start(D.FragmenSoff);
            Fill = 0;
        }
        // Clusters between the two pieces: grow either piece over those that
        // the medium shows to be its own.
        if (sectorFillLarge && W > 0 && W % f == 0)
            Grow(G.FragmenEoff, T(G.FragmeEnum, G.FragmeELnum), D.FragmenSoff, T(D.FragmeSnum, D.FragmeSLnum),
                 B);
        Set_CopyStart(D, B);
        return true;
    }

    // After the last data piece G: to the movie box at the end of the file (a
    // movie-last recording), or to the end of G's last sample and its sound.
    bool After_LastPiece(TFragmenArr& G, TRebuildResult& r, uint8_t camerType) {
        const TVideo& v = *Ctx.V;
        const TClusterGeometry& cl = Ctx.Cl;
        const int64_t f = cl.Size;
    auto& a = r.FragmenArray;
        if (!Valid_Sample(v, G.FragmeEnum, G.FragmeELnum)) return false;
        const int64_t Te = T(G.FragmeEnum, G.FragmeELnum);
        if (camerType == 2) {
            int32_t mi = -1;
            for (int32_t k = 0; k < int32_t(a.size()); ++k)
                if (a[size_t(k)].FragmenType == ENTRY_MOVIE) {
                    mi = k;
                    break;
                }
            if (mi < 0) return false;
            TFragmenArr& M = a[size_t(mi)];
            int64_t Q = 0;
            if (a.size() > 1 && a[1].FragmenType == ENTRY_FILE_HEAD) {
                Q = a[1].MdatLen;
            } else {
                Q = M.MdatLen;
                if (P(M) != ((M.MdatLen % 512) + 512) % 512) {
                    Q = Ceil512(M.MdatLen) + P(M);
                    M.MdatLen = Q;
                    r.HeadMdatLenx = Q - 32;
                }
            }
            const int64_t delta = Q - Te;
            int64_t B = 0;
            if (G.FragmenEoff + delta == M.FragmenSoff) {
                Fill = 0;
                CopyEnd = B = Floor512(M.FragmenSoff);
            } else {
                CopyEnd = Ceil512(G.FragmenEoff);
                B = Floor512(M.FragmenSoff);
                Fill = delta - (CopyEnd - G.FragmenEoff) - P(M);
                const int64_t U = cl.End(G.FragmenEoff) - G.FragmenEoff;
                const int64_t V = M.FragmenSoff - cl.Start(M.FragmenSoff);
                const int64_t W = delta - U - V;
                if (W == 0) {
                    // The movie box's cluster follows g's last cluster in the file.
                    CopyEnd = cl.End(G.FragmenEoff);
                    B = cl.Start(M.FragmenSoff);
                    Fill = 0;
                } else if (W > 0 && W >= f && W % f == 0) {
                    CopyEnd = cl.End(G.FragmenEoff);
                    B = cl.Start(M.FragmenSoff);
                    Fill = W;
                    if (G.FragmeEnum == int32_t(v.STCOArr.size()) - 1 && W % 512 == 0) {
                        // The last chunk's bytes run up to the movie box: the
                        // stretch after g is copied rather than zero-filled,
                        // unless decoding shows they lie before the movie box.
                        int64_t b = B;
                        Grow(G.FragmenEoff, Te, M.FragmenSoff, Q, b);
                        if (State == SEAM_VERIFIED) {
                            B = b;
                        } else {
                            CopyEnd = cl.End(G.FragmenEoff) + W;
                            Fill = 0;
                        }
                    } else {
                        Grow(G.FragmenEoff, Te, M.FragmenSoff, Q, B);
                    }
                }
            }
            Set_CopyStart(M, B);
        } else {
            Fill = 0;
            const TVideoSTSZ& e = v.STCOArr[size_t(G.FragmeEnum)].STSZArr[size_t(G.FragmeELnum)];
            int64_t K = e.STSZlen;
            if (!e.SoundSTSZ_Arr.empty()) {
                K = e.SoundSTSZ_Arr.front().STSZ_Soff - Te;
                for (const TSTSZ& snd : e.SoundSTSZ_Arr) K += snd.STSZ_Slen;
            }
            CopyEnd = G.FragmenEoff + K;
            if (a[0].FragmenType == ENTRY_MOVIE && a[0].FragmentLastSoff == 0) Set_CopyStart(a[0], a[0].FragmenSoff);
        }
        return true;
    }
};

} // namespace

void Link_Fragment(const TAnalysisContext& ctx, uint8_t camerType, int32_t L, int32_t g, TRebuildResult& r,
                   const TVideo& v, const TSampleJudge* judge, const TClusterGeometry* geometry,
                   const TSeamSearch* search) {
    auto& a = r.FragmenArray;
    if (g < 0 || g >= int32_t(a.size()) || a[size_t(g)].ChongHeFlag) return;

    // The first data piece after g that does not overlap an earlier one.
    int32_t d = -1;
    for (int32_t k = g + 1; k < int32_t(a.size()); ++k)
        if (a[size_t(k)].FragmenType == ENTRY_DATA && !a[size_t(k)].ChongHeFlag) {
            d = k;
            break;
        }
    TFragmenArr& G = a[size_t(g)];
    TFragmenArr* D = d < 0 ? nullptr : &a[size_t(d)];

    TSeamWork work;
    work.Ctx.H = &ctx.Source;
    work.Ctx.Node = &ctx.Node;
    work.Ctx.Map = &ctx.Map;
    work.Ctx.Cl = geometry ? *geometry : Get_ClusterGeometry(ctx.Node, ctx.Map, ctx.AlignBase);
    work.Ctx.V = &v;
    work.Ctx.Judge = judge;
    // The clusters this result's entries hold so far (copy ranges, grown by
    // the seams linked before this one) are not a gap's middle either.
    if (search) {
        const TClusterGeometry& cl = work.Ctx.Cl;
        for (const TFragmenArr& e : a) {
            if (e.ChongHeFlag) continue;
            const int64_t s0 = Get_CopyStart(e), s1 = Get_CopyEnd(e);
            if (s0 >= 0 && s1 > s0) work.Ctx.Own.push_back({cl.Start(s0), cl.End(s1 - 1)});
        }
        Sort_AndMerge(work.Ctx.Own);
        work.Ctx.Search = search;
    }
    work.Interleave = ctx.Interleave;

    bool linked = false;
    if (G.FragmenType == ENTRY_FILE_HEAD || (G.FragmenType == ENTRY_MOVIE && camerType == 0))
        linked = work.After_Head(G, D);
    else if (G.FragmenType == ENTRY_DATA && g != L)
        linked = work.Between_Pieces(G, D);
    else if (G.FragmenType == ENTRY_DATA && g == L)
        linked = work.After_LastPiece(G, r, camerType);
    // else: the movie header entry of a recording whose movie box is at the end links nothing
    if (!linked) return;
    G.FragmentFreeSpace = work.Fill;
    G.FragmentLastEoff = work.CopyEnd;
    G.SeamState = work.State;
    G.SeamFileOff = work.SeamFile;
    if (work.ElseLen > 0) {
        // The gap's middle, copied from where it was found: a data entry that
        // starts no sample, between g and the piece after it.
        TFragmenArr x;
        x.FragmenType = ENTRY_DATA;
        x.FragmeSnumType = 0;
        x.FragmeSnum = x.FragmeEnum = x.FragmeSLnum = x.FragmeELnum = -1;
        x.FragmenSoff = work.ElseAt;
        x.FragmenEoff = work.ElseAt + work.ElseLen;
        Set_CopyStart(x, work.ElseAt);
        x.FragmentLastEoff = work.ElseAt + work.ElseLen;
        x.FragmentFreeSpace = work.Fill;
        G.FragmentFreeSpace = 0;
        a.insert(a.begin() + g + 1, std::move(x));
        ++r.Fragmenum;
    }
}

void Extend_FirstEntry(const TAnalysisContext& ac, TRebuildResult& r, int32_t E, const TVideo& v,
                       const TClusterGeometry* geometry) {
    if (E < 0 || E >= int32_t(r.FragmenArray.size()) || r.HeadFlag != 1) return;
    TFragmenArr& e = r.FragmenArray[size_t(E)];
    if (!Valid_Sample(v, e.FragmeSnum, e.FragmeSLnum)) return;
    const int64_t X = v.STCOArr[size_t(e.FragmeSnum)].STSZArr[size_t(e.FragmeSLnum)].STSZoff;
    TSeamContext ctx;
    ctx.H = &ac.Source;
    ctx.Node = &ac.Node;
    ctx.Map = &ac.Map;
    ctx.Cl = geometry ? *geometry : Get_ClusterGeometry(ac.Node, ac.Map, ac.AlignBase);
    ctx.V = &v;
    const int64_t cs = ctx.Cl.Start(e.FragmenSoff);
    const int64_t Xc = X - (e.FragmenSoff - cs); // file offset of the cluster's start
    constexpr int64_t kHeadBytes = 48; // ftyp, free and the 64-bit mdat header of the synthesized head
    if (cs >= e.FragmentLastSoff || Xc < kHeadBytes) return;
    if (!Stretch_Fits(ctx, cs, Xc, e.FragmenSoff - cs, 255)) return;
    Set_CopyStart(e, cs);
    e.UpHeadFreeSpace = Xc;
    r.HeadLenx = Xc;
}

} // namespace qrv

// Classify_Found: the scan's examination of one block.
//
// Every position of the examined part is a candidate: a recording head is a
// "ftyp" at offset 4 of a sector start, a movie box is the 12-byte signature
// "moov" 00 00 00 6C "mvhd" anywhere. Instead of testing both rules at every
// byte, the loop jumps from one candidate to the next, taken from the block's
// search (block_search.h: sector starts checked directly, movie signatures
// found with the vector search of Find_MovieSignature). The visible behaviour is that of the
// byte-by-byte walk: units are examined in order, the cluster state is asked
// once at the start of each unit, a head whose walk reaches mdat makes the
// walk continue 512 bytes further on, and a recorded movie header (or a head
// dropped by the date filter) ends the unit.
#include <algorithm>
#include <cstring>

#include "scan/alloc_map.h"
#include "scan/block_search.h"
#include "scan/classifier.h"
#include "scan/metadata.h"
#include "scan/movie_generic.h"
#include "scan/records.h"
#include "scan/scan_session.h"
#include "scan/track_tables.h"

namespace qrv {

namespace {

// True when the mode asks to leave the unit that starts at absolute offset X.
bool Skip_Unit(const TClassifyContext& ctx, int64_t X) {
    if ((ctx.Mode != 1 && ctx.Mode != 2) || ctx.Unit <= 512) return false;
    if (ctx.Map == nullptr || ctx.Node == nullptr || !Is_KnownFs(ctx.Node->HddFs))
        return false; // unknown: 255
    int64_t c = Cluster_Of(ctx.Node->HddFs, *ctx.Map, ctx.V, ctx.Unit, X);
    if (c < 0) return false;
    int state = Get_ClusterState(*ctx.Handle, ctx.Node->HddFs, *ctx.Map, c);
    return (ctx.Mode == 1 && state == 1) || (ctx.Mode == 2 && state == 0);
}

Tmoovalule Track_Summary(const TmoovExt& ext) {
    Tmoovalule v;
    v.VmhdCnt = ext.VmhdCnt;
    v.Smhdcnt = ext.Smhdcnt;
    v.TrackCnt = ext.Trackcnt;
    v.Track = ext.Atom;
    return v;
}

// Parses the movie box at moovOff: true when both the box walk and the track
// tables are usable.
bool Parse_Movie(TClassifyContext& ctx, int mode, int64_t moovOff, TMoovCon& con, TmoovExt& ext) {
    if (ctx.RecoveryType == 1)
        Get_MoovInfo_Generic(*ctx.Handle, con, ctx.RangeEnd, moovOff, ctx.TimeStandard);
    else
        Get_MoovInfo(*ctx.Node, *ctx.Handle, mode, con, ctx.RangeEnd, moovOff, ctx.TimeStandard);
    if (!con.MoovGood) return false;
    Get_MoovTracks(*ctx.Node, *ctx.Handle, con, ext, ctx.RecoveryType, ctx.RangeEnd);
    if (!ext.MoovGood) return false;
    ext.MoovOff = con.MoovOff;
    ext.MoovLen = con.MoovLen;
    ext.Trackcnt = con.trakcnt;
    return true;
}

// A scan result for a parsed movie box at moovOff: what both kinds of movie
// header record share (position, box length, track summary, metadata).
std::unique_ptr<TScanResult> Movie_Record(uint8_t kind, int64_t moovOff, const TMoovCon& con, const TmoovExt& ext) {
    auto rec = std::make_unique<TScanResult>();
    rec->Fragmentype = kind;
    rec->MdatOFF = -1;
    rec->True_MdatLen = ext.MdatLen;
    rec->MoovOff = moovOff;
    rec->MoovLen = con.MoovLen;
    rec->moov = Track_Summary(ext);
    rec->CreateTime = con.CreateTime;
    rec->Durting = con.Durting;
    rec->CamerModel = con.CamerModel;
    return rec;
}

enum THeadOutcome { HEAD_NONE, HEAD_MDAT, HEAD_LEAVE };

// A "ftyp" head at absolute X: walks it and records what it is.
THeadOutcome Examine_Head(TClassifyContext& ctx, int64_t X, int64_t& movieCount) {
    int64_t R = 0, size = 0;
    int res = Get_HeadAtom(*ctx.Handle, ctx.WalkStep, R, size, X, ctx.RecoveryType == 1);
    if (res == 0) {
        auto rec = std::make_unique<TScanResult>();
        rec->CamerType = uint8_t(ctx.RecoveryType);
        rec->Fragmentype = KIND_HEAD_MDAT;
        rec->FragmentOff = X;
        rec->Head_Flag = true;
        rec->MdatOFF = int32_t((X + R) % 512);
        rec->MdatLen = R + size;
        rec->Next_AtomOff = int32_t(rec->MdatLen % 512);
        ctx.Session->Scans.Append(std::move(rec));
        return HEAD_MDAT;
    }
    if (res != 1) return HEAD_NONE;
    TMoovCon con;
    TmoovExt ext;
    if (!Parse_Movie(ctx, ctx.RecoveryType, X + R, con, ext)) return HEAD_NONE;
    if (ctx.DateFilter && !Check_DateRange(con.CreateTime, ctx.DateFrom, ctx.DateTo)) return HEAD_LEAVE;
    // A generic recording without a maker's model is named by its brand.
    if (ctx.RecoveryType == 1 && con.CamerModel.empty()) con.CamerModel = Ftyp_Brand(*ctx.Handle, X);
    auto rec = Movie_Record(KIND_HEAD_MOOV, X + R, con, ext);
    rec->CamerType = 0;
    rec->FragmentOff = X;
    rec->Head_Flag = true;
    rec->MoovFreeSoff = con.MoovFree_Soff;
    rec->MoovFreeLen = int32_t(con.MoovFree_Len);
    rec->MdatLen = ext.MdatLen - con.MoovLen - rec->MoovFreeLen - (rec->MoovOff % 512);
    int64_t freeEnd = rec->MoovFreeSoff + rec->MoovFreeLen;
    rec->Next_AtomOff = int32_t(freeEnd != 0 ? freeEnd % 512 : (rec->MoovOff + rec->MoovLen) % 512);
    ctx.Session->Scans.Append(std::move(rec));
    ++movieCount;
    return HEAD_LEAVE;
}

// A movie-box signature at absolute X: true when a kind-3 record was made.
bool Examine_Movie(TClassifyContext& ctx, int64_t X, int64_t& movieCount) {
    TMoovCon con;
    TmoovExt ext;
    const int64_t moovOff = X - 4;
    if (!Parse_Movie(ctx, 0, moovOff, con, ext)) return false;
    auto rec = Movie_Record(KIND_MOOV, moovOff, con, ext);
    rec->CamerType = 2;
    rec->FragmentOff = moovOff;
    rec->Head_Flag = false;
    rec->MdatLen = ext.MdatLen;
    ctx.Session->Scans.Append(std::move(rec));
    ++movieCount;
    return true;
}

} // namespace

void Classify_Found(const TBlockFinds& finds, int64_t P, TClassifyContext& ctx, int64_t& movieCount) {
    if (ctx.Handle == nullptr || ctx.Node == nullptr || ctx.Unit <= 0) return;
    const int64_t kEnd = kScanBlockStep; // examined positions 0 .. kEnd-1

    // Next candidates at or after the current position. Positions only grow,
    // so each list is walked once with a cursor.
    size_t headAt = 0, movieAt = 0;
    auto Next_In = [&](const std::vector<int32_t>& list, size_t& at, int64_t from) {
        while (at < list.size() && list[at] < from) ++at;
        return at < list.size() ? int64_t(list[at]) : kEnd;
    };
    int64_t nextMovie = -1; // position of the next signature (kEnd: none left)
    int64_t nextHead = -1;

    // Without cluster-state questions a unit without candidates does nothing,
    // so the walk goes straight to the unit of the next candidate.
    const bool asksMap = (ctx.Mode == 1 || ctx.Mode == 2) && ctx.Unit > 512;
    for (int64_t q = 0; q < kEnd; q += ctx.Unit) {
        if (!asksMap) {
            if (nextHead < q) nextHead = Next_In(finds.Heads, headAt, q);
            if (nextMovie < q) nextMovie = Next_In(finds.Movies, movieAt, q);
            const int64_t next = std::min(nextHead, nextMovie);
            if (next >= kEnd) break;
            q = next / ctx.Unit * ctx.Unit;
        }
        const int64_t unitEnd = std::min(kEnd, q + ctx.Unit);
        if (asksMap && Skip_Unit(ctx, P + q)) continue;
        int64_t p = q;
        while (p < unitEnd) {
            if (nextHead < p) nextHead = Next_In(finds.Heads, headAt, p);
            if (nextMovie < p) nextMovie = Next_In(finds.Movies, movieAt, p);
            p = std::min(nextHead, nextMovie);
            if (p >= unitEnd) break;
            const int64_t X = P + p;
            if (p == nextHead) {
                THeadOutcome h = Examine_Head(ctx, X, movieCount);
                if (h == HEAD_MDAT) {
                    p += 512; // the rest of this sector is not examined
                    continue;
                }
                if (h == HEAD_LEAVE) break;
            }
            if (p == nextMovie && Examine_Movie(ctx, X, movieCount)) break;
            ++p;
        }
    }
}

void Classify_Block(const uint8_t* block, int64_t P, TClassifyContext& ctx, int64_t& movieCount) {
    if (block == nullptr) return;
    TBlockFinds finds;
    Search_Block(block, P, kScanBlockStep, false, finds, ctx.RecoveryType == 1);
    Classify_Found(finds, P, ctx, movieCount);
}

} // namespace qrv

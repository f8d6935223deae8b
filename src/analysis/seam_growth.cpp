#include "analysis/seam_growth.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "analysis/sample_start.h"
#include "media/raw_access.h"
#include "scan/alloc_map.h"
#include "scan/classifier.h"

namespace qrv {

namespace {

// Calls fn(sample) for every video sample whose bytes overlap file [X, Y), in
// file order. Chunk offsets ascend, and a chunk's samples follow its offset.
template <class TFn> void For_SamplesIn(const TVideo& v, int64_t X, int64_t Y, TFn&& fn) {
    const auto& ch = v.STCOArr;
    auto it = std::upper_bound(ch.begin(), ch.end(), X,
                               [](int64_t x, const TVideoSTCO& c) { return x < c.STCOoff; });
    size_t c = it == ch.begin() ? 0 : size_t(it - ch.begin()) - 1;
    for (; c < ch.size() && ch[c].STCOoff < Y; ++c)
        for (const TVideoSTSZ& s : ch[c].STSZArr) {
            if (s.STSZoff >= Y) return;
            if (s.STSZoff + int64_t(s.STSZlen) > X) fn(s);
        }
}

} // namespace

bool Has_ZeroRun(const uint8_t* buf, int64_t len) {
    for (int64_t i = 0; i + 2 < len;) {
        const void* z = std::memchr(buf + i, 0, size_t(len - 2 - i));
        if (!z) return false;
        i = static_cast<const uint8_t*>(z) - buf;
        if (buf[i + 1] == 0 && buf[i + 2] <= 2) return true;
        ++i;
    }
    return false;
}

int Seam_ClusterState(const TSeamContext& ctx, int64_t x) {
    if (ctx.H == nullptr || ctx.Node == nullptr || ctx.Map == nullptr || !Is_KnownFs(ctx.Node->HddFs))
        return 255;
    const int64_t cluster = Cluster_Of(ctx.Node->HddFs, *ctx.Map, ctx.Cl.Base, ctx.Cl.Size, x);
    if (cluster < 0) return 255;
    return Get_ClusterState(*ctx.H, ctx.Node->HddFs, *ctx.Map, cluster);
}

bool Stretch_Fits(const TSeamContext& ctx, int64_t c, int64_t X, int64_t len, int state) {
    if (ctx.H == nullptr || ctx.V == nullptr || c < 0 || X < 0 || len <= 0) return false;
    if (state != 255) {
        const int here = Seam_ClusterState(ctx, c);
        if (here != 255 && here != state) return false;
    }
    std::vector<uint8_t> buf = Get_Bytes(*ctx.H, len + 512, c);
    if (int64_t(buf.size()) != len + 512) return false;
    bool starts = false, ok = true;
    For_SamplesIn(*ctx.V, X, X + len, [&](const TVideoSTSZ& s) {
        if (!ok) return;
        if (s.STSZoff >= X) {
            starts = true;
            if (!Probe_SampleStart(*ctx.H, c + (s.STSZoff - X), s.STSZlen, s.STSSFlag)) ok = false;
        }
        const int64_t from = std::max(X, s.STSZoff + kPayloadSkipHead);
        const int64_t to = std::min(X + len, s.STSZoff + int64_t(s.STSZlen) - kPayloadSkipTail);
        if (ok && to - from >= 3 && Has_ZeroRun(buf.data() + (from - X), to - from)) ok = false;
    });
    if (!ok) return false;
    // The stretch's own sample starts are markers; elsewhere a marker means
    // something else lies here.
    return starts || !Has_Marker(buf.data(), buf.size());
}

namespace {

// Largest video sample a seam decision assembles; a larger one is left to the
// interleave scheme (a table entry that large is not a camera's frame).
constexpr int64_t kMaxJudgedSample = 16 << 20;

// Whether the video samples overlapping file [leftFile, rightFile) decode
// cleanly when the gap's bytes before file offset split continue the first
// piece (medium leftEnd on) and the rest lead up to the second piece (which
// begins at medium rightStart, file rightFile).
bool Split_Decodes(const TSeamContext& ctx, int64_t leftEnd, int64_t leftFile, int64_t rightStart,
                   int64_t rightFile, int64_t split) {
    bool clean = true;
    std::vector<uint8_t> sample;
    For_SamplesIn(*ctx.V, leftFile, rightFile, [&](const TVideoSTSZ& s) {
        if (!clean) return;
        const int64_t from = s.STSZoff, to = s.STSZoff + int64_t(s.STSZlen);
        if (s.STSZlen == 0 || int64_t(s.STSZlen) > kMaxJudgedSample) {
            clean = false;
            return;
        }
        sample.assign(size_t(to - from), 0);
        // Up to split the bytes continue the first piece, from there on they
        // lead up to the second piece.
        const int64_t cut = std::clamp(split, from, to);
        if (cut > from) {
            const auto left = Get_Bytes(*ctx.H, cut - from, leftEnd + (from - leftFile));
            if (int64_t(left.size()) != cut - from) clean = false;
            else std::copy(left.begin(), left.end(), sample.begin());
        }
        if (clean && to > cut) {
            const auto right = Get_Bytes(*ctx.H, to - cut, rightStart - (rightFile - cut));
            if (int64_t(right.size()) != to - cut) clean = false;
            else std::copy(right.begin(), right.end(), sample.begin() + (cut - from));
        }
        clean = clean && (*ctx.Judge)(std::span<const uint8_t>(sample));
    });
    return clean;
}

} // namespace

TSeamGrowth Grow_Seam(const TSeamContext& ctx, int64_t leftEnd, int64_t leftFile, int leftState,
                      int64_t rightStart, int64_t rightFile, int rightState, int interleave) {
    TSeamGrowth g;
    const int64_t f = ctx.Cl.Size;
    const int64_t W = rightFile - leftFile;
    if (f <= 0 || W <= 0 || W % f != 0) return g;
    const int64_t n = W / f;
    // What fits on each side, each side on its own.
    int64_t jmax = 0, kmax = 0;
    while (jmax < n && Stretch_Fits(ctx, leftEnd + jmax * f, leftFile + jmax * f, f, leftState))
        ++jmax;
    while (kmax < n && rightStart - (kmax + 1) * f >= 0 &&
           Stretch_Fits(ctx, rightStart - (kmax + 1) * f, rightFile - (kmax + 1) * f, f, rightState))
        ++kmax;
    g.Candidates = 1;
    if (jmax + kmax < n) {
        // Bytes are missing whatever the split: each side takes what fits.
        g.Left = jmax;
        g.Right = kmax;
        return g;
    }
    // Splits that cover the gap: the first piece takes j clusters, the second n - j.
    const int64_t lo = n - kmax, hi = jmax;
    g.Candidates = int(std::min<int64_t>(hi - lo + 1, INT32_MAX));
    int64_t j = interleave == 1 ? lo : hi;
    if (hi > lo) {
        g.State = SEAM_UNVERIFIED;
        if (ctx.Judge != nullptr && *ctx.Judge) {
            int64_t clean = -1, cleanCount = 0;
            for (int64_t c = lo; c <= hi && cleanCount < 2; ++c)
                if (Split_Decodes(ctx, leftEnd, leftFile, rightStart, rightFile, leftFile + c * f)) {
                    clean = c;
                    ++cleanCount;
                }
            if (cleanCount == 1) {
                j = clean;
                g.State = SEAM_VERIFIED;
            }
        }
    } else {
        j = lo;
    }
    g.Left = j;
    g.Right = n - j;
    return g;
}

} // namespace qrv

#include "analysis/seam_growth.h"

#include <algorithm>
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

TSeamGrowth Grow_Seam(const TSeamContext& ctx, int64_t leftEnd, int64_t leftFile, int leftState,
                      int64_t rightStart, int64_t rightFile, int rightState, int interleave) {
    TSeamGrowth g;
    const int64_t f = ctx.Cl.Size;
    const int64_t W = rightFile - leftFile;
    if (f <= 0 || W <= 0 || W % f != 0) return g;
    const int64_t n = W / f;
    int64_t j = 0, k = 0;
    auto left = [&](int64_t limit) {
        while (j < limit && Stretch_Fits(ctx, leftEnd + j * f, leftFile + j * f, f, leftState))
            ++j;
    };
    auto right = [&](int64_t limit) {
        while (k < limit && rightStart - (k + 1) * f >= 0 &&
               Stretch_Fits(ctx, rightStart - (k + 1) * f, rightFile - (k + 1) * f, f, rightState))
            ++k;
    };
    if (interleave == 1) {
        right(n);
        left(n - k);
    } else {
        left(n);
        right(n - j);
    }
    g.Left = j;
    g.Right = k;
    return g;
}

} // namespace qrv

// The frame-start search of the header analysis, answered from the scan's
// frame-feature index. The window search examines the window in search blocks
// of 64 KiB from the window start, each on its own: a feature whose length
// prefix is zero hides the positions up to 5 bytes on, a feature whose key
// matches hides those up to 11 bytes on, and nothing is hidden across a block
// boundary. The walk below applies the same rules to the indexed features of
// each block, so the anchors are the window search's, in the same order.
#include <algorithm>
#include <exception>
#include <thread>

#include "analysis/header_analysis.h"
#include "scan/track_tables.h"
#include "common/language.h"
#include "common/op_state.h"
#include "common/ui_message.h"
#include "scan/feature_index.h"

namespace qrv {

namespace {

constexpr int64_t kSector = 512;
constexpr int64_t kSearchStep = 65536;
// Block progress is sent once per this many blocks (64 MiB): walking the
// index is much faster than the channel's round trip.
constexpr int64_t kProgressEvery = 1024;

// The count of anchors found so far; sent every 64 anchors and at the end of
// each run of blocks, as the walk finds them far faster than a window shows them.
void Send_Found(const TSampleKeys& keys, int64_t found) {
    Send_UIMessage(MSG_STATUS2_FROM_P3,
                   {"", "", Tr("样本键数:") + std::to_string(keys.Count()) + ";" + Tr("已发现:") + std::to_string(found)});
}

} // namespace

void Find_FrameAnchors_Indexed(TOpState& op, TSource& h, const TFeatureIndex& index, int64_t start,
                               int64_t end, int recType, const TSampleKeys& keys,
                               std::vector<TFrameAnchor>& anchors) {
    const int64_t lead = ((start % kSector) + kSector) % kSector;
    if (start - lead < 0 || start >= end) return;
    const int64_t blocks = (end - start + kSearchStep - 1) / kSearchStep;
    int64_t found = 0, sent = 0;
    for (int64_t k = 0; k < blocks && !op.StopFlag.load();) {
        const int64_t pos = start + k * kSearchStep;
        if (!index.Covers(pos, pos + kSearchStep)) {
            // A run of blocks the scan did not see (or saw only in part) is
            // searched on the medium, block for block as the window search does.
            int64_t n = 1;
            while (k + n < blocks && !index.Covers(pos + n * kSearchStep, pos + (n + 1) * kSearchStep))
                ++n;
            Find_FrameAnchors_Window(op, h, pos, pos + n * kSearchStep, recType, keys, anchors);
            k += n;
            continue;
        }
        // The covered run, walked block by block; usually the index covers
        // all of it, which one question settles.
        int64_t n = std::min(kProgressEvery, blocks - k);
        if (!index.Covers(pos, pos + n * kSearchStep)) {
            n = 1;
            while (k + n < blocks && n < kProgressEvery &&
                   index.Covers(pos + n * kSearchStep, pos + (n + 1) * kSearchStep))
                ++n;
        }
        // The walk appends as it goes; when a page of the index cannot be read
        // back, what it appended for this run is dropped and the run is read.
        const size_t before = anchors.size();
        const int64_t foundBefore = found;
        int64_t blockEnd = pos, hiddenTo = pos;
        // Only entries that can hide others (a zero length) or may be keys
        // are looked at: any other entry neither becomes an anchor nor hides
        // one, and the block boundary rule needs no entry to apply.
        auto keep = [&](uint32_t len, uint32_t mod) {
            return recType == 0 && (len == 0 || keys.May_Hold(len + 4, mod));
        };
        const bool whole = index.For_Kept(pos, pos + n * kSearchStep, keep, [&](const TFeatureEntry& e) {
            if (e.Off >= blockEnd) {
                // A new search block: nothing carries over from the last one.
                blockEnd = pos + ((e.Off - pos) / kSearchStep + 1) * kSearchStep;
                hiddenTo = e.Off;
            }
            if (e.Off < hiddenTo) return;
            if (e.Len == 0) {
                hiddenTo = e.Off + 5;
                return;
            }
            if (keys.Find(e.Len + 4, uint32_t(e.Off % kSector)) < 0) return;
            TFrameAnchor a;
            a.AnchorOff = e.Off;
            a.SliceByte = e.Slice_Byte();
            a.AnchorSize = int32_t(e.Len + 4);
            a.AnchorUsed = 0;
            anchors.push_back(a);
            hiddenTo = e.Off + 11;
            ++found;
        });
        if (!whole) {
            anchors.resize(before);
            found = foundBefore;
            Find_FrameAnchors_Window(op, h, pos, pos + n * kSearchStep, recType, keys, anchors);
            k += n;
            continue;
        }
        if (found - sent >= 64 || (found != sent && k + n >= blocks)) Send_Found(keys, sent = found);
        k += n;
        op.Progress2 = int32_t(k);
        Send_UIMessage(MSG_STATUS3,
                       {std::to_string(k), "",
                        Tr("已遍历块:") + std::to_string((pos + (n - 1) * kSearchStep) / kSearchStep)});
    }
}

namespace {

// A window this large is walked in two halves side by side (split on a search
// block boundary, so that the halves' anchors joined are the whole walk's): a
// window can be the whole medium, once per movie header.
constexpr int64_t kSplitWalkBytes = int64_t(256) << 20;

} // namespace

void Find_FrameAnchors_Split(TOpState& op, TSource& h, const TFeatureIndex& index, int64_t start, int64_t end,
                             int recType, const TSampleKeys& keys, std::vector<TFrameAnchor>& anchors,
                             int64_t splitBytes) {
    const int64_t blocks = (end - start + kSearchStep - 1) / kSearchStep;
    if (end - start < splitBytes || blocks < 2 || std::thread::hardware_concurrency() < 2) {
        Find_FrameAnchors_Indexed(op, h, index, start, end, recType, keys, anchors);
        return;
    }
    const int64_t middle = start + blocks / 2 * kSearchStep;
    std::vector<TFrameAnchor> second;
    std::exception_ptr failure;
    std::thread helper([&] {
        const TOpBinding reporting(op); // the helper reports for the same operation
        try {
            Find_FrameAnchors_Indexed(op, h, index, middle, end, recType, keys, second);
        } catch (...) {
            failure = std::current_exception();
        }
    });
    try {
        Find_FrameAnchors_Indexed(op, h, index, start, middle, recType, keys, anchors);
    } catch (...) {
        helper.join();
        throw;
    }
    helper.join();
    if (failure) std::rethrow_exception(failure);
    anchors.insert(anchors.end(), second.begin(), second.end());
}

void Find_FrameAnchors(TScanSession& session, TSource& h, int64_t start, int64_t end, int recType,
                       const TSampleKeys& keys, std::vector<TFrameAnchor>& anchors) {
    // The index holds the camera type's frame features only.
    if (const auto index = recType == 0 ? session.Feature_Index(h) : nullptr)
        Find_FrameAnchors_Split(session.Op, h, *index, start, end, recType, keys, anchors, kSplitWalkBytes);
    else
        Find_FrameAnchors_Window(session.Op, h, start, end, recType, keys, anchors);
}

} // namespace qrv

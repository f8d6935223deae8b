#include "scan/scan_job.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>
#include <vector>

#include "common/byte_order.h"
#include "common/language.h"
#include "common/op_state.h"
#include "common/text_format.h"
#include "common/ui_message.h"
#include "media/raw_access.h"
#include "scan/block_search.h"
#include "scan/classifier.h"
#include "scan/records.h"
#include "scan/read_ahead.h"

namespace qrv {

namespace {

std::string Mode_Text(int mode) {
    switch (mode) {
    case 0:
        return Tr("全部扫描");
    case 1:
        return Tr("仅扫描删除空间");
    case 2:
        return Tr("仅扫描已分配空间");
    default:
        return "";
    }
}

// Rounds a cluster number down to a multiple of m (floor, also below zero).
int64_t Round_Cluster(int64_t c, int64_t m) {
    return Round_Down(c, m);
}

// Makes the index of the scan's source visible to the completion stage while
// it runs, and withdraws it however the stage ends.
struct TPublished {
    TPublished(const TSource* h, std::shared_ptr<const TFeatureIndex> index) {
        Publish_FeatureIndex(h, std::move(index));
    }
    ~TPublished() { Publish_FeatureIndex(nullptr, nullptr); }
};

// The closing line says whether the scan did its work: a scan that could not
// start or broke off is never reported as a success.
void Closing_Sequence(const TOutcome& outcome) {
    Send_Log(Tr("扫描完成"), outcome.Failed() ? Tr("扫描未能完成!") : Tr("扫描成功完成!"));
    Send_UIMessage(MSG_PROGRESS_START, {"0", ""});
    Send_UIMessage(MSG_PROGRESS_END);
}

} // namespace

std::string Check_ScanGeometry(const TTreeData& node) {
    if (node.PerSecBytes <= 0 || node.PerSecBytes % 512 != 0)
        return Tr("错误内容:扇区大小无效,无法扫描,程序将退出!");
    if (Is_KnownFs(node.HddFs)) {
        if (node.LogPerClusec == 0) return Tr("错误内容:簇大小无效,无法扫描,程序将退出!");
        if (int64_t(node.LogPerClusec) * node.PerSecBytes > kScanBlockStep)
            return Tr("错误内容:簇大小超过512KB,无法扫描,程序将退出!");
    } else if (node.PerSecBytes > kScanBlockStep) {
        return Tr("错误内容:扇区大小无效,无法扫描,程序将退出!");
    }
    return "";
}

TScanGeometry Get_ScanGeometry(const TTreeData& node, int mode, int64_t startSec, int64_t endSec,
                               const TAllocMap& map, int64_t V) {
    TScanGeometry g;
    const int64_t psb = node.PerSecBytes;
    const int64_t spc = node.LogPerClusec;
    g.Mode = mode;
    g.StartOffset = startSec * psb;
    if (Is_KnownFs(node.HddFs)) {
        g.Unit = spc * psb;
        g.WalkStep = g.Unit;
        if (!map.Loaded) {
            g.Mode = 0;
            return g;
        }
        const int64_t cb = spc * psb;
        g.StartOffset = V + ((startSec - V / psb) / spc) * cb;
        if (endSec * psb < map.MapStart || map.MapExtent * 8 < int64_t(node.LogTotalClusters)) {
            g.StartOffset = startSec * psb;
            g.Mode = 0;
        }
        if (node.HddFs == "NTFS") {
            int64_t c = Round_Cluster((startSec - V / psb) / spc, 65536);
            g.StartOffset = V + c * cb;
        } else {
            const int64_t window = node.HddFs == "FAT32" ? 16384 : 65536;
            if (g.StartOffset < map.DataStart) g.StartOffset = map.DataStart;
            if (g.StartOffset > map.DataStart) {
                int64_t c = Round_Cluster((startSec - map.DataStart / psb) / spc + 2, window);
                if (c == 0) c = 2;
                g.StartOffset = map.DataStart + (c - 2) * cb;
            }
        }
    } else {
        g.Unit = psb;
        g.WalkStep = 32768;
    }
    return g;
}

namespace {

// The scan up to its completion stage; returns early when the source cannot be
// scanned. position follows the block being read, for the report of a failure.
TOutcome Scan_Body(const TScanParams& p, const TScanCompletion& completion, TSourcePtr& h, TAllocMap& map,
                   int64_t& position) {
    const TTreeData& node = p.Node;
    {
        // Path and open.
        const std::string path = Get_SourcePath(node);
        Op_State().Set_SourcePath(path);
        Clear_AllocWindow();
        h = Open_Source(path);
        if (!h) {
            Send_Log(Tr("错误类型:Scan0000"), Tr("错误内容:获取文件句柄出错，程序将退出!"));
            return TOutcome::Io_Error(0, "open");
        }
        // Geometry the block loop cannot work with is refused before anything starts.
        std::string refusal = Check_ScanGeometry(node);
        if (refusal.empty() &&
            (p.StartSec < 0 || p.EndSec < 0 ||
             p.EndSec > std::numeric_limits<int64_t>::max() / node.PerSecBytes || p.StartSec > p.EndSec))
            refusal = Tr("错误内容:扫描范围无效,程序将退出!");
        if (!refusal.empty()) {
            Send_Log(Tr("错误类型:Scan0001"), refusal);
            return TOutcome::Corrupt(0, refusal);
        }

        // Start log line.
        Send_Log(Tr("扫描开始"), Tr("开始扫描,扫描对象:") + path + ";" + Tr("扫描类型:") + Mode_Text(p.Mode) +
                                     ";" + Tr("文件系统:") + node.HddFs + ";" + Tr("扫描范围:") +
                                     std::to_string(p.StartSec) + "~" + std::to_string(p.EndSec));

        // Progress start and start time.
        const int64_t rangeEnd = p.EndSec * node.PerSecBytes;
        Send_UIMessage(MSG_PROGRESS_START, {std::to_string(rangeEnd / kScanBlockStep), Tr("总块数:")});
        Op_State().Set_StartTime(std::chrono::system_clock::now());
        if (p.DateFilter) Op_State().Set_DateWindow(p.DateFrom, p.DateTo);

        // Start offset and unit.
        int64_t V = 0;
        if (Is_KnownFs(node.HddFs)) {
            V = node.Hddtype == HDD_REGION ? node.RegionSec * node.PerSecBytes : 0;
            map = Load_AllocMap(*h, node.HddFs, V);
        }
        const TScanGeometry g = Get_ScanGeometry(node, p.Mode, p.StartSec, p.EndSec, map, V);

        // Counters.
        Op_State().Progress1 = 0;
        Op_State().Progress2 = 0;
        int64_t P = g.StartOffset;
        int64_t B = P / kScanBlockStep;
        int64_t H = 0;

        TClassifyContext ctx;
        ctx.Handle = h.get();
        ctx.Node = &node;
        ctx.Unit = g.Unit;
        ctx.WalkStep = g.WalkStep;
        ctx.Mode = g.Mode;
        ctx.Map = &map;
        ctx.RangeEnd = rangeEnd;
        ctx.RecoveryType = p.RecoveryType;
        ctx.DateFilter = p.DateFilter;
        ctx.V = V;

        // Block loop: the blocks are read ahead and searched on worker
        // threads; this thread walks their finds in medium order. The bytes
        // the medium does not deliver read as zero.
        std::shared_ptr<TFeatureIndex> index;
        if (p.FeatureIndex)
            index = std::make_shared<TFeatureIndex>(
                TFeatureIndexOptions{p.FeatureBudget, p.FeatureSpillFolder, {path}});
        const bool features = index != nullptr;
        const int64_t mediumSize = h->Size();
        constexpr int kDepth = 16; // blocks read ahead
        std::vector<TBlockFinds> finds(kDepth);
        TReadAhead blocks(
            *h, P, rangeEnd, kScanBlockStep, size_t(kScanBlockRead),
            [&finds, features](const uint8_t* data, int64_t off, int64_t, size_t slot) {
                Search_Block(data, off, kScanBlockStep, features, finds[slot]);
            },
            0, kDepth);
        TReadAhead::TBlock blk;
        const int64_t first = P;
        Op_State().BytesTotal = std::max<int64_t>(rangeEnd - first, 0);
        Op_State().BytesDone = 0;
        while (P < rangeEnd && !Op_State().StopFlag.load() && blocks.Next(blk)) {
            position = P;
            Classify_Found(finds[blk.Slot], P, ctx, H);
            if (index)
                index->Add_Found(finds[blk.Slot].Features, P, kScanBlockStep,
                                 blk.Got == kScanBlockRead || (mediumSize >= 0 && P + blk.Got >= mediumSize));
            blocks.Release();
            Op_State().Progress1 = int32_t(B);
            Op_State().BytesDone = std::min(P + kScanBlockStep, rangeEnd) - first;
            Send_UIMessage(MSG_PROGRESS_STATUS, {"", Tr("已扫描块数:") + std::to_string(B),
                                                 Tr("发现碎片数量:") + std::to_string(H)});
            P += kScanBlockStep;
            B = P / kScanBlockStep;
        }

        blocks.Stop();
        Op_State().BytesTotal = 0; // analysis is not measured in bytes of the medium
        if (index && !index->Spill_Refusal().empty())
            Send_Log(Tr("特征索引"), Tr("特征索引超出内存预算,临时文件无法创建,分析将重新读取其余范围:") +
                                         index->Spill_Refusal());

        const bool stopped = P < rangeEnd;

        // Completion stage.
        position = -1;
        TPublished published(h.get(), index);
        if (completion) completion(*h, node, map, p);
        return stopped ? TOutcome::Cancelled(P) : TOutcome::Ok();
    }
}

} // namespace

namespace {

// A failure that escaped the scan as an exception, logged with where it happened.
TOutcome Log_Breakoff(int64_t position, const std::string& what) {
    std::string text = Tr("错误内容:扫描中断");
    if (position >= 0) text += "," + Tr("偏移") + ":" + std::to_string(position);
    if (!what.empty()) text += ";" + what;
    try {
        Send_Log(Tr("错误类型:Scan0002"), text);
    } catch (...) {
    }
    return TOutcome::Io_Error(position, what);
}

} // namespace

TOutcome To_Scan(const TScanParams& p, const TScanCompletion& completion) {
    TSourcePtr h;
    TAllocMap map{};
    int64_t position = -1;
    TOutcome outcome;
    try {
        outcome = Scan_Body(p, completion, h, map, position);
    } catch (const std::exception& e) {
        outcome = Log_Breakoff(position, e.what());
    } catch (...) {
        outcome = Log_Breakoff(position, "");
    }
    // Closing sequence; the map and the handle are released on return.
    try {
        Closing_Sequence(outcome);
    } catch (...) {
    }
    return outcome;
}

} // namespace qrv

#include "scan/scan_job.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
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
#include "scan/unread_map.h"

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
    TPublished(TScanSession& session, const TSource* h, std::shared_ptr<const TFeatureIndex> index)
        : session_(session) {
        session_.Set_FeatureIndex(h, std::move(index));
    }
    ~TPublished() { session_.Set_FeatureIndex(nullptr, nullptr); }
    TScanSession& session_;
};

// What the closing line reports besides the outcome.
struct TScanTally {
    int64_t Range = 0;   // bytes of the range the block loop was to cover
    int64_t Scanned = 0; // bytes of it covered
    int64_t UnreadRuns = 0, UnreadBytes = 0;
};

// The closing line says how the scan ended: a scan that could not start or
// broke off is never reported as a success, a stopped one says how far it
// got, and one that met unreadable sectors counts them.
void Closing_Sequence(const TOutcome& outcome, const TScanTally& tally) {
    std::string text;
    if (outcome.Failed())
        text = Tr("扫描未能完成!");
    else if (outcome.Kind == TOutcomeKind::Cancelled)
        text = Tr("扫描已停止!") + " " + Tr("已扫描字节:") + std::to_string(tally.Scanned) + "/" +
               std::to_string(tally.Range);
    else
        text = Tr("扫描成功完成!");
    if (tally.UnreadRuns > 0)
        text += " " + Tr("无法读取的区域:") + std::to_string(tally.UnreadRuns) + ", " + Tr("字节数:") +
                std::to_string(tally.UnreadBytes);
    Send_Log(Tr("扫描完成"), text);
    Send_UIMessage(MSG_PROGRESS_START, {"0", ""});
    Send_UIMessage(MSG_PROGRESS_END);
}

// Logs each unreadable stretch once, when it is known whole (a stretch may
// run over several blocks; blocks overlap by a sector), and keeps it in the
// scan's map for the analysis.
class TUnreadLog {
  public:
    TUnreadLog(TScanTally& tally, TUnreadMap& map) : tally_(tally), map_(map) {}
    void Add(const std::vector<TUnreadRun>& runs) {
        for (const TUnreadRun& r : runs) {
            if (r.End() <= logged_) continue;
            TUnreadRun run = r;
            if (run.Off < logged_) {
                run.Len = run.End() - logged_;
                run.Off = logged_;
            }
            if (open_.Len > 0 && run.Off <= open_.End()) {
                open_.Len = std::max(open_.End(), run.End()) - open_.Off;
            } else {
                Flush();
                open_ = run;
            }
            logged_ = open_.End();
        }
    }
    // Logs the open stretch unless the block at next may still extend it.
    void Flush_Before(int64_t next) {
        if (open_.Len > 0 && open_.End() < next) Flush();
    }
    void Flush() {
        if (open_.Len <= 0) return;
        map_.Add(open_);
        ++tally_.UnreadRuns;
        tally_.UnreadBytes += open_.Len;
        Send_Log(TSeverity::Error, Tr("错误类型:Scan0003"),
                 Tr("错误内容:扇区无法读取,以零填充") + "," + Tr("偏移") + ":" + std::to_string(open_.Off) +
                     "," + Tr("长度") + ":" + std::to_string(open_.Len));
        open_ = {};
    }

  private:
    TScanTally& tally_;
    TUnreadMap& map_;
    TUnreadRun open_;
    int64_t logged_ = 0;
};

} // namespace

std::string Check_FsDescription(const TTreeData& node, const TAllocMap& map, int64_t mediumBytes) {
    if (!Is_KnownFs(node.HddFs)) return "";
    const int64_t psb = node.PerSecBytes;
    if (psb != 512 && psb != 1024 && psb != 2048 && psb != 4096)
        return Tr("每扇区字节数无效") + ":" + std::to_string(psb);
    if (!map.Loaded || mediumBytes < 0) return "";
    if (map.MapStart < 0 || map.MapLength < 0 || map.MapStart > mediumBytes ||
        map.MapLength > mediumBytes - map.MapStart)
        return Tr("分配表超出介质范围") + ":" + std::to_string(map.MapStart) + "+" + std::to_string(map.MapLength) +
               " > " + std::to_string(mediumBytes);
    if (node.HddFs != "NTFS" && (map.DataStart < 0 || map.DataStart >= mediumBytes))
        return Tr("数据区超出介质范围") + ":" + std::to_string(map.DataStart) + " >= " + std::to_string(mediumBytes);
    return "";
}

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

// The state the steps of one scan share: what it was asked, where it reports
// back (handle, allocation map, position, tally) and the source as scanned.
struct TScanRun {
    TScanSession& session;
    const TScanParams& p;
    TSourcePtr& h;
    TAllocMap& map;
    int64_t& position; // follows the block being read, for the report of a failure
    TScanTally& tally;
    TTreeData node; // the source; a file system that does not fit the medium is scanned as RAW
    std::string path;
    int64_t rangeEnd = 0; // byte offset at which the scan ends
    int64_t V = 0;        // offset of the volume on the source

    // Path and open; geometry the block loop cannot work with is refused
    // before anything starts. The outcome when the scan cannot start.
    std::optional<TOutcome> Open() {
        path = Get_SourcePath(node);
        session.Set_SourcePath(path);
        h = Open_Source(path);
        if (!h) {
            Send_Log(TSeverity::Error, Tr("错误类型:Scan0000"), Tr("错误内容:获取文件句柄出错，程序将退出!"));
            return TOutcome::Io_Error(0, "open");
        }
        std::string refusal = Check_ScanGeometry(node);
        if (refusal.empty() &&
            (p.StartSec < 0 || p.EndSec < 0 ||
             p.EndSec > std::numeric_limits<int64_t>::max() / node.PerSecBytes || p.StartSec > p.EndSec))
            refusal = Tr("错误内容:扫描范围无效,程序将退出!");
        if (!refusal.empty()) {
            Send_Log(TSeverity::Error, Tr("错误类型:Scan0001"), refusal);
            return TOutcome::Corrupt(0, refusal);
        }
        return std::nullopt;
    }

    // Start log line, progress start and start time.
    void Announce() {
        Send_Log(Tr("扫描开始"), Tr("开始扫描,扫描对象:") + path + ";" + Tr("扫描类型:") + Mode_Text(p.Mode) +
                                     ";" + Tr("文件系统:") + node.HddFs + ";" + Tr("扫描范围:") +
                                     std::to_string(p.StartSec) + "~" + std::to_string(p.EndSec) +
                                     // The camera type's line stays as it was; another type is named.
                                     (p.RecoveryType == 1 ? ";" + Tr("恢复类型") + ":" +
                                                                Tr("类型2:MP4/MOV----通用(H.264/H.265)")
                                                          : std::string()));
        rangeEnd = p.EndSec * node.PerSecBytes;
        Send_UIMessage(MSG_PROGRESS_START, {std::to_string(rangeEnd / kScanBlockStep), Tr("总块数:")});
        session.Op.Set_StartTime(std::chrono::system_clock::now());
    }

    // The allocation map of a known file system and the volume's offset V.
    void Load_FsMap() {
        if (!Is_KnownFs(node.HddFs)) return;
        V = node.Hddtype == HDD_REGION ? node.RegionSec * node.PerSecBytes : 0;
        map = Load_AllocMap(*h, node.HddFs, V);
        // A file-system description that does not fit the medium would
        // place the scan outside it: the volume is scanned as RAW instead.
        if (const std::string why = Check_FsDescription(node, map, h->Size()); !why.empty()) {
            Send_Log(Tr("文件系统描述"), Tr("文件系统描述无效,按RAW扫描") + ":" + why);
            node.HddFs = "RAW";
            node.LogPerClusec = 0;
            map = TAllocMap{};
            V = 0;
        }
    }

    // Block loop from P (left where it ended): the blocks are read ahead and
    // searched on worker threads; this thread walks their finds in medium
    // order. The bytes the medium does not deliver read as zero. The outcome
    // when the medium changed under the scan.
    std::optional<TOutcome> Walk_Blocks(const TScanGeometry& g, TFeatureIndex* index, int64_t& P) {
        int64_t B = P / kScanBlockStep;
        int64_t H = 0;
        TClassifyContext ctx;
        ctx.Handle = h.get();
        ctx.Session = &session;
        ctx.Node = &node;
        ctx.Unit = g.Unit;
        ctx.WalkStep = g.WalkStep;
        ctx.Mode = g.Mode;
        ctx.Map = &map;
        ctx.RangeEnd = rangeEnd;
        ctx.RecoveryType = p.RecoveryType;
        ctx.DateFilter = p.DateFilter;
        ctx.DateFrom = p.DateFrom;
        ctx.DateTo = p.DateTo;
        ctx.TimeStandard = p.TimeStandard;
        ctx.V = V;

        const bool features = index != nullptr;
        const bool generic = p.RecoveryType == 1;
        const int64_t mediumSize = h->Size();
        constexpr int kDepth = 16; // blocks read ahead
        std::vector<TBlockFinds> finds(kDepth);
        TReadAhead blocks(
            *h, P, rangeEnd, kScanBlockStep, size_t(kScanBlockRead),
            [&finds, features, generic](const uint8_t* data, int64_t off, int64_t, size_t slot) {
                Search_Block(data, off, kScanBlockStep, features, finds[slot], generic);
            },
            0, kDepth, node.PerSecBytes);
        TReadAhead::TBlock blk;
        const int64_t first = P;
        tally.Range = std::max<int64_t>(rangeEnd - first, 0);
        session.Op.BytesTotal = tally.Range;
        session.Op.BytesDone = 0;
        TUnreadLog unread(tally, session.Unread);
        while (P < rangeEnd && !session.Op.StopFlag.load() && blocks.Next(blk)) {
            position = P;
            // A medium that changes size under the scan (an image file cut or
            // grown, a card pulled) cannot be trusted for what was read before.
            if (const int64_t now = h->Size(); now != mediumSize) {
                unread.Flush();
                const std::string why = Tr("错误内容:扫描中源的大小改变") + ":" + std::to_string(mediumSize) +
                                        " -> " + std::to_string(now);
                Send_Log(TSeverity::Error, Tr("错误类型:Scan0005"), why);
                return TOutcome::Io_Error(P, why);
            }
            Classify_Found(finds[blk.Slot], P, ctx, H);
            unread.Add(*blk.Unread);
            const bool whole = blk.Unread->empty() &&
                               (blk.Got == kScanBlockRead || (mediumSize >= 0 && P + blk.Got >= mediumSize));
            if (index) index->Add_Found(finds[blk.Slot].Features, P, kScanBlockStep, whole);
            blocks.Release();
            unread.Flush_Before(P + kScanBlockStep);
            session.Op.Progress1 = int32_t(B);
            session.Op.BytesDone = std::min(P + kScanBlockStep, rangeEnd) - first;
            Send_UIMessage(MSG_PROGRESS_STATUS, {"", Tr("已扫描块数:") + std::to_string(B),
                                                 Tr("发现碎片数量:") + std::to_string(H)});
            P += kScanBlockStep;
            B = P / kScanBlockStep;
        }

        blocks.Stop();
        unread.Flush();
        tally.Scanned = std::clamp<int64_t>(P - first, 0, tally.Range);
        session.Op.BytesTotal = 0; // analysis is not measured in bytes of the medium
        return std::nullopt;
    }
};

// The scan up to its completion stage; returns early when the source cannot be
// scanned. position follows the block being read, for the report of a failure.
TOutcome Scan_Body(TScanSession& session, const TScanParams& p, const TScanCompletion& completion,
                   TSourcePtr& h, TAllocMap& map, int64_t& position, TScanTally& tally) {
    TScanRun run{session, p, h, map, position, tally, p.Node, {}};
    if (auto failed = run.Open()) return *failed;
    run.Announce();
    run.Load_FsMap();
    const TScanGeometry g = Get_ScanGeometry(run.node, p.Mode, p.StartSec, p.EndSec, map, run.V);
    session.Op.Progress1 = 0;
    session.Op.Progress2 = 0;

    std::shared_ptr<TFeatureIndex> index;
    if (p.FeatureIndex)
        index = std::make_shared<TFeatureIndex>(
            TFeatureIndexOptions{p.FeatureBudget, p.FeatureSpillFolder, {run.path}});
    int64_t P = g.StartOffset;
    if (auto failed = run.Walk_Blocks(g, index.get(), P)) return *failed;
    if (index && !index->Spill_Refusal().empty())
        Send_Log(Tr("特征索引"), Tr("特征索引超出内存预算,临时文件无法创建,分析将重新读取其余范围:") +
                                     index->Spill_Refusal());

    const bool stoppedScan = P < run.rangeEnd;

    // Completion stage. The analysis clears the stop flag when it starts,
    // so a flag still set afterwards means the analysis was stopped.
    position = -1;
    TPublished published(session, h.get(), index);
    if (completion) completion(*h, run.node, map, p);
    const bool stopped = stoppedScan || session.Op.StopFlag.load();
    return stopped ? TOutcome::Cancelled(std::min(P, run.rangeEnd)) : TOutcome::Ok();
}

} // namespace

namespace {

// A failure that escaped the scan as an exception, logged with where it happened.
TOutcome Log_Breakoff(int64_t position, const std::string& what) {
    std::string text = Tr("错误内容:扫描中断");
    if (position >= 0) text += "," + Tr("偏移") + ":" + std::to_string(position);
    if (!what.empty()) text += ";" + what;
    try {
        Send_Log(TSeverity::Error, Tr("错误类型:Scan0002"), text);
    } catch (...) {
    }
    return TOutcome::Io_Error(position, what);
}

} // namespace

TOutcome To_Scan(TScanSession& session, const TScanParams& p, const TScanCompletion& completion) {
    // The settings the scan runs under stay with its records; its progress
    // goes into the session's operation state.
    session.Set_Settings(p);
    const TOpBinding reporting(session.Op);
    TSourcePtr h;
    TAllocMap map{};
    int64_t position = -1;
    TOutcome outcome;
    TScanTally tally;
    try {
        outcome = Scan_Body(session, p, completion, h, map, position, tally);
    } catch (const std::exception& e) {
        outcome = Log_Breakoff(position, e.what());
    } catch (...) {
        outcome = Log_Breakoff(position, "");
    }
    // Closing sequence; the map and the handle are released on return.
    try {
        Closing_Sequence(outcome, tally);
    } catch (...) {
    }
    return outcome;
}

} // namespace qrv

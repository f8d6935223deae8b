#include "analysis/rebuild.h"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <exception>
#include <future>
#include <memory>
#include <system_error>

#include "analysis/header_analysis.h"
#include "analysis/output.h"
#include "analysis/seams.h"
#include "common/language.h"
#include "common/op_state.h"
#include "common/text_format.h"
#include "common/ui_message.h"
#include "scan/alloc_map.h"
#include "scan/track_tables.h"

namespace qrv {

int64_t Quality_Percent(int64_t found, int64_t expected) {
    if (expected <= 0) return -1;
    // The quotient in extended precision, rounded to two decimals with halves
    // going to the even neighbour; the product by 100 is then formed and kept
    // as a double, so that e.g. 0.29 gives 28.999... and truncates to 28.
    const int saved = std::fegetround();
    std::fesetround(FE_TONEAREST);
    volatile long double q = static_cast<long double>(found) / static_cast<long double>(expected);
    volatile long double scaled = q * 100.0L;
    volatile long double rounded = std::nearbyintl(scaled) / 100.0L;
    std::fesetround(saved);
    volatile double r2 = static_cast<double>(rounded);
    volatile double product = r2 * 100.0;
    return static_cast<int64_t>(std::trunc(product));
}

uint8_t Quality_Level(int64_t p) {
    if (p >= 80 && p <= 100) return 0;
    if (p >= 60 && p <= 79) return 1;
    if (p >= 30 && p <= 59) return 2;
    return 3;
}

void Get_FileQuality(TRebuildResult& r) {
    int64_t found = 0, expected = 0;
    for (const TFragmenArr& e : r.FragmenArray) {
        if (e.ChongHeFlag) continue;
        if (e.FragmenType == ENTRY_MOVIE) {
            // The file's length: a movie box at the front lies inside the
            // media end already; one at the end follows it.
            r.MdatLenx = r.CamerType == 0 ? std::max(e.MdatLen, e.FragmenEoff - e.FragmenSoff)
                                          : (e.FragmenEoff - e.FragmenSoff) + e.MdatLen;
            expected = r.MdatLenx;
            r.HeadMdatLenx = e.MdatLen - 32;
        } else {
            const int64_t s = e.FragmentLastSoff != 0 ? e.FragmentLastSoff : e.FragmenSoff;
            const int64_t t = e.FragmentLastEoff != 0 ? e.FragmentLastEoff : e.FragmenEoff;
            if (t > s) found += t - s;
        }
    }
    r.LessByte = found;
    r.TrueFileLen = found;
    // A result without a usable expected length cannot be judged: poor.
    r.Leavelx = expected > 0 ? Quality_Level(Quality_Percent(found, expected)) : 3;
}

namespace {

bool Complete(const TRebuildResult& r, const TSampleCount& c) {
    TRebuildResult rated = r;
    Get_FileQuality(rated);
    return rated.Leavelx == 0 && c.Placed == c.Total;
}

// A header whose rebuild under the chosen scheme came back incomplete.
struct TPending {
    int64_t Header = 0; // index in the session's scan records
    int HeadMode = 0;
    int64_t Result = 0;      // index of its rebuild result
    int64_t Head = -1;       // scan index of the file head that result took, -1 for none
    TSampleCount First;      // what that result takes from the medium
    uint8_t FirstResult = 0; // what Get_HeadMoov returned
};

// ";0X:" and the header's offset, for log lines about header i.
std::string Where(TScanSession& session, int64_t i) {
    return ";" + std::string("0X:") + std::to_string(session.Scans.Get(i).FragmentOff);
}

// Logs why header i gave nothing (its tables are damaged) or no media.
void Report_Header(TScanSession& session, int64_t i, uint8_t res) {
    if (res == HEADMOOV_BAD_TABLES)
        Send_Log(TSeverity::Warning, Tr("错误"),
                 Tr("错误类型:解析元文件失败;判断出错当前编号:") + std::to_string(i) + Where(session, i));
    else if (res == HEADMOOV_NO_ANCHOR)
        Send_Log(TSeverity::Warning, Tr("错误"), Tr("错误类型:没有发现符合条件的帧特征!"));
}

void Report_Failed(TScanSession& session, int64_t i) {
    Send_Log(TSeverity::Warning, Tr("错误"),
             Tr("错误类型:循环出错;判断出错当前编号:") + std::to_string(i) + Where(session, i));
}

// Analyses every pending header again with the whole medium as the window
// (both ways), searching the medium once for all of them, and keeps for each
// the result that takes more samples from the medium. kept[n] tells, per
// pending header, whether the wider result was kept.
void Widen_Pending(const TAnalysisContext& ctx, const std::vector<TPending>& pending, std::vector<bool>& kept) {
    TScanSession& session = ctx.Session;
    TAnalysisContext wide = ctx; // the whole medium, both ways
    wide.Scheme = 7;
    kept.assign(pending.size(), false);
    // One search for the frame starts of every pending header.
    TSampleKeys all;
    for (const TPending& p : pending) {
        TVideo v;
        TSampleKeys k;
        Get_MOOV_VideoAndSound(ctx.Source, session, p.Header, v, ctx.RecoveryType, ctx.ScanEnd, k);
        int64_t index = 0;
        for (const auto& ch : v.STCOArr)
            for (const auto& smp : ch.STSZArr)
                all.Add(smp.STSZlen, uint32_t(smp.STSZoff % 512), index++);
    }
    std::vector<TFrameAnchor> found;
    Find_FrameAnchors(session, ctx.Source, 0, ctx.ScanEnd, ctx.RecoveryType, all, found);
    for (size_t n = 0; n < pending.size() && !session.Op.StopFlag.load(); ++n) {
        const TPending& p = pending[n];
        // The file head the committed result took is free for the wider one.
        const THeadFree isFree = [&session, &p](int64_t k) {
            return k == p.Head || session.Scans.Get(k).FrammentFlag != 1;
        };
        THeadMoov wider = Get_HeadMoov(wide, p.HeadMode, p.Header, &found, nullptr, isFree);
        if (!wider.Result) continue;
        kept[n] = wider.Samples.Placed > p.First.Placed;
        // Samples counted in place may still be another piece's bytes that
        // happen to fill the file at the right length; for the generic type a
        // complete wider result is taken over an incomplete first one.
        if (ctx.RecoveryType == 1 && !kept[n]) kept[n] = Complete(*wider.Result, wider.Samples);
        if (!kept[n]) continue;
        session.Rebuilds.Replace(p.Result, std::make_unique<TRebuildResult>(std::move(*wider.Result)));
        if (p.Head >= 0) session.Scans.Get(p.Head).FrammentFlag = 0;
        if (wider.PairedHead >= 0) session.Scans.Get(wider.PairedHead).FrammentFlag = 1;
    }
}

// The second pass over the headers left incomplete, and its log lines: which
// took the wider result, and why the others stayed as they were.
void Widen_AndReport(const TAnalysisContext& ctx, const std::vector<TPending>& pending) {
    TScanSession& session = ctx.Session;
    std::vector<bool> kept(pending.size(), false);
    try {
        if (!session.Op.StopFlag.load())
            Widen_Pending(ctx, pending, kept);
    } catch (const std::exception&) {
        Report_Failed(session, pending.front().Header);
    }
    for (size_t n = 0; n < pending.size(); ++n) {
        const int64_t i = pending[n].Header;
        if (kept[n])
            Send_Log(Tr("扩大重组范围"), Tr("所选区间重组不完整,已采用双向最大值区间的结果;判断当前编号:") +
                                             std::to_string(i) + Where(session, i));
        else
            Report_Header(session, i, pending[n].FirstResult);
    }
}

// Commits what the analysis of header i found: appends its result and marks
// the file head it paired taken. A result left incomplete under the chosen
// window waits in pending for the wider pass; the others are reported now.
void Commit_Header(const TAnalysisContext& ctx, int64_t i, int headMode, THeadMoov got,
                   std::vector<TPending>& pending) {
    TScanSession& session = ctx.Session;
    if (!got.Result) {
        Report_Header(session, i, got.Status);
        return;
    }
    const bool wait = ctx.Widen && ctx.Scheme != 7 && !Complete(*got.Result, got.Samples);
    const int64_t at = session.Rebuilds.Append(std::make_unique<TRebuildResult>(std::move(*got.Result)));
    if (got.PairedHead >= 0) session.Scans.Get(got.PairedHead).FrammentFlag = 1;
    if (wait)
        pending.push_back({i, headMode, at, got.PairedHead, got.Samples, got.Status});
    else
        Report_Header(session, i, got.Status);
}

// Rates every rebuilt recording.
void Rate_Results(TScanSession& session) {
    const int64_t n = session.Rebuilds.Count();
    if (n == 0) return;
    Send_UIMessage(MSG_PROGRESS_START, {std::to_string(n), Tr("分析总数量") + ":", std::to_string(n)});
    Send_Log(Tr("检测文件"),
             Tr("当前重组文件数量:") + std::to_string(n) + ";" + Tr("开始检测文件结构并动态生成文件质量"));
    for (int64_t k = 0; k < n; ++k) {
        // Level 0 is a promise: a sample not in place, bytes the scan could
        // not read (zeros in the file) or a seam whose split is a guess make
        // it at best level 1.
        TRebuildResult& r = session.Rebuilds.Get(k);
        Get_FileQuality(r);
        if (r.Leavelx == 0 &&
            (r.SamplesMissing > 0 || Reads_Unread(r, session.Unread) || Has_UnverifiedSeam(r)))
            r.Leavelx = 1;
        session.Op.Progress1 = int32_t(k);
        Send_UIMessage(MSG_STATUS2, {"", Tr("已分析数量:") + std::to_string(k)});
    }
    Send_Log(Tr("检测文件"), Tr("检测文件完毕!"));
}

} // namespace

void To_Rebuild(const TAnalysisContext& ctx) {
    TScanSession& session = ctx.Session;
    const int64_t count = session.Scans.Count();
    if (count == 0) {
        Send_Log(Tr("分析失败"), Tr("碎片数量为0无法进行分析!"));
        return;
    }
    session.Op.StopFlag = false;
    Send_Log(Tr("分析开始"), Tr("开始分析文件头并进行匹配..."));
    Send_UIMessage(MSG_PROGRESS_START, {std::to_string(count), Tr("分析总数量:"), std::to_string(count)});
    session.Op.Progress1 = 0;

    // Headers rebuilt incompletely under the chosen window wait for one
    // common search of the whole medium after the others.
    std::vector<TPending> pending;
    // The next header's tables are read on a second thread while this one is
    // analysed: reading them depends only on the header's own scan result.
    auto isHeader = [&session](int64_t i) {
        const uint8_t kind = session.Scans.Get(i).Fragmentype;
        return kind == KIND_HEAD_MOOV || kind == KIND_MOOV;
    };
    auto nextHeader = [&](int64_t from) {
        while (from < count && !isHeader(from))
            ++from;
        return from;
    };
    auto readAhead = [&](int64_t i) {
        try {
            return std::async(std::launch::async, [&ctx, i] {
                TQuietProgress quiet; // the window shows the header being analysed
                return Read_HeaderTables(ctx, i);
            });
        } catch (const std::system_error&) {
            return std::future<THeaderTables>(); // no thread: read when the header's turn comes
        }
    };
    std::future<THeaderTables> ahead;
    int64_t aheadOf = -1;
    if (const int64_t first = nextHeader(0); first < count) ahead = readAhead(aheadOf = first);
    for (int64_t i = 0; i < count && !session.Op.StopFlag.load(); ++i) {
        const TScanResult& s = session.Scans.Get(i);
        if (s.Fragmentype == KIND_HEAD_MOOV || s.Fragmentype == KIND_MOOV) {
            const int headMode = s.CamerType == 0 ? 1 : 0;
            try {
                std::future<THeaderTables> mine;
                if (aheadOf == i) mine = std::move(ahead);
                if (const int64_t next = nextHeader(i + 1); next < count) ahead = readAhead(aheadOf = next);
                THeaderTables tables = mine.valid() ? mine.get() : Read_HeaderTables(ctx, i);
                Commit_Header(ctx, i, headMode, Get_HeadMoov(ctx, headMode, i, nullptr, &tables), pending);
            } catch (const std::exception&) {
                Report_Failed(session, i);
            }
        }
        session.Op.Progress1 = int32_t(i);
        Send_UIMessage(MSG_PROGRESS_STATUS, {std::to_string(i), Tr("已分析数量:") + std::to_string(i)});
    }
    if (!pending.empty())
        Widen_AndReport(ctx, pending);

    if (session.Op.StopFlag.load())
        Send_Log(Tr("分析完成"), Tr("分析已停止!") + " " + Tr("已分析数量:") +
                                     std::to_string(session.Op.Progress1.load()) + "/" +
                                     std::to_string(count));
    else
        Send_Log(Tr("分析完成"), Tr("分析文件头完成!"));
    Rate_Results(session);
}

} // namespace qrv

#include "pipeline/scan_completion.h"

#include <algorithm>
#include <map>
#include <vector>

#include "analysis/rebuild.h"
#include "common/ui_message.h"
#include "results/result_file.h"
#include "results/results_model.h"
#include "scan/metadata.h"
#include "scan/records.h"

namespace qrv {

int64_t Estimate_RawAlignment(TScanSession& session, int64_t perSecBytes) {
    if (perSecBytes <= 0) perSecBytes = 512;
    const int64_t modulus = perSecBytes * 64;
    std::vector<int64_t> kept;
    const int64_t n = session.Scans.Count();
    for (int64_t i = 0; i < n && kept.size() < 10; ++i) {
        const TScanResult& s = session.Scans.Get(i);
        if (!s.Head_Flag) continue;
        int64_t r = s.FragmentOff % modulus;
        if (r < 0) r += modulus;
        kept.push_back(r);
    }
    if (kept.empty()) return 0;
    // Distinct values ordered by their decimal text ("1024" before "512").
    std::map<std::string, int64_t> counts;
    for (int64_t v : kept) ++counts[std::to_string(v)];
    std::vector<std::pair<int64_t, int64_t>> sorted; // value, count
    for (const auto& [text, c] : counts) sorted.emplace_back(std::stoll(text), c);
    if (sorted.size() == 1) return sorted[0].first;
    int64_t O = 0;
    for (size_t i = 0; i + 1 < sorted.size(); ++i) {
        if (sorted[i].second < sorted[i + 1].second) {
            if (sorted[i + 1].first % 2 == 0) O = sorted[i + 1].first;
        } else if (sorted[i].first % 2 == 0) {
            O = sorted[i].first;
        }
    }
    return O;
}

int64_t Get_AlignmentBase(TScanSession& session, const TTreeData& node, const TAllocMap& map,
                          int64_t startSec) {
    if (node.HddFs == "RAW")
        return session.Scans.Count() > 0 ? Estimate_RawAlignment(session, node.PerSecBytes) : 0;
    if (node.HddFs == "exFAT" || node.HddFs == "FAT32") return map.DataStart;
    if (node.HddFs == "NTFS") return startSec * int64_t(node.PerSecBytes);
    return 0;
}

void Scan_Completion(TScanSession& session, TSource& h, const TTreeData& node, const TAllocMap& map,
                     const TScanParams& p, const TGuardOptions& output) {
    const int64_t O = Get_AlignmentBase(session, node, map, p.StartSec);
    Send_UIMessage(MSG_SHOW_GAUGE2);
    const TAnalysisContext ctx{session,        h,  node, map, p.IntervalScheme, p.InterleaveScheme,
                               p.EndSec * int64_t(node.PerSecBytes), p.RecoveryType, O, p.Widen};
    To_Rebuild(ctx);
    // The scan drops heads shot outside the date window, but a recording whose
    // movie box lies apart from its head takes its date from that box, which
    // the scan records whatever its date. The rebuilt recordings are held to
    // the same window, read in the time standard their dates are shown in.
    if (p.DateFilter)
        session.Rebuilds.Drop_If(
            [&p](const TRebuildResult& r) { return !Check_DateRange(r.CreateTime, p.DateFrom, p.DateTo); });
    const int64_t n = session.Rebuilds.Count();
    if (n == 0) return;
    // The results page is asked for, and filled right here.
    TUiMessage show;
    show.MsgType = MSG_SHOW_RESULTS;
    show.ListedBySender = true;
    Send_UIMessage(show);
    To_View(session, 0, n);
    if (p.SaveResults)
        Result_To_Disk(session, p.ResultPath, node, output,
                       p.ResultNameFree ? TTakenName::NextFree : TTakenName::Refuse, p.SavedResultPath.get());
}

} // namespace qrv

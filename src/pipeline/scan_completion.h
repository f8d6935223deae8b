// The completion stage of a scan: works out the alignment base (where clusters
// begin on the source), runs analysis over the scan results, and when analysis
// produced results, fills the results view and writes the scan-result file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "media/tree_data.h"
#include "platform/source_io.h"
#include "scan/alloc_map.h"
#include "scan/scan_job.h"

namespace qrv {

// What the completion stage calls once analysis produced results. Both are
// empty until the results subsystem installs them; an empty hook does nothing.
struct TCompletionHooks {
    std::function<void(int64_t first, int64_t count)> To_View;
    std::function<void(const std::string& resultPath, const TTreeData& node)> Result_To_Disk;
};
TCompletionHooks& Completion_Hooks();

// Alignment base of a "RAW" source from the offsets of the first ten heads in
// ScanResultList (their remainders modulo 64 sectors); 0 when there is none.
int64_t Estimate_RawAlignment(int64_t perSecBytes);

// Alignment base of the source: the estimate for "RAW" sources with scan
// results, cluster 2 for FAT32 and exFAT, the start of the range for NTFS,
// otherwise 0.
int64_t Get_AlignmentBase(const TTreeData& node, const TAllocMap& map, int64_t startSec);

// The stage itself, run by To_Scan after its block loop.
void Scan_Completion(TSource& h, const TTreeData& node, const TAllocMap& map, const TScanParams& p);

// Makes To_Scan run Scan_Completion as its completion stage.
void Install_ScanCompletion();

} // namespace qrv

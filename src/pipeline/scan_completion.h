// The completion stage of a scan: works out the alignment base (where clusters
// begin on the source), runs analysis over the scan results, and when analysis
// produced results, fills the results view and writes the scan-result file.
#pragma once

#include <cstdint>

#include "media/tree_data.h"
#include "platform/output_guard.h"
#include "platform/source_io.h"
#include "scan/alloc_map.h"
#include "scan/scan_job.h"

namespace qrv {

// Alignment base of a "RAW" source from the offsets of the first ten heads in
// session.Scans (their remainders modulo 64 sectors); 0 when there is none.
int64_t Estimate_RawAlignment(TScanSession& session, int64_t perSecBytes);

// Alignment base of the source: the estimate for "RAW" sources with scan
// results, cluster 2 for FAT32 and exFAT, the start of the range for NTFS,
// otherwise 0.
int64_t Get_AlignmentBase(TScanSession& session, const TTreeData& node, const TAllocMap& map,
                          int64_t startSec);

// The stage itself, run by To_Scan after its block loop (see Run_ScanPipeline):
// analysis, then, when it rebuilt anything, the rows of the results list
// (message 5) and, when p.SaveResults asks for it, the scan-result file at
// p.ResultPath, written under the output rules of output.
void Scan_Completion(TScanSession& session, TSource& h, const TTreeData& node, const TAllocMap& map,
                     const TScanParams& p, const TGuardOptions& output = {});

} // namespace qrv

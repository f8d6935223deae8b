#include "pipeline/scan_pipeline.h"

#include "common/op_state.h"
#include "pipeline/scan_completion.h"
#include "scan/alloc_map.h"

namespace qrv {

void Prepare_ScanRun(TScanSession& session) {
    session.Clear_Records();
    session.Op.Reset_Counters();
    session.Set_SourcePath("");
}

TOutcome Run_ScanPipeline(TScanSession& session, const TScanParams& p, const TGuardOptions& output) {
    return To_Scan(session, p,
                   [&session, &output](TSource& h, const TTreeData& node, const TAllocMap& map,
                                       const TScanParams& params) {
                       Scan_Completion(session, h, node, map, params, output);
                   });
}

} // namespace qrv

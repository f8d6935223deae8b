#include "pipeline/scan_pipeline.h"

#include "common/op_state.h"
#include "pipeline/scan_completion.h"
#include "scan/alloc_map.h"
#include "scan/records.h"
#include "scan/unread_map.h"

namespace qrv {

void Prepare_ScanRun() {
    ScanResultList.Clear();
    RebuildResultList.Clear();
    Op_State().Reset_Counters();
    Op_State().Set_SourcePath("");
    Clear_AllocWindow();
    Scan_UnreadMap().Clear();
}

TOutcome Run_ScanPipeline(const TScanParams& p, const TGuardOptions& output) {
    return To_Scan(p, [&output](TSource& h, const TTreeData& node, const TAllocMap& map, const TScanParams& params) {
        Scan_Completion(h, node, map, params, output);
    });
}

} // namespace qrv

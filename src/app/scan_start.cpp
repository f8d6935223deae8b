#include "app/scan_start.h"

#include "app/main_window.h"
#include "common/op_state.h"
#include "pipeline/scan_completion.h"
#include "results/result_file.h"
#include "results/results_model.h"
#include "scan/alloc_map.h"
#include "scan/records.h"

namespace qrv::app {

bool Start_Scan(TForm1& form, const TScanParams& params) {
    ScanResultList.Clear();
    RebuildResultList.Clear();
    // The rows shown pointed into the lists just emptied.
    form.Clear_Results();
    Op_State().StopFlag = false;
    Op_State().Set_SourcePath("");
    Clear_AllocWindow();
    // After the block loop: analysis, the rows of the results list (message 5)
    // and, when asked, the scan-result file.
    Install_ScanCompletion();
    Completion_Hooks().To_View = [](int64_t first, int64_t count) { To_View(first, first + count); };
    Completion_Hooks().Result_To_Disk = [](const std::string& path, const TTreeData& node) {
        Result_To_Disk(path, node);
    };
    return form.Start_Worker("Scan0000", [params] { To_Scan(params); });
}

} // namespace qrv::app

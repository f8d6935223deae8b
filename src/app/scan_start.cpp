#include "app/scan_start.h"

#include "app/main_window.h"
#include "pipeline/scan_pipeline.h"

namespace qrv::app {

bool Start_Scan(TForm1& form, const TScanParams& params, const TGuardOptions& output) {
    // Another operation still runs: its results stay as they are.
    if (form.Operation_Running()) return false;
    Prepare_ScanRun();
    // The rows shown pointed into the lists just emptied.
    form.Clear_Results();
    return form.Start_Worker("Scan0000", [params, output] { Run_ScanPipeline(params, output); });
}

} // namespace qrv::app

#include "app/scan_start.h"

#include "app/main_window.h"
#include "pipeline/scan_pipeline.h"

namespace qrv::app {

bool Start_Scan(TForm1& form, const TScanParams& params, const TGuardOptions& output) {
    // Another operation still runs: its results stay as they are.
    if (form.Operation_Running()) return false;
    const std::shared_ptr<TScanSession> session = form.Shown_Session();
    Prepare_ScanRun(*session);
    // The rows shown pointed into the lists just emptied.
    form.Clear_Results();
    return form.Start_Worker(
        "Scan0000", [session, params, output] { Run_ScanPipeline(*session, params, output); },
        TWorkerKind::Operation, TForm1::Op_Of(session));
}

} // namespace qrv::app

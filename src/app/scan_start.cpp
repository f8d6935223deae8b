#include "app/scan_start.h"

#include <QMetaObject>

#include "app/main_window.h"
#include "pipeline/scan_pipeline.h"

namespace qrv::app {

bool Start_Scan(TForm1& form, const TScanParams& params, const TGuardOptions& output) {
    // Another operation still runs: its results stay as they are.
    if (form.Operation_Running()) return false;
    // The scan fills a session of its own; the list keeps showing its
    // session (a loaded result file stays listed, previewable and
    // exportable) until the scan lists what it found or ends.
    const auto session = std::make_shared<TScanSession>();
    Prepare_ScanRun(*session);
    TForm1* window = &form;
    if (!form.Start_Worker(
            "Scan0000",
            [window, session, params, output] {
                Run_ScanPipeline(*session, params, output);
                QMetaObject::invokeMethod(
                    window, [window, session] { window->End_Scan(session); }, Qt::QueuedConnection);
            },
            TWorkerKind::Operation, TForm1::Op_Of(session)))
        return false;
    form.Begin_Scan(session);
    return true;
}

} // namespace qrv::app

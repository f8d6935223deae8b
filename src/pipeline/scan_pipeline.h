// The scan pipeline: the one way every front end runs a scan. The block loop
// records heads and movie boxes, the completion stage works out the alignment
// base and analyses them, the rebuilt recordings become rows of the results
// list (message 5), and the scan-result file is written when the parameters
// ask for it. qrv-cli and the window call the same two functions.
#pragma once

#include "platform/output_guard.h"
#include "scan/scan_job.h"

namespace qrv {

// Forgets the previous scan before a new one starts: its records, the
// operation's counters and stop flag, its source path and the allocation-map
// window. Called on the front end's thread before the worker starts, so that
// nothing still shows rows pointing into the emptied lists.
void Prepare_ScanRun();

// Runs the whole scan on the calling (worker) thread and reports only through
// the message channel and the process-wide lists and state. The result file,
// when p.SaveResults asks for one, is written under the output rules of output.
// The outcome is the scan's (see To_Scan).
TOutcome Run_ScanPipeline(const TScanParams& p, const TGuardOptions& output = {});

} // namespace qrv

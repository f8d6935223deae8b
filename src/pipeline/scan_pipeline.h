// The scan pipeline: the one way every front end runs a scan. The block loop
// records heads and movie boxes, the completion stage works out the alignment
// base and analyses them, the rebuilt recordings become rows of the results
// list (message 5), and the scan-result file is written when the parameters
// ask for it. qrv-cli and the window call the same two functions.
#pragma once

#include "platform/output_guard.h"
#include "scan/scan_job.h"

namespace qrv {

// Makes session ready for a new scan: empties its records and unread map,
// clears the operation's counters and stop flag and its source path. Called on
// the front end's thread before the worker starts.
void Prepare_ScanRun(TScanSession& session);

// Runs the whole scan into session on the calling (worker) thread and reports
// only through the message channel and the session. The result file,
// when p.SaveResults asks for one, is written under the output rules of output.
// The outcome is the scan's (see To_Scan).
TOutcome Run_ScanPipeline(TScanSession& session, const TScanParams& p, const TGuardOptions& output = {});

} // namespace qrv

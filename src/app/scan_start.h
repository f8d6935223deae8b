// Starting a scan from the window. This is the one place the window starts
// one: the scan settings capture the parameters, this runs the scan on a
// worker the way every front end runs it (scan, then analysis, the results
// rows and the scan-result file).
#pragma once

#include "pipeline/scan_pipeline.h"

namespace qrv::app {

class TForm1;

// Clears the previous scan's records and state and starts the scan on an
// operation worker. False when another operation still runs.
// output: the guard options of the scan-result file's folder.
bool Start_Scan(TForm1& form, const TScanParams& params, const TGuardOptions& output = {});

} // namespace qrv::app

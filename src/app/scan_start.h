// Starting a scan from the window. This is the one place the window starts
// one: the scan settings capture the parameters, this runs the scan on a
// worker the way every front end runs it (scan, then analysis, the results
// rows and the scan-result file).
#pragma once

#include "pipeline/scan_pipeline.h"

namespace qrv::app {

class TForm1;

// Starts the scan in a new session on an operation worker; the list keeps
// showing its session until the scan lists its results or ends. False (and
// nothing changed) when another operation still runs.
// output: the guard options of the scan-result file's folder.
bool Start_Scan(TForm1& form, const TScanParams& params, const TGuardOptions& output = {});

} // namespace qrv::app

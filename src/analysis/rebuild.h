// Reassembly of every movie header found by a scan, and the rating of each
// rebuilt recording with a level from 0 (very good) to 3 (poor).
#pragma once

#include <cstdint>

#include "analysis/analysis_context.h"
#include "scan/records.h"

namespace qrv {

// Runs header analysis for every movie header in ctx.Session.Scans, then
// rates every rebuild result (session.Rebuilds).
// With ctx.Widen, a header whose rebuild under the chosen window scheme is
// incomplete (rated above level 0, or with samples left to zero fill) is
// analysed a second time over the whole medium on both sides of the header;
// the result with more samples in place is kept, and a log line says when the
// wider one was. A complete result is never replaced.
void To_Rebuild(const TAnalysisContext& ctx);

// Fills LessByte, TrueFileLen, MdatLenx, HeadMdatLenx and Leavelx of a result.
void Get_FileQuality(TRebuildResult& r);

// Percentage of found to expected bytes as the level is judged on: the
// quotient rounded to two decimals (halves to even, in extended precision),
// times 100 as a double, truncated. -1 when expected is not positive.
int64_t Quality_Percent(int64_t found, int64_t expected);
// Level of a percentage: 0 for 80..100, 1 for 60..79, 2 for 30..59, else 3.
uint8_t Quality_Level(int64_t percent);

} // namespace qrv

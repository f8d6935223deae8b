// Values the scan settings derive from the chosen source before a scan: the
// sector count the dialog shows, the default sector range, the name of the
// scan-result file, and the checks of the typed range.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "common/op_state.h"
#include "media/tree_data.h"

namespace qrv {

// The settings of one scan, as the scan settings dialog or qrv-cli's options
// chose them. The scan's parameters carry them; the session keeps them while
// the scan, its analysis and its results run (and parsing reads them there).
struct TScanSettings {
    int TimeStandard = TIMESTD_UTC;  // shooting times converted in UTC or China Standard Time
    bool DateFilter = false;         // when on, heads shot outside [DateFrom, DateTo] are not recorded
    double DateFrom = 0, DateTo = 0; // date-time values (days since 1899-12-30, time of day as fraction)
    int RecoveryType = 0;            // 0 the camera type, 1 the generic MP4/MOV type
    int InterleaveScheme = 0;
    int IntervalScheme = 0;
    // A header whose rebuild under the chosen window comes back incomplete is
    // analysed once more over the whole medium, both ways (see To_Rebuild).
    bool Widen = true;
};

// Sectors of the source as the scan counts them: TotalSpace div PerSecBytes,
// plus one for a partial last sector (1,000,000,001 bytes of 512-byte sectors
// are 1,953,126 sectors). 512-byte sectors when PerSecBytes is not above 0.
int64_t Scan_TotalSectors(const TTreeData& node);

// The default range [Start, End): the whole source; a region starts at its
// first sector RegionSec, since its sectors are numbered on the device or file
// it lies in.
struct TSectorRange {
    int64_t Start = 0;
    int64_t End = 0;
};
TSectorRange Default_ScanRange(const TTreeData& node);

// Name of the scan-result file for a source at a local time: HddModel + "-" +
// yyyymmdd + the long time, cleaned of characters a file name cannot hold, +
// ".QRV" (a volume "/dev/sdb1" at 09:05:07 on 1 March 2024 ->
// "devsdb1-20240301090507.QRV").
// The node as the names of its output files see it: an image file or a device
// by its base name ("card.img", "sdb1"), not its whole path with the slashes
// dropped. The window and qrv-cli name result files and images after it.
TTreeData Named_ByBase(TTreeData node);

std::string Result_FileName(const TTreeData& node, const std::tm& localTime);
std::string Result_FileName(const TTreeData& node, std::time_t now);

// Refusal of a typed range (translated message), or "" when it may be scanned.
std::string Check_ScanRange(int64_t start, int64_t end);

} // namespace qrv

// The scan job: reads a sector range of one source block by block, lets the
// block classifier record every recording head and movie box, then hands over
// to the completion stage (analysis, results view, result file).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/outcome.h"
#include "media/tree_data.h"
#include "platform/source_io.h"
#include "scan/alloc_map.h"
#include "scan/feature_index.h"
#include "scan/scan_session.h"
#include "scan/scan_settings.h"

namespace qrv {

// Parameters captured from the scan settings when the scan starts: the
// settings themselves (TScanSettings) and what the scan reads and writes.
struct TScanParams : TScanSettings {
    TTreeData Node;       // the source to scan
    int Mode = 0;         // 0 all space, 1 free space only, 2 allocated space only
    int64_t StartSec = 0; // first sector, absolute on the opened device or file
    int64_t EndSec = 0;   // sector at which the range ends (exclusive)
    bool SaveResults = false;
    std::string ResultPath;
    // ResultPath was made up by the program (named after the source and the
    // time): when taken, the next free name is used. Otherwise a taken
    // ResultPath is refused, never replaced.
    bool ResultNameFree = false;
    // When set, receives the name the results were saved under (left empty
    // when no file was saved).
    std::shared_ptr<std::string> SavedResultPath;
    // The frame features met by the block loop are indexed for the analysis
    // (feature_index.h), which then reads no window of the medium again.
    bool FeatureIndex = true;
    int64_t FeatureBudget = kDefaultFeatureBudget; // bytes of index entries kept in memory
    std::string FeatureSpillFolder;                // beyond the budget; empty: the temporary folder
};

// The completion stage, run after the block loop (normally or after a stop)
// with the scan's open source, its node, the volume's allocation map and the
// parameters. The scan pipeline passes analysis and results here.
using TScanCompletion =
    std::function<void(TSource& h, const TTreeData& node, const TAllocMap& map, const TScanParams& p)>;

// Runs a whole scan on the calling (worker) thread into session, then its
// completion stage (none when empty). Reports only through the message channel
// and the session; the outcome says whether the source could not
// be opened (IoError), was refused (Corrupt), broke off with an error (IoError
// at the block's offset), was stopped (Cancelled at the first block not read)
// or was scanned whole (Ok). A failed scan logs its error and closes with
// "扫描未能完成!"; a stopped one (in the block loop or in the analysis) with
// "扫描已停止!" and the bytes covered. Sectors that cannot be read are read
// around (only they are lost), each unreadable stretch is logged once and
// kept in session.Unread, and the closing line counts them. A source whose
// size changes during the block loop fails the scan.
TOutcome To_Scan(TScanSession& session, const TScanParams& p, const TScanCompletion& completion = {});

// Where the block loop starts and what it examines, worked out from the node,
// the range and the allocation map.
struct TScanGeometry {
    int64_t StartOffset = 0; // byte offset of the first block
    int64_t Unit = 0;        // examination unit in bytes (cluster or sector)
    int64_t WalkStep = 0;    // head-walk step (cluster, or 32,768)
    int Mode = 0;            // the mode after the map checks (0 when the map cannot be used)
};
// map is the loaded (or not loaded) description for FAT32, exFAT and NTFS
// sources; ignored for other file systems.
TScanGeometry Get_ScanGeometry(const TTreeData& node, int mode, int64_t startSec, int64_t endSec,
                               const TAllocMap& map, int64_t V);

// Empty when the file-system description of a FAT32, exFAT or NTFS node
// (its bytes per sector) and its loaded allocation map (where the map and the
// data area lie) fit a medium of mediumBytes bytes (-1: unknown, not
// checked); else why not. The scan then treats the volume as RAW.
std::string Check_FsDescription(const TTreeData& node, const TAllocMap& map, int64_t mediumBytes);

// Empty when the node's geometry can be scanned, else the description of the
// error log line that refuses it.
std::string Check_ScanGeometry(const TTreeData& node);

} // namespace qrv

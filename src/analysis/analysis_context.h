// What every step of the analysis of one scan works with: the session whose
// scan records it reads, the medium, its file system and allocation, and the
// settings the analysis was started with. Built once by the caller of
// To_Rebuild and handed down by const reference.
#pragma once

#include <cstdint>

#include "media/tree_data.h"
#include "platform/source_io.h"
#include "scan/scan_session.h"

namespace qrv {

struct TAllocMap;

struct TAnalysisContext {
    TScanSession& Session;
    TSource& Source;         // the medium, read-only
    const TTreeData& Node;   // its file system
    const TAllocMap& Map;    // its allocation
    int Scheme = 0;          // window scheme 0..7 of the frame-start search
    int Interleave = 0;      // gap scheme of the seams (Link_Fragment)
    int64_t ScanEnd = 0;     // end of the scanned range in bytes
    int RecoveryType = 0;    // 0: the camera's recordings, 1: generic
    int64_t AlignBase = 0;   // byte offset from which clusters are counted
    bool Widen = true;       // analyse incomplete results again over the whole medium
};

} // namespace qrv

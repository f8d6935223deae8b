// What the harnesses that treat their input as a medium share: a raw image
// node with 512-byte sectors, and the block classifier's context over it as
// the scan sets it up for a raw source.
#pragma once

#include <cstdint>

#include "platform/source_io.h"
#include "scan/classifier.h"
#include "scan/records.h"
#include "scan/scan_session.h"

namespace qrv::fuzz {

inline TTreeData Raw_Node() {
    TTreeData node;
    node.Hddtype = HDD_IMAGE;
    node.PerSecBytes = 512;
    node.HddFs = "RAW";
    return node;
}

inline TClassifyContext Raw_Context(TScanSession& session, TSource& src, const TTreeData& node,
                                    int64_t rangeEnd, int recoveryType = 0) {
    TClassifyContext ctx;
    ctx.Handle = &src;
    ctx.Session = &session;
    ctx.Node = &node;
    ctx.Unit = 512;
    ctx.WalkStep = 32768;
    ctx.RangeEnd = rangeEnd;
    ctx.RecoveryType = recoveryType;
    return ctx;
}

} // namespace qrv::fuzz

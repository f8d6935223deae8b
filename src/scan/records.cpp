#include "scan/records.h"

namespace qrv {

TRecordList<TScanResult> ScanResultList;
TRecordList<TRebuildResult> RebuildResultList;
TRecordList<TFrameAnchor> FrameAnchorList;

} // namespace qrv

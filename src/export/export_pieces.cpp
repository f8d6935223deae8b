#include "analysis/output.h"
#include "export/export_job.h"

namespace qrv {

// The output constructor writes each part straight from the source.
TPieceWriter Default_PieceWriter(TScanSession& session) {
    return [&session](int64_t result, int64_t entry, TSource& src, bool head, TOutputFile& out) {
        return Build_Piece(session.Rebuilds.Get(result), int32_t(entry), src, head, out);
    };
}

} // namespace qrv

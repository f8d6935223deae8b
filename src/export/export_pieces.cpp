#include "export/export_job.h"

namespace qrv {

// Until the output constructor is part of the core, the default writer refuses.
TPieceWriter Default_PieceWriter() {
    return [](int64_t, int64_t, TSource&, bool, TOutputFile&) { return false; };
}

} // namespace qrv

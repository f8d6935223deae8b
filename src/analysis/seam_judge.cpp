#include "analysis/seam_judge.h"

namespace qrv {

TSampleJudge Make_SampleJudge(TSource&, int64_t, int64_t) {
    return {};
}

} // namespace qrv

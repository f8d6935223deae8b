#include "common/op_state.h"

namespace qrv {

void TProgressRecord::Start(int64_t total, std::string label) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        texts_.Label = std::move(label);
        texts_.Status2.clear();
        texts_.Status3.clear();
        ++texts_.Sets2;
        ++texts_.Sets3;
    }
    Total1 = total;
    Total2 = 0;
    Active = true;
    ++Starts;
    ++Version;
}

void TProgressRecord::End() {
    Active = false;
    ++Version;
}

void TProgressRecord::Set_Status(const std::string* status2, const std::string* status3) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (status2) texts_.Status2 = *status2, ++texts_.Sets2;
        if (status3) texts_.Status3 = *status3, ++texts_.Sets3;
    }
    ++Version;
}

void TProgressRecord::Set_SecondTotal(int64_t total) {
    Total2 = total;
    ++Version;
}

TProgressTexts TProgressRecord::Texts() const {
    std::lock_guard<std::mutex> lk(mu_);
    return texts_;
}

void TOpState::Set_StartTime(std::chrono::system_clock::time_point t) {
    std::lock_guard<std::mutex> lk(mu_);
    start_ = t;
}
std::chrono::system_clock::time_point TOpState::StartTime() const {
    std::lock_guard<std::mutex> lk(mu_);
    return start_;
}
void TOpState::Mark_Start() { Set_StartTime(std::chrono::system_clock::now()); }
int64_t TOpState::Elapsed_Seconds(std::chrono::system_clock::time_point now) const {
    auto d = std::chrono::duration_cast<std::chrono::seconds>(now - StartTime()).count();
    return d < 0 ? 0 : int64_t(d);
}
void TOpState::Reset_Counters() {
    StopFlag = false;
    Progress1 = 0;
    Progress2 = 0;
    WrittenBytes = 0;
    JudgedBlocks = 0;
    BytesDone = 0;
    BytesTotal = 0;
}

namespace {
// The operation the thread reports progress for (see TOpBinding).
thread_local TOpState* t_boundOp = nullptr;
} // namespace

TOpBinding::TOpBinding(TOpState& op) : previous_(t_boundOp) {
    t_boundOp = &op;
}
TOpBinding::~TOpBinding() {
    t_boundOp = previous_;
}
TOpState* Bound_OpState() {
    return t_boundOp;
}

} // namespace qrv

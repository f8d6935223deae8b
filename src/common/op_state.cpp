#include "common/op_state.h"

namespace qrv {

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
void TOpState::Set_SourcePath(std::string path) {
    std::lock_guard<std::mutex> lk(mu_);
    sourcePath_ = std::move(path);
}
std::string TOpState::SourcePath() const {
    std::lock_guard<std::mutex> lk(mu_);
    return sourcePath_;
}
void TOpState::Set_DateWindow(double start, double end) {
    std::lock_guard<std::mutex> lk(mu_);
    dateStart_ = start;
    dateEnd_ = end;
}
double TOpState::DateWindowStart() const {
    std::lock_guard<std::mutex> lk(mu_);
    return dateStart_;
}
double TOpState::DateWindowEnd() const {
    std::lock_guard<std::mutex> lk(mu_);
    return dateEnd_;
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

TOpState& Op_State() {
    static TOpState state;
    return state;
}

} // namespace qrv

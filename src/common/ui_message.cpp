#include "common/ui_message.h"

namespace qrv {

namespace {
std::mutex g_sinkMu;
std::shared_ptr<TUiSink> g_sink;
} // namespace

std::shared_ptr<TUiSink> Set_UISink(std::shared_ptr<TUiSink> sink) {
    std::lock_guard<std::mutex> lk(g_sinkMu);
    std::swap(g_sink, sink);
    return sink;
}

std::shared_ptr<TUiSink> Get_UISink() {
    std::lock_guard<std::mutex> lk(g_sinkMu);
    return g_sink;
}

namespace {
thread_local bool t_quietProgress = false;
} // namespace

TQuietProgress::TQuietProgress() : was_(t_quietProgress) { t_quietProgress = true; }
TQuietProgress::~TQuietProgress() { t_quietProgress = was_; }

void Send_UIMessage(const TUiMessage& msg) {
    if (t_quietProgress) {
        switch (msg.MsgType) {
        case MSG_PROGRESS_STATUS:
        case MSG_STATUS2:
        case MSG_SHOW_GAUGE2:
        case MSG_GAUGE2_RANGE:
        case MSG_STATUS3:
        case MSG_STATUS2_FROM_P3:
            return;
        default:
            break;
        }
    }
    auto sink = Get_UISink(); // keep the sink alive for the call, without holding the lock
    if (sink) sink->Handle_UIMessage(msg);
}

void Send_UIMessage(int type, std::initializer_list<std::string> texts) {
    TUiMessage m;
    m.MsgType = type;
    size_t i = 0;
    for (const auto& t : texts) {
        if (i >= m.P.size()) break;
        m.P[i++] = t;
    }
    Send_UIMessage(m);
}

void TRecordingSink::Handle_UIMessage(const TUiMessage& msg) {
    std::lock_guard<std::mutex> lk(mu_);
    messages_.push_back(msg);
}

std::vector<TUiMessage> TRecordingSink::Messages() const {
    std::lock_guard<std::mutex> lk(mu_);
    return messages_;
}

std::vector<TUiMessage> TRecordingSink::OfType(int type) const {
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<TUiMessage> out;
    for (const auto& m : messages_)
        if (m.MsgType == type) out.push_back(m);
    return out;
}

void TRecordingSink::Clear() {
    std::lock_guard<std::mutex> lk(mu_);
    messages_.clear();
}

} // namespace qrv

#include "common/ui_message.h"

#include <charconv>

#include "common/op_state.h"

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

bool Is_ProgressOnly(int type) {
    switch (type) {
    case MSG_PROGRESS_STATUS:
    case MSG_STATUS2:
    case MSG_GAUGE2_RANGE:
    case MSG_STATUS3:
    case MSG_STATUS2_FROM_P3:
    case 11: // older numbers of the panel-3 status
    case 18:
        return true;
    default:
        return false;
    }
}

namespace {

// P1 as a number when it is a plain decimal number, else otherwise.
int64_t Text_Number(const std::string& text, int64_t otherwise) {
    int64_t v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    return (ec == std::errc() && p == text.data() + text.size() && !text.empty()) ? v : otherwise;
}

} // namespace

TUiMessage Progress_StartEvent(int64_t total, const std::string& label, const std::string& p3) {
    TUiMessage m;
    m.MsgType = MSG_PROGRESS_START;
    m.P[0] = std::to_string(total);
    m.P[1] = label;
    m.P[2] = p3;
    m.Number = total;
    return m;
}

TUiMessage Gauge2_RangeEvent(int64_t total) {
    TUiMessage m;
    m.MsgType = MSG_GAUGE2_RANGE;
    m.P[0] = std::to_string(total);
    m.Number = total;
    return m;
}

TUiMessage Select_RowEvent(int64_t row) {
    TUiMessage m;
    m.MsgType = MSG_SELECT_ROW;
    m.P[0] = std::to_string(row);
    m.Number = row;
    return m;
}

TUiMessage Log_Event(TSeverity severity, const std::string& kind, const std::string& dateTime,
                     const std::string& description) {
    TUiMessage m;
    m.MsgType = MSG_LOG;
    m.P[0] = kind;
    m.P[1] = dateTime;
    m.P[2] = description;
    m.Severity = severity;
    return m;
}

void Publish_Progress(const TUiMessage& msg) {
    TOpState* op = Bound_OpState();
    if (!op) return;
    TProgressRecord& rec = op->Record;
    const auto& P = msg.P;
    switch (msg.MsgType) {
    case MSG_PROGRESS_START:
        rec.Start(msg.Number, P[1]);
        break;
    case MSG_PROGRESS_STATUS:
        rec.Set_Status(&P[1], &P[2]);
        break;
    case MSG_STATUS2:
        rec.Set_Status(&P[1], nullptr);
        break;
    case 11:
    case MSG_STATUS3:
    case 18:
        rec.Set_Status(nullptr, &P[2]);
        break;
    case MSG_STATUS2_FROM_P3:
        rec.Set_Status(&P[2], nullptr);
        break;
    case MSG_GAUGE2_RANGE:
        rec.Set_SecondTotal(msg.Number);
        break;
    case MSG_PROGRESS_END:
        rec.End();
        break;
    default:
        break;
    }
}

namespace {

void Deliver(const TUiMessage& msg) {
    if (t_quietProgress && (Is_ProgressOnly(msg.MsgType) || msg.MsgType == MSG_SHOW_GAUGE2)) return;
    Publish_Progress(msg);
    auto sink = Get_UISink(); // keep the sink alive for the call, without holding the lock
    if (sink) sink->Handle_UIMessage(msg);
}

} // namespace

void Send_UIMessage(const TUiMessage& given) {
    const TUiMessage* msg = &given;
    TUiMessage filled;
    if (given.Number < 0 && (given.MsgType == MSG_PROGRESS_START || given.MsgType == MSG_GAUGE2_RANGE ||
                             given.MsgType == MSG_SELECT_ROW)) {
        // Sent with texts only: the typed number follows from P1; a text that
        // is no number is an empty total, or no row to select.
        filled = given;
        filled.Number = Text_Number(given.P[0], given.MsgType == MSG_SELECT_ROW ? -1 : 0);
        msg = &filled;
    }
    Deliver(*msg);
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

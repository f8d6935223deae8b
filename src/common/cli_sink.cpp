#include "common/cli_sink.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

#include "common/op_state.h"
#include "common/text_encoding.h"

namespace qrv {

namespace {

int64_t Parse_Total(const std::string& text) {
    int64_t v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    return (ec == std::errc() && p == text.data() + text.size() && v > 0) ? v : 0;
}

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

} // namespace

TCliSink::TCliSink(TCliSinkOptions options) : opt_(options) {
    if (opt_.Out == nullptr) opt_.Out = stderr;
    terminal_ = opt_.Terminal < 0 ? ::isatty(::fileno(opt_.Out)) == 1 : opt_.Terminal > 0;
    width_ = opt_.Width;
    if (width_ <= 0) {
        struct winsize ws{};
        width_ = (::ioctl(::fileno(opt_.Out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) ? ws.ws_col : 80;
    }
}

TCliSink::~TCliSink() {
    std::lock_guard<std::mutex> lk(mu_);
    Clear_Bar();
}

std::string TCliSink::Log_LineText(const TUiMessage& msg) { return msg.P[0] + "  " + msg.P[1] + "  " + msg.P[2]; }

std::string TCliSink::Bar_Text(int64_t position, int64_t total, const std::string& label, const std::string& status2,
                               const std::string& status3, int width) {
    constexpr int kGauge = 20;
    int64_t pos = std::clamp<int64_t>(position, 0, std::max<int64_t>(total, 0));
    int percent = total > 0 ? int(pos * 100 / total) : 0;
    int filled = total > 0 ? int(pos * kGauge / total) : 0;
    std::string line = "[" + std::string(size_t(filled), '#') + std::string(size_t(kGauge - filled), '.') + "] ";
    std::string pct = std::to_string(percent) + "%";
    line += std::string(pct.size() < 4 ? 4 - pct.size() : 0, ' ') + pct;
    line += "  " + label + std::to_string(total);
    if (!status2.empty()) line += "  " + status2;
    if (!status3.empty()) line += "  " + status3;
    return Cut_ToColumns(line, std::max(width - 1, 0));
}

void TCliSink::Clear_Bar() {
    if (!barShown_) return;
    std::fputs("\r\033[K", opt_.Out);
    std::fflush(opt_.Out);
    barShown_ = false;
}

void TCliSink::Draw_Bar(bool force) {
    if (!terminal_ || !active_) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && barShown_ && now - lastDraw_ < kRedrawInterval) return;
    lastDraw_ = now;
    std::string line =
        Bar_Text(opt_.Op ? opt_.Op->Progress1.load() : 0, total_, label_, status2_, status3_, width_);
    if (total2_ > 0) {
        int64_t p2 = std::clamp<int64_t>(opt_.Op ? opt_.Op->Progress2.load() : 0, 0, total2_);
        line = Cut_ToColumns(line + "  (" + std::to_string(p2 * 100 / total2_) + "%)", std::max(width_ - 1, 0));
    }
    std::fputs("\r\033[K", opt_.Out);
    std::fputs(line.c_str(), opt_.Out);
    std::fflush(opt_.Out);
    barShown_ = true;
}

void TCliSink::Handle_UIMessage(const TUiMessage& msg) {
    std::lock_guard<std::mutex> lk(mu_);
    switch (msg.MsgType) {
    case MSG_LOG:
        if (!opt_.ShowLog) break;
        Clear_Bar();
        std::fputs((Log_LineText(msg) + "\n").c_str(), opt_.Out);
        std::fflush(opt_.Out);
        Draw_Bar(true);
        break;
    case MSG_PROGRESS_START:
        total_ = Parse_Total(msg.P[0]);
        total2_ = 0;
        label_ = msg.P[1];
        status2_.clear();
        status3_.clear();
        active_ = true;
        Draw_Bar(true);
        break;
    case MSG_PROGRESS_STATUS:
        status2_ = msg.P[1];
        status3_ = msg.P[2];
        Draw_Bar(false);
        break;
    case MSG_STATUS2:
        status2_ = msg.P[1];
        Draw_Bar(false);
        break;
    case MSG_STATUS3:
        status3_ = msg.P[2];
        Draw_Bar(false);
        break;
    case MSG_STATUS2_FROM_P3:
        status2_ = msg.P[2];
        Draw_Bar(false);
        break;
    case MSG_GAUGE2_RANGE:
        total2_ = Parse_Total(msg.P[0]);
        Draw_Bar(false);
        break;
    case MSG_PROGRESS_END:
        Clear_Bar();
        active_ = false;
        break;
    case MSG_ADD_ROW:
        if (opt_.CollectRows) rows_.push_back(msg);
        break;
    default:
        break;
    }
}

std::vector<TUiMessage> TCliSink::Rows() const {
    std::lock_guard<std::mutex> lk(mu_);
    return rows_;
}

} // namespace qrv

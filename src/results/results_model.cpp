#include "results/results_model.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/language.h"
#include "common/op_state.h"
#include "analysis/output.h"
#include "common/text_format.h"
#include "scan/records.h"

namespace qrv {

const std::array<const char*, 7> kResultColumns = {"编号",     "级别",     "摄像机型号",  "拍摄日期",
                                                   "拍摄时长", "文件长度", "文件实际长度"};

namespace {

// The leading decimal number of a text ("10秒", "1.50 GB", "7Byte"); -1 when
// there is none. Used for rows whose result is not behind the list.
double Leading_Number(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if ((c >= '0' && c <= '9') || ((c == '.' || c == ',') && !digits.empty()))
            digits += c == ',' ? '.' : c;
        else
            break;
    }
    if (digits.empty()) return -1;
    return std::strtod(digits.c_str(), nullptr);
}

// Bytes of a size text as Size_Text writes it.
int64_t Size_FromText(const std::string& text) {
    const double v = Leading_Number(text);
    if (v < 0) return -1;
    double unit = 1;
    if (text.find("GB") != std::string::npos)
        unit = 1024.0 * 1024 * 1024;
    else if (text.find("MB") != std::string::npos)
        unit = 1024.0 * 1024;
    else if (text.find("KB") != std::string::npos)
        unit = 1024.0;
    return int64_t(std::llround(v * unit));
}

} // namespace

std::optional<double> Sort_Number(const TResultRow& row, int column) {
    switch (column - 1) {
    case COL_DURATION:
        return row.Seconds;
    case COL_LENGTH:
        return double(row.LengthBytes);
    case COL_REAL:
        return double(row.RealBytes);
    default:
        return std::nullopt;
    }
}

int Level_Icon(const std::string& level) {
    if (level == "1") return 10;
    if (level == "2") return 11;
    if (level == "3") return 12;
    return 9;
}

int Compare_TextNoCase(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = uint8_t(a[i]), y = uint8_t(b[i]);
        if (x >= 'a' && x <= 'z') x = uint8_t(x - 32);
        if (y >= 'a' && y <= 'z') y = uint8_t(y - 32);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// ---------------------------------------------------------------- model

bool TResultsModel::Apply_Message(const TUiMessage& m) {
    if (m.MsgType != MSG_ADD_ROW) return false;
    TResultRow r;
    r.Caption = m.P[0];
    r.Sub = {m.P[1], m.P[6], m.P[2], m.P[3], m.P[4], m.P[7], ""};
    r.ResultIndex = m.Number;
    r.ImageIndex = Level_Icon(m.P[1]);
    r.Seconds = Leading_Number(r.Sub[COL_DURATION]);
    r.LengthBytes = Size_FromText(r.Sub[COL_LENGTH]);
    r.RealBytes = Size_FromText(r.Sub[COL_REAL]);
    const std::shared_ptr<TScanSession> session = Session();
    if (const int64_t idx = r.ResultIndex; session && idx >= 0 && idx < session->Rebuilds.Count()) {
        const TRebuildResult& result = session->Rebuilds.Get(idx);
        r.Exportable = Has_MediaData(result);
        // The exact lengths, where the text rounds them (when the text is the result's).
        if (Size_Text(result.MdatLenx) == r.Sub[COL_LENGTH]) r.LengthBytes = result.MdatLenx;
        if (Size_Text(result.TrueFileLen) == r.Sub[COL_REAL]) r.RealBytes = result.TrueFileLen;
    }
    std::lock_guard<std::mutex> lk(mu_);
    rows_.push_back(std::move(r));
    return true;
}

void TResultsModel::Clear() {
    std::lock_guard<std::mutex> lk(mu_);
    rows_.clear();
}

int64_t TResultsModel::Count() const {
    std::lock_guard<std::mutex> lk(mu_);
    return int64_t(rows_.size());
}

std::vector<TResultRow> TResultsModel::Rows() const {
    std::lock_guard<std::mutex> lk(mu_);
    return rows_;
}

TResultRow TResultsModel::Row(int64_t i) const {
    std::lock_guard<std::mutex> lk(mu_);
    if (i < 0 || i >= int64_t(rows_.size())) return {};
    return rows_[size_t(i)];
}

bool TResultsModel::Checked(int64_t i) const {
    std::lock_guard<std::mutex> lk(mu_);
    return i >= 0 && i < int64_t(rows_.size()) && rows_[size_t(i)].Checked;
}

void TResultsModel::Set_Checked(int64_t i, bool checked) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (i < 0 || i >= int64_t(rows_.size()) || rows_[size_t(i)].Checked == checked) return;
        if (checked && !rows_[size_t(i)].Exportable) return;
        rows_[size_t(i)].Checked = checked;
    }
    Checks_Changed();
}

void TResultsModel::Set_Decode(int64_t i, int64_t errors, double firstErrorSeconds) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (i < 0 || i >= int64_t(rows_.size())) return;
        rows_[size_t(i)].DecodeErrors = errors;
        rows_[size_t(i)].FirstErrorSeconds = firstErrorSeconds;
    }
    Checks_Changed();
}

std::string Decode_Verdict(const TResultRow& row) {
    if (row.DecodeErrors < 0) return "";
    if (row.DecodeErrors == 0) return Tr("解码检查:无错误");
    std::string text = Tr("解码检查:有错误的样本数:") + std::to_string(row.DecodeErrors);
    if (row.FirstErrorSeconds >= 0) {
        const int64_t s = int64_t(row.FirstErrorSeconds);
        char mmss[32];
        std::snprintf(mmss, sizeof mmss, "%02lld:%02lld", (long long)(s / 60), (long long)(s % 60));
        text += ", " + Tr("第一个错误位于") + ":" + mmss;
    }
    return text;
}

void TResultsModel::Check_All() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        for (auto& r : rows_)
            r.Checked = r.Exportable;
    }
    Checks_Changed();
}

void TResultsModel::Invert_Checks() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        for (auto& r : rows_)
            r.Checked = !r.Checked && r.Exportable;
    }
    Checks_Changed();
}

void TResultsModel::Clear_Checks() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        for (auto& r : rows_)
            r.Checked = false;
    }
    Checks_Changed();
}

void TResultsModel::Set_CheckObserver(std::function<void()> observer) {
    auto held = observer ? std::make_shared<const std::function<void()>>(std::move(observer)) : nullptr;
    std::lock_guard<std::mutex> lk(mu_);
    observer_ = std::move(held);
}

void TResultsModel::Checks_Changed() const {
    std::shared_ptr<const std::function<void()>> observer;
    {
        std::lock_guard<std::mutex> lk(mu_);
        observer = observer_;
    }
    if (observer) (*observer)();
}

std::string TResultsModel::Selection_Totals() const {
    int64_t n = 0, sum = 0;
    {
        std::lock_guard<std::mutex> lk(mu_);
        const int64_t count = session_ ? session_->Rebuilds.Count() : 0;
        for (const auto& r : rows_) {
            if (!r.Checked) continue;
            ++n;
            int64_t idx = r.ResultIndex;
            if (idx >= 0 && idx < count) sum += session_->Rebuilds.Get(idx).TrueFileLen;
        }
    }
    if (n == 0) return {};
    return Tr("选中数量:") + std::to_string(n) + " " + Tr("选中容量:") + Size_Text(sum);
}

void TResultsModel::Sort_ByColumn(int column) {
    std::lock_guard<std::mutex> lk(mu_);
    auto key = [column](const TResultRow& r) -> const std::string* {
        if (column == 0) return &r.Caption;
        if (column >= 1 && column <= int(r.Sub.size())) return &r.Sub[size_t(column - 1)];
        return nullptr; // no such column: every comparison is equal
    };
    const bool ascending = sortDirection_;
    std::stable_sort(rows_.begin(), rows_.end(), [&](const TResultRow& a, const TResultRow& b) {
        if (const auto na = Sort_Number(a, column), nb = Sort_Number(b, column); na && nb) {
            if (*na == *nb) return false;
            return ascending ? *na < *nb : *na > *nb;
        }
        const std::string *ka = key(a), *kb = key(b);
        if (!ka || !kb) return false;
        int c = Compare_TextNoCase(*ka, *kb);
        return ascending ? c < 0 : c > 0;
    });
    sortDirection_ = !sortDirection_;
}

bool TResultsModel::Sort_Direction() const {
    std::lock_guard<std::mutex> lk(mu_);
    return sortDirection_;
}

void TResultsModel::Set_Session(std::shared_ptr<TScanSession> session) {
    std::lock_guard<std::mutex> lk(mu_);
    session_ = std::move(session);
}

std::shared_ptr<TScanSession> TResultsModel::Session() const {
    std::lock_guard<std::mutex> lk(mu_);
    return session_;
}

void TResultsSink::Handle_UIMessage(const TUiMessage& msg) {
    if (model_) model_->Apply_Message(msg);
    if (next_) next_->Handle_UIMessage(msg);
}

// ---------------------------------------------------------------- To_View

namespace {

bool Worth_Listing(const TRebuildResult& r) {
    if (r.Fragmenum == 1) return false;
    for (const auto& f : r.FragmenArray)
        if (!f.ChongHeFlag && (f.FragmenType == 1 || f.FragmenType == 3)) return true;
    return false;
}

} // namespace

int64_t To_View(TScanSession& session, int64_t first, int64_t last) {
    auto& st = session.Op;
    const TOpBinding reporting(st);
    const int64_t count = session.Rebuilds.Count();
    Send_UIMessage(MSG_PROGRESS_START, {std::to_string(count), Tr("分析总数量:")});
    st.Set_StartTime(std::chrono::system_clock::now());
    Send_Log(Tr("显示扫描结果"), Tr("分析总数量:") + std::to_string(count) + ";" + Tr("开始生成结果"));
    st.Progress1 = 0;
    st.Progress2 = 0;
    int64_t row = 0;
    first = std::max<int64_t>(first, 0);
    last = std::min(last, count);
    for (int64_t p = first; p < last; ++p) {
        const TRebuildResult& r = session.Rebuilds.Get(p);
        if (!Worth_Listing(r)) continue;
        ++row;
        TUiMessage add;
        add.MsgType = MSG_ADD_ROW;
        add.P = {std::to_string(row),  std::to_string(r.Leavelx), r.CreateTime,
                 r.Durting + Tr("秒"), Size_Text(r.MdatLenx),     "",
                 r.CarmerModel,        Size_Text(r.TrueFileLen)};
        add.Number = p;
        Send_UIMessage(add);
        // Only a file head or movie box: nothing of the recording to export.
        if (!Has_MediaData(r))
            Send_Log(Tr("显示扫描结果"), Tr("没有发现媒体数据,不可导出;编号:") + std::to_string(row));
        st.Progress1 = int32_t(p);
        Send_UIMessage(MSG_PROGRESS_STATUS, {"", Tr("已添加数量") + ":" + std::to_string(p), ""});
    }
    Send_Log(Tr("显示扫描结果"), Tr("显示扫描结果完成!"));
    Send_UIMessage(MSG_PROGRESS_END);
    return row;
}

} // namespace qrv

#include "results/search.h"

#include <chrono>

#include "common/language.h"
#include "common/op_state.h"
#include "common/text_format.h"
#include "common/ui_message.h"

namespace qrv {

namespace {

bool Digits(const std::string& s, size_t from, size_t n, int& out) {
    int v = 0;
    for (size_t i = from; i < from + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    out = v;
    return true;
}

std::string Upper_Ascii(std::string s) {
    for (auto& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 32);
    return s;
}

} // namespace

std::optional<TDateParts> Split_Date(const std::string& text) {
    if (text.size() < 10) return std::nullopt;
    TDateParts d;
    if (!Digits(text, 0, 4, d.Year) || !Digits(text, 5, 2, d.Month) || !Digits(text, 8, 2, d.Day))
        return std::nullopt;
    return d;
}

TFindOutcome FindFile(TOpState& op, TResultsModel& model, const std::string& startDate,
                      const std::string& endDate, const std::string& modelText, int64_t* matchCount) {
    if (matchCount) *matchCount = 0;
    const int64_t rows = model.Count();
    if (rows == 0 || (startDate.empty() && endDate.empty())) return TFindOutcome::NotRun;
    auto from = Split_Date(startDate);
    auto to = Split_Date(endDate);
    if (!from || !to) {
        // An empty or incomplete date cannot bound the range: refuse rather than guess.
        Send_Log(TSeverity::Error, Tr("错误类型:Find0000"),
                 Tr("起始日期或结束日期不正确,请输入yyyy-MM-dd格式的日期!"));
        return TFindOutcome::Refused;
    }
    TOpState& st = op;
    const TOpBinding reporting(op);
    st.Progress1 = 0;
    st.Progress2 = 0;
    st.Set_StartTime(std::chrono::system_clock::now());
    Send_Log(Tr("开始搜索"), Tr("开始搜索符合条件的文件..."));
    Send_UIMessage(MSG_PROGRESS_START, {std::to_string(rows - 1), Tr("总数量") + ":"});
    const std::string needle = Upper_Ascii(modelText);
    int64_t matches = 0;
    bool stopped = false;
    for (int64_t i = 0; i < rows; ++i) {
        if (st.StopFlag.load()) {
            // Rows not looked at are not matches: none stays checked.
            stopped = true;
            for (int64_t k = i; k < rows; ++k)
                model.Set_Checked(k, false);
            break;
        }
        model.Set_Checked(i, false);
        TResultRow row = model.Row(i);
        bool match = false;
        if (auto d = Split_Date(row.Sub[COL_DATE])) {
            match = from->Year <= d->Year && d->Year <= to->Year && from->Month <= d->Month &&
                    d->Month <= to->Month;
            if (match && d->Month == from->Month && d->Month == to->Month)
                match = from->Day <= d->Day && d->Day <= to->Day;
        }
        if (match && !needle.empty())
            match = Upper_Ascii(row.Sub[COL_MODEL]).find(needle) != std::string::npos;
        if (match) {
            model.Set_Checked(i, true);
            ++matches;
        }
        st.Progress1 = int32_t(i + 1);
        Send_UIMessage(MSG_PROGRESS_STATUS, {"", Tr("已查找:") + std::to_string(i + 1),
                                             Tr("符合条件数量:") + std::to_string(matches)});
    }
    Send_Log(Tr("搜索完成"), stopped ? Tr("搜索已停止!") + " " + Tr("已查找:") + std::to_string(st.Progress1.load())
                                     : Tr("搜索文件成功完成!"));
    Send_UIMessage(MSG_PROGRESS_START, {"0", ""});
    Send_UIMessage(MSG_PROGRESS_END);
    if (matchCount) *matchCount = matches;
    return stopped ? TFindOutcome::Stopped : TFindOutcome::Done;
}

} // namespace qrv

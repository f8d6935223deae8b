#include "export/export_job.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <exception>
#include <future>
#include <system_error>
#include <thread>
#include <utility>

#include "analysis/output.h"
#include "analysis/sample_decode.h"
#include "analysis/seam_growth.h"
#include "common/language.h"
#include "common/op_state.h"
#include "common/text_format.h"
#include "common/ui_message.h"
#include "platform/ewf_source.h"
#include "platform/file_system.h"
#include "platform/output_guard.h"
#include "scan/records.h"

namespace qrv {

namespace {

const char* const kRecoveryFolder = "QRV_凯墨视频恢复文件夹";

// The current time as ISO 8601 in UTC.
std::string Utc_Now() {
    const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// The report's description of the source the files are read from.
void Describe_ReportSource(TCarveReport& rep, TSource& src, const std::string& sourcePath) {
    rep.SourcePath = Absolute_Path(sourcePath);
    rep.SourceSize = std::max<int64_t>(src.Size(), 0);
    if (const TEwfInfo* info = Ewf_Info(src)) {
        if (info->BytesPerSector > 0) rep.SectorSize = int32_t(info->BytesPerSector);
        rep.StoredMd5 = info->StoredMd5;
        rep.StoredSha1 = info->StoredSha1;
    }
}

} // namespace

std::string Recovery_FolderName() {
    std::string name = Tr(kRecoveryFolder);
    return name.empty() ? kRecoveryFolder : name;
}

std::string Clean_NameText(const std::string& text) {
    static const std::string kDrop = "/\\?<>\"|*: -";
    std::string out;
    for (char c : text)
        if (kDrop.find(c) == std::string::npos && c != '\0') out += c;
    return out;
}

std::string Export_FileName(const std::string& date, const std::string& caption, const std::string& model) {
    std::string name = "FILE-" + Clean_NameText(date) + "-" + caption;
    const std::string m = Clean_NameText(model);
    if (!m.empty()) name += "-" + m;
    return name + ".mp4";
}

TOutcome Check_SaveTarget(TScanSession& session, const TResultsModel& model, const std::string& folder,
                          const std::string& sourcePath, int64_t freeBytes, const TGuardOptions& output) {
    if (folder.empty()) return TOutcome::Refused(Tr("请指定保存路径!"));
    int64_t checked = 0, sum = 0;
    const int64_t count = session.Rebuilds.Count();
    for (const auto& row : model.Rows()) {
        if (!row.Checked) continue;
        ++checked;
        int64_t idx = row.ResultIndex;
        if (idx >= 0 && idx < count) sum += session.Rebuilds.Get(idx).MdatLenx;
    }
    if (checked == 0) return TOutcome::Refused(Tr("请选择要保存文件!"));
    if (freeBytes >= 0 && freeBytes < sum) return TOutcome::Refused(Tr("目标盘可用空间不够,无法保存!"));
    const TGuardVerdict verdict = TOutputGuard({sourcePath}, output).Check_Folder(folder);
    return verdict.Allowed() ? TOutcome::Ok() : TOutcome::Refused(verdict.Reason);
}

TOutcome Check_SaveTarget(TScanSession& session, const TResultsModel& model, const std::string& folder,
                          const std::string& sourcePath, const TGuardOptions& output) {
    return Check_SaveTarget(session, model, folder, sourcePath, folder.empty() ? -1 : Get_FreeBytes(folder),
                            output);
}

namespace {

// The seams of a result whose split had to be decided, as the report lists them.
std::vector<TReportSeam> Report_Seams(const TRebuildResult& r) {
    std::vector<TReportSeam> out;
    for (const TFragmenArr& e : r.FragmenArray) {
        if (e.ChongHeFlag || e.SeamFileOff < 0) continue;
        const char* by = e.SeamState == SEAM_VERIFIED ? "decoding" : e.SeamState == SEAM_UNVERIFIED ? "guess" : "tables";
        out.push_back({e.SeamFileOff, e.SeamState != SEAM_UNVERIFIED, by});
    }
    return out;
}

// One export in progress: the open source, the guard every output goes
// through, the numbered subfolder being filled, and the summary.
class TExportRun {
  public:
    TExportRun(TScanSession& session, TResultsModel& model, const std::string& recovery,
               const TOutputGuard& guard, TSource& src, const TPieceWriter& writer, TSaveSummary& sum)
        : session_(session), model_(model), recovery_(recovery), guard_(guard), src_(src), writer_(writer),
          sum_(sum) {}

    // Writes the checked row p (if it is checked) into the current subfolder.
    void Export_Row(int64_t p) {
        TResultRow row = model_.Row(p);
        if (!row.Checked || !row.Exportable) return;
        // A row outlives its result when the list was replaced under it.
        const int64_t ri = row.ResultIndex;
        if (ri < 0 || ri >= session_.Rebuilds.Count()) {
            Send_Log(TSeverity::Error, Tr("错误类型:Save0002"),
                     Tr("结果序号不正常") + ":" + std::to_string(ri));
            ++sum_.Failed;
            return;
        }
        if (needFolder_) Open_NextFolder();
        // A name an earlier export in this folder took gives way to the next
        // free one when the file is committed (see Write_File).
        const std::string path = sub_ + "/" + Export_FileName(row.Sub[COL_DATE], row.Caption, row.Sub[COL_MODEL]);
        row_ = p;
        if (Write_File(ri, row, path)) model_.Set_Checked(p, false);
    }

  private:
    // The next numbered subfolder; files go to it even when it could not be
    // made (each then fails and is reported on its own).
    void Open_NextFolder() {
        TGuardVerdict refusal;
        sub_ = recovery_ + "/QRV_File_" + std::to_string(subCounter_);
        if (!Make_Folder(sub_, guard_, &refusal))
            Send_Log(TSeverity::Error, Tr(refusal.Allowed() ? "错误类型:Save0001" : "错误类型:Save0006"),
                     (refusal.Allowed() ? Tr("创建文件夹出错") : refusal.Reason) + ":" + sub_);
        ++subCounter_;
        needFolder_ = false;
    }

    // Writes result ri to path, or to the next free name beside it when path
    // is taken (nothing existing is replaced). True when the file is complete,
    // or was cut short by the stop flag (the row counts as handled); false
    // when it could not be created or written (nothing is left under a final
    // name then).
    bool Write_File(int64_t ri, const TResultRow& row, std::string path) {
        auto& st = session_.Op;
        TGuardVerdict refusal;
        const TRebuildResult& r = session_.Rebuilds.Get(ri);
        auto out = TOutputFile::Create(path, guard_, &refusal);
        if (!out) {
            Send_Log(TSeverity::Error, Tr(refusal.Allowed() ? "错误类型:Save0003" : "错误类型:Save0006"),
                     (refusal.Allowed() ? Tr("创建文件出错") : refusal.Reason) + ":" + path);
            ++sum_.Failed;
            return false;
        }
        Send_UIMessage(MSG_GAUGE2_RANGE, {std::to_string(r.TrueFileLen / 65536)});
        st.WrittenBytes = 0;
        st.Progress2 = 0;
        TFileRecorder recorder;
        out->Set_Tap(&recorder);
        out->Set_Op(&st);
        TPartWriter part;
        if (writer_)
            part = [&](const TOutputPart& p, TSource& src, TOutputFile& o) {
                return writer_(ri, p.Entry, src, p.Entry < 0, o);
            };
        const TOutcome wrote = Write_Layout(Output_Layout(r), src_, *out, part);
        out->Set_Tap(nullptr);
        // A stopped file keeps what was written; it is not presented as complete.
        const bool stopped = wrote.Kind == TOutcomeKind::Cancelled;
        bool ok = !wrote.Failed();
        if (ok) {
            ok = out->Commit(TTakenName::NextFree);
            path = out->Path();
        }
        out->Close();
        TReportFile entry;
        entry.Path = path;
        entry.Name = path.substr(recovery_.size() + 1);
        // Samples the analysis did not find are zeros in the file: not complete.
        entry.Complete = !stopped && r.SamplesMissing == 0;
        entry.Level = row.Sub[COL_LEVEL];
        entry.Model = row.Sub[COL_MODEL];
        entry.Date = row.Sub[COL_DATE];
        entry.Duration = r.Durting; // seconds, without the list's unit
        entry.ResultIndex = ri;
        entry.Number = row.Caption;
        entry.Seams = Report_Seams(r);
        // A digest that cannot be had leaves the file alone; the report then
        // carries no digest for it.
        if (!recorder.Finish(entry))
            Send_Log(TSeverity::Error, Tr("错误类型:Save0007"), Tr("写入报告出错") + ":" + path);
        // Zeros in place of unreadable bytes: the file is not whole, and not very good.
        if (const int64_t unread = Unread_Bytes(entry); unread > 0) {
            entry.Complete = false;
            if (entry.Level == "0") entry.Level = "1";
            ++sum_.WithUnread;
            Send_Log(TSeverity::Error, Tr("错误类型:Save0008"),
                     Tr("错误内容:文件含有无法读取的字节,以零填充") + ", " + Tr("字节数:") +
                         std::to_string(unread) + ":" + path);
        }
        if (!ok) {
            // A partial file must not pass for a recovered one.
            Send_Log(TSeverity::Error, Tr("错误类型:Save0004"), Tr("写入文件出错") + ":" + path);
            ++sum_.Failed;
            return false;
        }
        if (stopped) {
            Send_Log(Tr("保存停止"), Tr("文件未写完") + ":" + path);
            sum_.Stopped = true;
        } else {
            ++sum_.Saved;
            sum_.Files.push_back(path);
            Start_DecodeCheck(sum_.Report.Files.size(), path);
        }
        sum_.Report.Files.push_back(std::move(entry));
        if (++inFolder_ >= kFilesPerFolder) {
            inFolder_ = 0;
            needFolder_ = true;
        }
        return true;
    }

  public:
    // Waits for the decode checks still running and puts their verdicts into
    // the report: a file that does not decode cleanly is not presented as very
    // good. Called once the rows are done (also after a stop or an error).
    void Finish_DecodeChecks() {
        for (; done_ < checks_.size(); ++done_)
            Apply_DecodeCheck(checks_[done_]);
    }

  private:
    // Decodes every video sample of the written file, with its references, on
    // a thread of its own while the next files are written; as many at once
    // as the processor has cores.
    void Start_DecodeCheck(size_t index, const std::string& path) {
        const size_t limit = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 8);
        while (checks_.size() - done_ >= limit)
            Apply_DecodeCheck(checks_[done_++]);
        TCheck c{index, row_, {}};
        try {
            c.Result = std::async(std::launch::async, [path] { return Decode_Check_File(path); });
        } catch (const std::system_error&) {
            // No thread to be had: the check runs here.
            std::promise<TDecodeCheck> now;
            now.set_value(Decode_Check_File(path));
            c.Result = now.get_future();
        }
        checks_.push_back(std::move(c));
    }

    // A decode check started: the report entry and the list row it belongs to.
    struct TCheck {
        size_t Entry = 0;
        int64_t Row = -1;
        std::future<TDecodeCheck> Result;
    };

    void Apply_DecodeCheck(TCheck& c) {
        TReportFile& entry = sum_.Report.Files[c.Entry];
        const TDecodeCheck d = c.Result.get();
        if (!d.Opened) {
            entry.DecodeErrors = std::max<int64_t>(d.Samples, 1);
        } else {
            entry.DecodeErrors = d.Errors;
            entry.FirstErrorOffset = d.FirstErrorOffset;
            entry.FirstErrorSeconds = d.FirstErrorSeconds;
        }
        model_.Set_Decode(c.Row, entry.DecodeErrors, entry.FirstErrorSeconds);
        if (entry.DecodeErrors == 0) return;
        ++sum_.WithDecodeErrors;
        if (entry.Level == "0") entry.Level = "1";
        std::string where;
        if (d.FirstErrorSeconds >= 0)
            where = ", " + Tr("第一个错误位于") + ":" + std::to_string(int64_t(d.FirstErrorSeconds)) + Tr("秒");
        Send_Log(TSeverity::Error, Tr("错误类型:Save0009"),
                 Tr("错误内容:文件解码有错误") + ", " + Tr("错误样本数:") +
                     std::to_string(entry.DecodeErrors) + where + ":" + entry.Path);
    }

    // Decode checks started; the first done_ of them have been applied.
    std::vector<TCheck> checks_;
    size_t done_ = 0;
    int64_t row_ = -1; // the list row being written

    TScanSession& session_;
    TResultsModel& model_;
    const std::string& recovery_;
    const TOutputGuard& guard_;
    TSource& src_;
    const TPieceWriter& writer_;
    TSaveSummary& sum_;
    int64_t subCounter_ = 0, inFolder_ = 0;
    bool needFolder_ = true;
    std::string sub_;
};

} // namespace

TSaveSummary Save_ToFile_One(TScanSession& session, TResultsModel& model, const std::string& folder,
                             const TPieceWriter& writer, const TGuardOptions& output) {
    TSaveSummary sum;
    auto& st = session.Op;
    const TOpBinding reporting(st);
    const std::string sourcePath = session.SourcePath();
    if (sourcePath.empty()) {
        Send_Log(TSeverity::Error, Tr("错误类型:Save[0000]"), Tr("错误内容:获取磁盘句柄出错，程序将退出!"));
        return sum;
    }
    st.Progress1 = 0;
    st.Progress2 = 0;
    const std::string recovery = folder + "/" + Recovery_FolderName();
    // Every folder and file of the export is opened through this guard.
    const TOutputGuard guard({sourcePath}, output);
    TGuardVerdict refusal;
    TSourcePtr src;
    if (!Make_Folders(recovery, guard, &refusal)) {
        if (!refusal.Allowed())
            Send_Log(TSeverity::Error, Tr("错误类型:Save0006"), refusal.Reason + ":" + recovery);
        else
            Send_Log(TSeverity::Error, Tr("错误类型:Save0001"), Tr("创建文件夹出错") + ":" + recovery);
    } else if (!(src = Open_Source(sourcePath))) {
        Send_Log(TSeverity::Error, Tr("错误类型:Scan0000"), Tr("错误内容:获取文件句柄出错，程序将退出!"));
    } else {
        sum.Started = true;
        sum.Report.Folder = recovery;
        sum.Report.StartTime = Utc_Now();
        Describe_ReportSource(sum.Report, *src, sourcePath);
        Send_Log(Tr("保存开始"), Tr("保存路径:") + folder);
        const int64_t rows = model.Count();
        Send_UIMessage(MSG_PROGRESS_START, {std::to_string(rows - 1), Tr("保存总数量:")});
        st.Set_StartTime(std::chrono::system_clock::now());
        TExportRun run(session, model, recovery, guard, *src, writer, sum);
        try {
            for (int64_t p = 0; p < rows; ++p) {
                if (st.StopFlag) {
                    sum.Stopped = true;
                    break;
                }
                TUiMessage select = Select_RowEvent(p);
                select.AwaitsWindow = true;
                Send_UIMessage(select);
                run.Export_Row(p);
                Send_UIMessage(MSG_STATUS2, {"", Tr("已保存文件数量:") + std::to_string(p)});
                st.Progress1 = int32_t(p);
            }
        } catch (const std::exception& e) {
            Send_Log(TSeverity::Error, Tr("错误类型:Save0005"), Tr("保存出错") + ":" + e.what());
            ++sum.Failed;
        }
        run.Finish_DecodeChecks();
    }
    if (sum.Started && !sum.Report.Files.empty()) {
        sum.Report.EndTime = Utc_Now();
        const TOutcome written = Write_CarveReport(sum.Report, guard, &sum.ReportPath);
        if (!written.Is_Ok()) sum.ReportError = written.Why;
        if (!written.Is_Ok())
            Send_Log(TSeverity::Error, Tr("错误类型:Save0007"), Tr("写入报告出错") + ":" + sum.ReportError);
        else
            Send_Log(Tr("报告已写入"), sum.ReportPath);
        Set_LastCarveReport(sum.Report);
    }
    // An export that could not start, or lost a file, does not close as done;
    // a stopped one says how far it got.
    const bool failed = !sum.Started || sum.Failed > 0 || !sum.ReportError.empty();
    std::string closing = failed        ? Tr("保存结果未能完成!")
                          : sum.Stopped ? Tr("保存结果已停止!") + " " + Tr("已保存文件数量:") + std::to_string(sum.Saved)
                                        : Tr("保存结果完毕!");
    if (sum.WithUnread > 0) closing += " " + Tr("含有无法读取字节的文件数量:") + std::to_string(sum.WithUnread);
    if (sum.WithDecodeErrors > 0) closing += " " + Tr("解码有错误的文件数量:") + std::to_string(sum.WithDecodeErrors);
    Send_Log(Tr("保存完成"), closing);
    src.reset();
    Send_UIMessage(MSG_PROGRESS_END);
    return sum;
}

} // namespace qrv

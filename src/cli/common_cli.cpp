#include "cli/common_cli.h"

#include "common/language.h"

#include "cli/commands.h"
#include "cli/source_pick.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "common/op_state.h"
#include "platform/file_system.h"
#include "platform/output_file.h"
#include "platform/source_io.h"
#include "results/search.h"
#include "scan/records.h"

namespace qrv::cli {

std::optional<TTreeData> Source_Node(const std::string& path, std::string& error) {
    TPickedSource picked = Pick_Source(path);
    if (!picked.Ok) {
        error = picked.Error;
        return std::nullopt;
    }
    return picked.Node;
}

// ---------------------------------------------------------------- sink

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

std::string Bytes_Text(int64_t b) {
    char buf[32];
    const double v = double(b);
    if (b >= (int64_t(1) << 30))
        std::snprintf(buf, sizeof buf, "%.2f GB", v / double(int64_t(1) << 30));
    else if (b >= (int64_t(1) << 20))
        std::snprintf(buf, sizeof buf, "%.1f MB", v / double(int64_t(1) << 20));
    else
        std::snprintf(buf, sizeof buf, "%.1f KB", v / 1024.0);
    return buf;
}

} // namespace

std::string Throughput_Text(int64_t done, int64_t total, double seconds) {
    done = std::clamp<int64_t>(done, 0, std::max<int64_t>(total, 0));
    std::string t = Bytes_Text(done) + " / " + Bytes_Text(total);
    if (seconds <= 0) return t;
    const double rate = double(done) / seconds;
    char buf[64];
    std::snprintf(buf, sizeof buf, "  %.1f MB/s", rate / double(1 << 20));
    t += buf;
    if (rate <= 0) return t;
    const int64_t left = int64_t(double(total - done) / rate + 0.5);
    std::snprintf(buf, sizeof buf, "  %02lld:%02lld:%02lld left", (long long)(left / 3600),
                  (long long)(left / 60 % 60), (long long)(left % 60));
    return t + buf;
}

TCliSink::TCliSink(std::shared_ptr<TResultsModel> model, bool quiet, std::FILE* out, int terminal,
                   TClock clock)
    : model_(std::move(model)), quiet_(quiet), out_(out ? out : stderr), clock_(std::move(clock)) {
    tty_ = terminal < 0 ? ::isatty(::fileno(out_)) == 1 : terminal > 0;
    if (!clock_) clock_ = [] { return std::chrono::steady_clock::now(); };
}

void TCliSink::Clear_Bar() {
    if (barShown_) {
        std::fputs("\r\033[K", out_);
        barShown_ = false;
    }
}

void TCliSink::Draw_Bar(bool force) {
    if (!tty_ || total_ <= 0) return;
    const auto now = clock_();
    if (!force && barShown_ && now - lastDraw_ < kRedrawInterval) return;
    lastDraw_ = now;
    static const TOpState idle;
    const TOpState& st = op_ ? *op_ : idle;
    const int64_t bytesTotal = st.BytesTotal.load();
    int64_t done = 0, whole = 0;
    std::string bytes;
    if (bytesTotal > 0) {
        done = std::clamp<int64_t>(st.BytesDone.load(), 0, bytesTotal);
        whole = bytesTotal;
        const double secs = std::chrono::duration<double>(now - started_).count();
        bytes = "  " + Throughput_Text(done, bytesTotal, secs);
    } else {
        done = std::clamp<int64_t>(st.Progress1.load(), 0, total_);
        whole = total_;
    }
    const int width = 30;
    const int fill = int(done * width / whole);
    std::string bar(size_t(fill), '#');
    bar += std::string(size_t(width - fill), '.');
    std::fprintf(out_, "\r\033[K[%s] %3d%%%s  %s", bar.c_str(), int(done * 100 / whole), bytes.c_str(),
                 status_.c_str());
    std::fflush(out_);
    barShown_ = true;
    ++redraws_;
}

void TCliSink::Set_Op(std::shared_ptr<const TOpState> op) {
    std::lock_guard<std::mutex> lk(mu_);
    op_ = std::move(op);
}

void TCliSink::Handle_UIMessage(const TUiMessage& m) {
    std::lock_guard<std::mutex> lk(mu_);
    if (model_) model_->Apply_Message(m);
    switch (m.MsgType) {
    case MSG_LOG: {
        // A warning (analysis met a header it could not rebuild and went on
        // with the next one) is a finding about the medium, not a failure of
        // the operation: shown in quiet mode, but it does not set the exit status.
        if (m.Severity == TSeverity::Error) ++errors_;
        if (m.Severity == TSeverity::Warning) ++warnings_;
        if (quiet_ && m.Severity == TSeverity::Info) break;
        const bool bar = barShown_;
        Clear_Bar();
        std::fprintf(out_, "%s  %s\n", m.P[0].c_str(), m.P[2].c_str());
        if (bar) Draw_Bar(true);
        break;
    }
    case MSG_PROGRESS_START:
        // A start fed by hand with texts only carries its total in P1.
        total_ = m.Number >= 0 ? m.Number : std::strtoll(m.P[0].c_str(), nullptr, 10);
        label_ = m.P[1];
        status_.clear();
        started_ = clock_();
        Draw_Bar(true);
        break;
    case MSG_PROGRESS_STATUS:
        status_ = m.P[1] + (m.P[2].empty() ? "" : " " + m.P[2]);
        Draw_Bar(false);
        break;
    case MSG_STATUS2:
        status_ = m.P[1];
        Draw_Bar(false);
        break;
    case MSG_STATUS3:
    case MSG_STATUS2_FROM_P3:
        status_ = m.P[2];
        Draw_Bar(false);
        break;
    case MSG_PROGRESS_END:
        Clear_Bar();
        total_ = 0;
        break;
    default:
        break;
    }
    std::fflush(out_);
}

TCliSession Start_CliSession(bool quiet) {
    TCliSession s;
    s.Scan = std::make_shared<TScanSession>();
    s.Model = std::make_shared<TResultsModel>();
    s.Model->Set_Session(s.Scan);
    s.Op = std::shared_ptr<TOpState>(s.Scan, &s.Scan->Op);
    s.Sink = std::make_shared<TCliSink>(s.Model, quiet);
    s.Sink->Set_Op(s.Op);
    Set_UISink(s.Sink);
    return s;
}

// ---------------------------------------------------------------- table

void Print_Table(const TResultsModel& model, std::FILE* out) {
    const auto rows = model.Rows();
    std::vector<std::vector<std::string>> cells;
    std::vector<std::string> head(kResultColumns.begin(), kResultColumns.end());
    cells.push_back(head);
    for (const auto& r : rows)
        cells.push_back({r.Caption, r.Sub[0], r.Sub[1], r.Sub[2], r.Sub[3], r.Sub[4], r.Sub[5]});
    std::vector<size_t> width(head.size(), 0);
    for (const auto& line : cells)
        for (size_t c = 0; c < line.size(); ++c)
            width[c] = std::max(width[c], Text_Width(line[c]));
    for (const auto& line : cells) {
        std::string s;
        for (size_t c = 0; c < line.size(); ++c) {
            s += line[c];
            if (c + 1 < line.size()) s += std::string(width[c] - Text_Width(line[c]) + 2, ' ');
        }
        std::fprintf(out, "%s\n", s.c_str());
    }
    if (rows.empty()) std::fprintf(out, "(no recordings found)\n");
}

std::string Json_Text(const std::string& t) {
    std::string o = "\"";
    for (unsigned char c : t) {
        switch (c) {
        case '"':
            o += "\\\"";
            break;
        case '\\':
            o += "\\\\";
            break;
        case '\n':
            o += "\\n";
            break;
        case '\r':
            o += "\\r";
            break;
        case '\t':
            o += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                o += buf;
            } else {
                o += char(c);
            }
        }
    }
    return o + "\"";
}

namespace {

// A number text as JSON: the number itself, or null when the text is not one.
// Read and written with a point whatever the locale: JSON is for programs.
std::string Json_Number(const std::string& text) {
    if (text.empty()) return "null";
    // from_chars takes no leading point: ".5" is read as "0.5".
    const std::string t = text[0] == '.' ? "0" + text : text;
    double v = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || end != t.data() + t.size() || !std::isfinite(v)) return "null";
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 10);
    return std::string(buf, res.ptr);
}

// "yyyy-mm-dd hh:mm:ss" as ISO 8601 ("yyyy-mm-ddThh:mm:ss"); null for anything else.
std::string Json_IsoDate(const std::string& text) {
    if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' ||
        text[16] != ':')
        return "null";
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18})
        if (!std::isdigit(uint8_t(text[i]))) return "null";
    std::string iso = text;
    iso[10] = 'T';
    return Json_Text(iso);
}

} // namespace

std::string Rows_Json(const TResultsModel& model) {
    std::string o = "[";
    const std::shared_ptr<TScanSession> session = model.Session();
    const int64_t count = session ? session->Rebuilds.Count() : 0;
    bool first = true;
    for (const auto& r : model.Rows()) {
        const int64_t idx = r.ResultIndex;
        const TRebuildResult* res = idx >= 0 && idx < count ? &session->Rebuilds.Get(idx) : nullptr;
        o += first ? "\n" : ",\n";
        first = false;
        // Numbers as numbers (level, seconds, bytes), the date in ISO 8601;
        // the texts the list shows under *_text keys.
        o += "  {\"number\": " + Json_Number(r.Caption) +
             ", \"level\": " + (res ? std::to_string(int(res->Leavelx)) : Json_Number(r.Sub[COL_LEVEL])) +
             ", \"model\": " + Json_Text(r.Sub[COL_MODEL]) +
             ", \"date\": " + Json_IsoDate(res ? res->CreateTime : r.Sub[COL_DATE]) +
             ", \"duration\": " + (res ? Json_Number(Trim_Text(res->Durting)) : std::string("null")) +
             ", \"length\": " + (res ? std::to_string(res->MdatLenx) : std::string("null")) +
             ", \"real_length\": " + (res ? std::to_string(res->TrueFileLen) : std::string("null")) +
             ", \"result_index\": " + std::to_string(idx) +
             ", \"checked\": " + (r.Checked ? "true" : "false") +
             ", \"level_text\": " + Json_Text(r.Sub[COL_LEVEL]) +
             ", \"date_text\": " + Json_Text(r.Sub[COL_DATE]) +
             ", \"duration_text\": " + Json_Text(r.Sub[COL_DURATION]) +
             ", \"length_text\": " + Json_Text(r.Sub[COL_LENGTH]) +
             ", \"real_length_text\": " + Json_Text(r.Sub[COL_REAL]) +
             // A result without media data is listed but never exported; the key
             // is present only then.
             (r.Exportable ? std::string() : ", \"exportable\": false, \"why\": " + Json_Text(Tr("没有发现媒体数据"))) +
             "}";
    }
    return o + (first ? "]" : "\n]");
}

// ---------------------------------------------------------------- Ctrl-C

namespace {
// The operation Ctrl-C stops: a signal handler reaches nothing but
// process-wide state, so the interrupt scope names it here while it lives.
std::atomic<TOpState*> g_interrupted{nullptr};
void Set_StopFlag(int) {
    if (TOpState* op = g_interrupted.load()) op->StopFlag.store(true);
}
} // namespace

TStopOnInterrupt::TStopOnInterrupt(TOpState& op) {
    g_interrupted.store(&op);
    previous_ = std::signal(SIGINT, Set_StopFlag);
}

TStopOnInterrupt::~TStopOnInterrupt() {
    std::signal(SIGINT, previous_);
    g_interrupted.store(nullptr);
}

// ---------------------------------------------------------------- export

const std::set<std::string> kExportOptions = {"export", "rows", "date-from", "date-to", "model"};

const char* kExportUsage =
    "  --export DIR        write the chosen recordings as .mp4 files under DIR (not on the source's disk)\n"
    "  --rows LIST         rows to export by number, e.g. 1,3-5 (default: every row)\n"
    "  --date-from D       with --date-to: rows shot from D to D2 (yyyy-MM-dd), as the search does\n"
    "  --date-to D2\n"
    "  --model TEXT        rows whose camera model contains TEXT\n";

bool Select_Rows(TResultsModel& model, const TArgs& args, std::string& error) {
    const bool byRows = args.Has("rows");
    const bool bySearch = args.Has("date-from") || args.Has("date-to") || args.Has("model");
    if (byRows && bySearch) {
        error = "--rows cannot be combined with --date-from, --date-to or --model";
        return false;
    }
    if (byRows) {
        std::set<int64_t> wanted;
        std::string list = *args.Get("rows");
        size_t pos = 0;
        while (pos <= list.size()) {
            size_t comma = list.find(',', pos);
            std::string part = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
            size_t dash = part.find('-');
            try {
                int64_t a = Parse_Int(dash == std::string::npos ? part : part.substr(0, dash), "--rows");
                int64_t b = dash == std::string::npos ? a : Parse_Int(part.substr(dash + 1), "--rows");
                if (a < 1 || b < a || b - a > 10000000)
                    throw std::invalid_argument("--rows: bad range '" + part + "'");
                for (int64_t i = a; i <= b; ++i)
                    wanted.insert(i);
            } catch (const std::invalid_argument& e) {
                error = e.what();
                return false;
            }
            if (comma == std::string::npos) break;
            pos = comma + 1;
        }
        model.Clear_Checks();
        const int64_t n = model.Count();
        for (int64_t i = 0; i < n; ++i) {
            int64_t num = -1;
            try {
                num = Parse_Int(model.Row(i).Caption, "row");
            } catch (const std::invalid_argument&) {
            }
            if (wanted.count(num)) model.Set_Checked(i, true);
        }
        return true;
    }
    if (bySearch) {
        std::string from = args.Get("date-from").value_or("");
        std::string to = args.Get("date-to").value_or(from);
        if (from.empty() && to.empty())
            from = "0000-01-01", to = "9999-12-31";
        else if (from.empty())
            from = "0000-01-01";
        if (model.Count() == 0) return true;
        // The search runs on the session's operation state (its own when the rows have none).
        const std::shared_ptr<TScanSession> session = model.Session();
        TOpState own;
        if (FindFile(session ? session->Op : own, model, from, to, args.Get("model").value_or("")) ==
            TFindOutcome::Refused) {
            error = "dates must be given as yyyy-MM-dd";
            return false;
        }
        return true;
    }
    model.Check_All();
    return true;
}

const char* kForceUsage =
    "  --force-same-disk   write even where the output may share a disk with a device source (its disk\n"
    "                      cannot be determined, or it is that disk); never the source itself\n";

TGuardOptions Output_Options(const TArgs& args) {
    TGuardOptions o;
    o.ForceSameDisk = args.Has("force-same-disk");
    return o;
}

int Report_Refusal(const char* command, const TGuardVerdict& refusal, const std::string& path) {
    const bool detail = !refusal.Detail.empty() && refusal.Detail != path;
    std::fprintf(stderr, "qrv-cli %s: %s: %s%s%s\n", command, refusal.Reason.c_str(), path.c_str(),
                 detail ? " (" : "", detail ? (refusal.Detail + ")").c_str() : "");
    if (refusal.Cause == TGuardCause::UnknownDisk)
        std::fprintf(
            stderr,
            "qrv-cli %s: the disk behind this path cannot be told from the system; when you know it is "
            "not the source's disk, run again with --force-same-disk\n",
            command);
    return 1;
}

int Prepare_Folder(const char* command, const std::string& dir, const TOutputGuard& guard) {
    TGuardVerdict refusal;
    if (Make_Folders(dir, guard, &refusal)) return 0;
    if (!refusal.Allowed()) return Report_Refusal(command, refusal, dir);
    std::fprintf(stderr, "qrv-cli %s: %s: %s (%s)\n", command, Tr("创建文件夹出错").c_str(), dir.c_str(),
                 std::strerror(errno));
    return 1;
}

int Run_Export(TResultsModel& model, const std::string& dir, std::string* json, const TGuardOptions& output) {
    TScanSession& session = *model.Session();
    session.Op.Reset_Counters();
    std::string msg = Check_SaveTarget(session, model, dir, session.SourcePath(), output).Why;
    if (msg.empty()) {
        if (Get_PathKind(dir) != TPathKind::Folder) msg = "请指定保存路径!";
    }
    if (!msg.empty()) {
        std::fprintf(stderr, "qrv-cli: %s (%s)\n", msg.c_str(), dir.c_str());
        if (json) *json += ", \"export\": {\"ok\": false, \"message\": " + Json_Text(msg) + "}";
        return 1;
    }
    TSaveSummary s = Save_ToFile_One(session, model, dir, {}, output);
    const std::string folder = dir + "/" + Recovery_FolderName();
    if (json) {
        *json += ", \"export\": {\"ok\": " + std::string(s.Ok() ? "true" : "false") +
                 ", \"folder\": " + Json_Text(folder) + ", \"saved\": " + std::to_string(s.Saved) +
                 ", \"failed\": " + std::to_string(s.Failed) + ", \"stopped\": " +
                 (s.Stopped ? "true" : "false") + ", \"with_unread\": " + std::to_string(s.WithUnread) +
                 ", \"files\": [";
        for (size_t i = 0; i < s.Files.size(); ++i)
            *json += (i ? ", " : "") + Json_Text(s.Files[i]);
        *json += "], \"report\": " + (s.ReportPath.empty() ? std::string("null") : Json_Text(s.ReportPath));
        if (!s.ReportError.empty()) *json += ", \"report_error\": " + Json_Text(s.ReportError);
        *json += ", \"written\": [";
        for (size_t i = 0; i < s.Report.Files.size(); ++i) {
            const TReportFile& f = s.Report.Files[i];
            *json += std::string(i ? ", " : "") + "{\"path\": " + Json_Text(f.Path) + ", \"number\": " +
                     Json_Number(f.Number) + ", \"decode_errors\": " +
                     (f.DecodeErrors < 0 ? std::string("null") : std::to_string(f.DecodeErrors)) +
                     ", \"size\": " + std::to_string(f.Size) + ", \"sha256\": " + Json_Text(f.Sha256) +
                     ", \"complete\": " + (f.Complete ? "true" : "false") + ", \"level\": " +
                     Json_Text(f.Level) + ", \"unread_bytes\": " + std::to_string(Unread_Bytes(f)) +
                     ", \"runs\": [";
            for (size_t k = 0; k < f.Runs.size(); ++k) {
                const TReportRun& r = f.Runs[k];
                *json += std::string(k ? ", " : "") + "{\"file_offset\": " + std::to_string(r.FileOffset) +
                         ", \"len\": " + std::to_string(r.Length);
                if (r.Kind == TWriteTap::RUN_SOURCE)
                    *json += ", \"img_offset\": " + std::to_string(r.ImgOffset);
                else if (r.Kind == TWriteTap::RUN_ZERO)
                    *json += ", \"fill\": 0";
                else if (r.Kind == TWriteTap::RUN_UNREAD)
                    *json += ", \"fill\": 0, \"unread_img_offset\": " + std::to_string(r.ImgOffset);
                else
                    *json += ", \"generated\": true";
                *json += "}";
            }
            *json += "]}";
        }
        *json += "]}";
    } else {
        std::printf("\nExported %lld file(s) to %s", (long long)s.Saved, folder.c_str());
        if (s.Failed) std::printf(", %lld failed", (long long)s.Failed);
        if (s.Stopped) std::printf(", stopped");
        if (s.WithUnread) std::printf(", %lld with unreadable bytes (zero-filled)", (long long)s.WithUnread);
        std::printf("\n");
        for (const auto& f : s.Files)
            std::printf("  %s\n", f.c_str());
        if (!s.ReportPath.empty()) std::printf("Report: %s\n", s.ReportPath.c_str());
        if (!s.ReportError.empty()) std::printf("Report not written: %s\n", s.ReportError.c_str());
    }
    if (!s.Started || s.Failed > 0 || !s.ReportError.empty() || s.WithUnread > 0) return 1;
    return s.Stopped ? kExitStopped : 0;
}

} // namespace qrv::cli

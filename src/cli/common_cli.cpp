#include "cli/common_cli.h"

#include "common/language.h"

#include "cli/source_pick.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "analysis/records.h"
#include "common/op_state.h"
#include "platform/same_disk.h"
#include "platform/source_io.h"
#include "results/search.h"

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

void TCliSink::Clear_Bar() {
    if (barShown_) {
        std::fputs("\r\033[K", stderr);
        barShown_ = false;
    }
}

void TCliSink::Draw_Bar() {
    if (!tty_ || total_ <= 0) return;
    const int64_t pos = std::clamp<int64_t>(Op_State().Progress1.load(), 0, total_);
    const int width = 30;
    const int fill = int(pos * width / total_);
    std::string bar(size_t(fill), '#');
    bar += std::string(size_t(width - fill), '.');
    std::fprintf(stderr, "\r\033[K[%s] %3d%% %s", bar.c_str(), int(pos * 100 / total_), status_.c_str());
    std::fflush(stderr);
    barShown_ = true;
}

void TCliSink::Handle_UIMessage(const TUiMessage& m) {
    std::lock_guard<std::mutex> lk(mu_);
    if (model_) model_->Apply_Message(m);
    static const bool isTty = ::isatty(2) == 1;
    tty_ = isTty;
    switch (m.MsgType) {
    case MSG_LOG: {
        const bool error = m.P[0].find("错误") != std::string::npos;
        // Analysis reports a header it could not rebuild under the bare kind
        // "错误" and goes on with the next one: that is a finding about the
        // medium, not a failure of the operation, so it does not set the exit status.
        if (error && m.P[0] != Tr("错误")) ++errors_;
        if (quiet_ && !error) break;
        Clear_Bar();
        std::fprintf(stderr, "%s  %s\n", m.P[0].c_str(), m.P[2].c_str());
        break;
    }
    case MSG_PROGRESS_START:
        total_ = std::strtoll(m.P[0].c_str(), nullptr, 10);
        label_ = m.P[1];
        status_.clear();
        Draw_Bar();
        break;
    case MSG_PROGRESS_STATUS:
        status_ = m.P[1] + (m.P[2].empty() ? "" : " " + m.P[2]);
        Draw_Bar();
        break;
    case MSG_STATUS2:
        status_ = m.P[1];
        Draw_Bar();
        break;
    case MSG_STATUS3:
    case MSG_STATUS2_FROM_P3:
        status_ = m.P[2];
        Draw_Bar();
        break;
    case MSG_PROGRESS_END:
        Clear_Bar();
        total_ = 0;
        break;
    default:
        break;
    }
}

TCliSession Start_CliSession(bool quiet) {
    TCliSession s;
    s.Model = std::make_shared<TResultsModel>();
    s.Sink = std::make_shared<TCliSink>(s.Model, quiet);
    Set_UISink(s.Sink);
    return s;
}

// ---------------------------------------------------------------- table

size_t Text_Width(const std::string& t) {
    size_t w = 0;
    for (size_t i = 0; i < t.size();) {
        const uint8_t c = uint8_t(t[i]);
        uint32_t cp = c;
        size_t n = 1;
        if (c >= 0xF0) n = 4, cp = c & 0x07;
        else if (c >= 0xE0) n = 3, cp = c & 0x0F;
        else if (c >= 0xC0) n = 2, cp = c & 0x1F;
        for (size_t k = 1; k < n && i + k < t.size(); ++k) cp = (cp << 6) | (uint8_t(t[i + k]) & 0x3F);
        const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                          (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                          (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                          (cp >= 0xFFE0 && cp <= 0xFFE6) || cp >= 0x20000;
        w += wide ? 2 : 1;
        i += n;
    }
    return w;
}

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

std::string Rows_Json(const TResultsModel& model) {
    std::string o = "[";
    const int64_t count = RebuildResultList.Count();
    bool first = true;
    for (const auto& r : model.Rows()) {
        const int64_t idx = r.Result_Index();
        int64_t mdat = 0, real = 0;
        if (idx >= 0 && idx < count) {
            mdat = RebuildResultList.Get(idx).MdatLenx;
            real = RebuildResultList.Get(idx).TrueFileLen;
        }
        o += first ? "\n" : ",\n";
        first = false;
        o += "  {\"number\": " + Json_Text(r.Caption) + ", \"level\": " + Json_Text(r.Sub[COL_LEVEL]) +
             ", \"model\": " + Json_Text(r.Sub[COL_MODEL]) + ", \"date\": " + Json_Text(r.Sub[COL_DATE]) +
             ", \"duration\": " + Json_Text(r.Sub[COL_DURATION]) +
             ", \"length\": " + Json_Text(r.Sub[COL_LENGTH]) +
             ", \"real_length\": " + Json_Text(r.Sub[COL_REAL]) +
             ", \"length_bytes\": " + std::to_string(mdat) +
             ", \"real_length_bytes\": " + std::to_string(real) +
             ", \"result_index\": " + std::to_string(idx) +
             ", \"checked\": " + (r.Checked ? "true" : "false") + "}";
    }
    return o + (first ? "]" : "\n]");
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
        if (FindFile(model, from, to, args.Get("model").value_or("")) == TFindOutcome::Refused) {
            error = "dates must be given as yyyy-MM-dd";
            return false;
        }
        return true;
    }
    model.Check_All();
    return true;
}

int Run_Export(TResultsModel& model, const std::string& dir, std::string* json) {
    auto& st = Op_State();
    st.Reset_Counters();
    std::string msg = Check_SaveTarget(model, dir, st.SourcePath());
    if (msg.empty()) {
        struct stat sb {};
        if (::stat(dir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) msg = "请指定保存路径!";
    }
    if (!msg.empty()) {
        std::fprintf(stderr, "qrv-cli: %s (%s)\n", msg.c_str(), dir.c_str());
        if (json) *json += ", \"export\": {\"ok\": false, \"message\": " + Json_Text(msg) + "}";
        return 1;
    }
    TSaveSummary s = Save_ToFile_One(model, dir);
    const std::string folder = dir + "/" + Recovery_FolderName();
    if (json) {
        *json += ", \"export\": {\"ok\": " + std::string(s.Ok() ? "true" : "false") +
                 ", \"folder\": " + Json_Text(folder) + ", \"saved\": " + std::to_string(s.Saved) +
                 ", \"failed\": " + std::to_string(s.Failed) + ", \"files\": [";
        for (size_t i = 0; i < s.Files.size(); ++i)
            *json += (i ? ", " : "") + Json_Text(s.Files[i]);
        *json += "]}";
    } else {
        std::printf("\nExported %lld file(s) to %s", (long long)s.Saved, folder.c_str());
        if (s.Failed) std::printf(", %lld failed", (long long)s.Failed);
        if (s.Stopped) std::printf(", stopped");
        std::printf("\n");
        for (const auto& f : s.Files)
            std::printf("  %s\n", f.c_str());
    }
    return s.Ok() ? 0 : 1;
}

} // namespace qrv::cli

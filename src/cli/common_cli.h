// Code shared by the qrv-cli commands that produce and use results: the source
// node of a path, the terminal sink (log lines and a progress bar on stderr,
// result rows into a results model), the results table and its JSON form, and
// the export of a selection of rows.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "cli/args.h"
#include "common/text_encoding.h"
#include "common/ui_message.h"
#include "export/export_job.h"
#include "media/tree_data.h"
#include "platform/output_guard.h"
#include "results/results_model.h"

namespace qrv::cli {

// The source node for a path given on the command line (Pick_Source: a listed
// disk or volume, else an image file). nullopt with the reason in error.
std::optional<TTreeData> Source_Node(const std::string& path, std::string& error);

// Log lines ("kind  description") and a progress bar on stderr; rows of
// message 5 go into the model. The bar is drawn only on a terminal, at most
// ten times a second (log lines and the start and end of an operation draw at
// once); when the operation counts bytes of the medium it shows bytes done of
// the total, the throughput and the time left. quiet drops the log lines of
// severity Info.
class TCliSink : public TUiSink {
  public:
    using TClock = std::function<std::chrono::steady_clock::time_point()>;
    // terminal: -1 asks isatty(out); 0 never draws a bar; 1 always does. clock
    // defaults to the steady clock (tests drive their own).
    TCliSink(std::shared_ptr<TResultsModel> model, bool quiet, std::FILE* out = stderr, int terminal = -1,
             TClock clock = {});
    void Handle_UIMessage(const TUiMessage& msg) override;
    // Number of log lines of severity Error.
    int Errors() const { return errors_; }
    // Number of log lines of severity Warning.
    int Warnings() const { return warnings_; }
    // Bars drawn so far.
    int Redraws() const { return redraws_; }
    // The operation whose counters the bar shows (null: the bar stays empty).
    void Set_Op(std::shared_ptr<const TOpState> op);

  private:
    void Draw_Bar(bool force);
    void Clear_Bar();
    std::mutex mu_; // the frame-start search reports from several threads at once
    std::shared_ptr<TResultsModel> model_;
    std::shared_ptr<const TOpState> op_;
    bool quiet_;
    std::FILE* out_;
    bool tty_ = false;
    TClock clock_;
    bool barShown_ = false;
    int errors_ = 0, warnings_ = 0, redraws_ = 0;
    int64_t total_ = 0;
    std::string label_, status_;
    std::chrono::steady_clock::time_point started_{}, lastDraw_{};
};

// The byte part of the bar: "1.23 GB / 6.00 GB  85.3 MB/s  00:00:57 left";
// without a rate before any time has passed, without a time left at rate 0.
std::string Throughput_Text(int64_t done, int64_t total, double seconds);

// Installs a TCliSink over a fresh model and returns both, with the scan
// session the command works in (the model's rows index its results).
struct TCliSession {
    std::shared_ptr<TScanSession> Scan;
    // The state of the command's operation (the scan session's own), which
    // the progress bar shows and Ctrl-C stops.
    std::shared_ptr<TOpState> Op;
    std::shared_ptr<TResultsModel> Model;
    std::shared_ptr<TCliSink> Sink;
};
TCliSession Start_CliSession(bool quiet);

// While it lives, Ctrl-C sets the stop flag instead of ending the process:
// the running operation stops at its next block, closes with its stopped
// line, and the command exits with kExitStopped.
class TStopOnInterrupt {
  public:
    explicit TStopOnInterrupt(TOpState& op);
    ~TStopOnInterrupt();
    TStopOnInterrupt(const TStopOnInterrupt&) = delete;
    TStopOnInterrupt& operator=(const TStopOnInterrupt&) = delete;

  private:
    void (*previous_)(int);
};

// Display width of a UTF-8 text on a terminal (CJK characters take two cells).
inline size_t Text_Width(const std::string& text) {
    return size_t(Text_Columns(text));
}

// The results table: the list's columns, one line per row.
void Print_Table(const TResultsModel& model, std::FILE* out);

// The rows as JSON: number, level, model, date (ISO 8601), duration in
// seconds, lengths in bytes, result index and checked state as numbers and
// values, and the texts the list shows under level_text, date_text,
// duration_text, length_text and real_length_text.
std::string Rows_Json(const TResultsModel& model);
std::string Json_Text(const std::string& text);

// Options of the export selection, for commands' allowed-option sets.
extern const std::set<std::string> kExportOptions;
extern const char* kExportUsage;

// The --force-same-disk option and its usage line.
extern const char* kForceUsage;
TGuardOptions Output_Options(const TArgs& args);

// Prints a refusal of the output guard on stderr ("qrv-cli CMD: reason: path",
// with how to override an unknown disk) and returns the exit status 1.
int Report_Refusal(const char* command, const TGuardVerdict& refusal, const std::string& path);

// Creates an output folder (with missing parents) through the guard before an
// operation starts. 0 when it exists afterwards, else the exit status after
// the reason was printed.
int Prepare_Folder(const char* command, const std::string& dir, const TOutputGuard& guard);

// Checks the rows to export: --rows "1,3-5" (row numbers), or --date-from /
// --date-to / --model through the search; every row when none is given.
// False with a reason in error on a malformed selection.
bool Select_Rows(TResultsModel& model, const TArgs& args, std::string& error);

// Runs the checks and the export into dir for the checked rows. Prints a
// summary (or adds it to json when given) and returns the exit status.
int Run_Export(TResultsModel& model, const std::string& dir, std::string* json, const TGuardOptions& output);

} // namespace qrv::cli

// Code shared by the qrv-cli commands that produce and use results: the source
// node of a path, the terminal sink (log lines and a progress bar on stderr,
// result rows into a results model), the results table and its JSON form, and
// the export of a selection of rows.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "cli/args.h"
#include "common/ui_message.h"
#include "export/export_job.h"
#include "results/results_model.h"
#include "sources/tree_data.h"

namespace qrv::cli {

// The source node for a path given on the command line (Pick_Source: a listed
// disk or volume, else an image file). nullopt with the reason in error.
std::optional<TTreeData> Source_Node(const std::string& path, std::string& error);

// Log lines ("kind  description") and a progress bar on stderr; rows of
// message 5 go into the model. The bar is drawn only when stderr is a
// terminal; quiet drops the log lines that are not errors.
class TCliSink : public TUiSink {
  public:
    TCliSink(std::shared_ptr<TResultsModel> model, bool quiet) : model_(std::move(model)), quiet_(quiet) {}
    void Handle_UIMessage(const TUiMessage& msg) override;
    // Number of log lines whose kind holds "错误".
    int Errors() const { return errors_; }

  private:
    void Draw_Bar();
    void Clear_Bar();
    std::mutex mu_; // the frame-start search reports from several threads at once
    std::shared_ptr<TResultsModel> model_;
    bool quiet_;
    bool tty_ = false;
    bool barShown_ = false;
    int errors_ = 0;
    int64_t total_ = 0;
    std::string label_, status_;
};

// Installs a TCliSink over a fresh model and returns both.
struct TCliSession {
    std::shared_ptr<TResultsModel> Model;
    std::shared_ptr<TCliSink> Sink;
};
TCliSession Start_CliSession(bool quiet);

// Display width of a UTF-8 text on a terminal (CJK characters take two cells).
size_t Text_Width(const std::string& text);

// The results table: the list's columns, one line per row.
void Print_Table(const TResultsModel& model, std::FILE* out);

// The rows as JSON: number, level, model, date, duration, sizes (text and
// bytes), result index and checked state.
std::string Rows_Json(const TResultsModel& model);
std::string Json_Text(const std::string& text);

// Options of the export selection, for commands' allowed-option sets.
extern const std::set<std::string> kExportOptions;
extern const char* kExportUsage;

// Checks the rows to export: --rows "1,3-5" (row numbers), or --date-from /
// --date-to / --model through the search; every row when none is given.
// False with a reason in error on a malformed selection.
bool Select_Rows(TResultsModel& model, const TArgs& args, std::string& error);

// Runs the checks and the export into dir for the checked rows. Prints a
// summary (or adds it to json when given) and returns the exit status.
int Run_Export(TResultsModel& model, const std::string& dir, std::string* json);

} // namespace qrv::cli

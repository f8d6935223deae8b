// The command-line sink of the message channel: log lines on stderr as
// "kind  date time  description" (the log file's layout), and, when stderr is
// a terminal, one progress bar line redrawn in place from the progress
// messages and the operation state's counters. Result rows (type 5) can be
// kept for the caller to print as a table.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "common/op_state.h"
#include "common/text_encoding.h"
#include "common/ui_message.h"

namespace qrv {

struct TCliSinkOptions {
    std::FILE* Out = stderr;
    int Terminal = -1;        // -1: ask isatty(Out); 0: never draw a bar; 1: always
    int Width = 0;            // bar line width in columns; 0: the terminal's width (80 when unknown)
    bool ShowLog = true;      // print log lines (type 0)
    bool CollectRows = false; // keep type-5 messages for Rows()
    // The operation whose counters the bar shows (null: the bar stays at 0).
    const TOpState* Op = nullptr;
};

class TCliSink : public TUiSink {
  public:
    explicit TCliSink(TCliSinkOptions options = {});
    ~TCliSink() override; // removes a bar still on screen

    void Handle_UIMessage(const TUiMessage& msg) override;

    // The type-5 messages received so far (only with CollectRows).
    std::vector<TUiMessage> Rows() const;
    bool Draws_Bar() const { return terminal_; }

    // "kind  date time  description".
    static std::string Log_LineText(const TUiMessage& msg);
    // The bar line for a state: gauge, percentage, label and total, status
    // texts; cut to width columns (wide characters count two).
    static std::string Bar_Text(int64_t position, int64_t total, const std::string& label, const std::string& status2,
                                const std::string& status3, int width);

  private:
    void Draw_Bar(bool force);
    void Clear_Bar();

    mutable std::mutex mu_;
    TCliSinkOptions opt_;
    bool terminal_ = false;
    int width_ = 80;
    bool active_ = false; // between progress start and progress end
    bool barShown_ = false;
    int64_t total_ = 0, total2_ = 0;
    std::string label_, status2_, status3_;
    std::chrono::steady_clock::time_point lastDraw_{};
    std::vector<TUiMessage> rows_;
};

} // namespace qrv

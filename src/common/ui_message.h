// The worker-to-window message channel. Workers report through typed events:
// a kind (the numbered MSG_* types), up to eight texts, and the typed fields
// the kind needs (a log line's severity, a progress total). The sink behind
// it is pluggable: the Qt dispatcher, the command-line sink, or a recording
// sink in tests. Each send hands the sink its own copy of the event, so two
// workers may send at once.
//
// Progress (totals and the status-panel texts) is also published into the
// operation state's progress record as it is sent (see Publish_Progress), so
// a front end may read it at its own pace instead of handling every status
// event; the window polls it on a timer and never sees the status events.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qrv {

// Message types.
enum TUiMessageType : int {
    MSG_LOG = 0,            // P1 kind, P2 date and time, P3 description
    MSG_PROGRESS_START = 1, // P1 total (decimal), P2 label
    MSG_PROGRESS_STATUS = 2, // P2 -> status panel 2, P3 -> status panel 3
    MSG_PROGRESS_END = 3,
    MSG_REGION_DONE = 4,
    MSG_ADD_ROW = 5,        // P1 number, P2 level, P3 date, P4 duration, P5 length, P7 model, P8 real length; Number index
    MSG_SHOW_RESULTS = 6,
    MSG_STATUS2 = 7,        // P2 -> status panel 2
    MSG_SELECT_ROW = 8,     // P1 row index
    MSG_START_PLAY = 9,
    MSG_VIEW_AFTER_LOAD = 10,
    MSG_SHOW_GAUGE2 = 12,
    MSG_GAUGE2_RANGE = 15,  // P1 total
    MSG_STATUS3 = 16,       // P3 -> status panel 3
    MSG_STATUS2_FROM_P3 = 19, // P3 -> status panel 2
};

// How a log line is shown: the window's icon, qrv-cli's error count and its
// quiet mode. Set by the code that reports, which knows whether it failed.
enum class TSeverity : int {
    Info = 0,
    // A finding about the medium (a header that could not be rebuilt): shown
    // like an error, but the operation itself did not fail.
    Warning = 1,
    Error = 2,
};

struct TUiMessage {
    int MsgType = 0;
    std::array<std::string, 8> P; // P[0] is P1 ... P[7] is P8
    TSeverity Severity = TSeverity::Info; // MSG_LOG
    // MSG_PROGRESS_START and MSG_GAUGE2_RANGE: the gauge's total; MSG_SELECT_ROW:
    // the row; MSG_ADD_ROW: the row's result index. -1 when the sender gave only
    // texts: Send_UIMessage then takes a total or a row from P1 when that is a
    // decimal number (else a total of 0, or no row).
    int64_t Number = -1;
    // MSG_SHOW_RESULTS: the sender lists the rows itself right after this
    // event, so the window only clears its list and turns to the results page.
    bool ListedBySender = false;
    // The sender waits until the window has handled the event, because what
    // the window does with it may change what the sender does next: the
    // export selects the row it writes next, and a stop asked for at that
    // moment applies to that file.
    bool AwaitsWindow = false;
};

// Status events that only update the progress record (status panels, the
// second gauge's range): a front end that polls the record can ignore them.
bool Is_ProgressOnly(int type);

// Event makers with typed fields; their texts are those the numbered
// channel always carried (P1 the total in decimal, P2 the label, ...).
TUiMessage Progress_StartEvent(int64_t total, const std::string& label, const std::string& p3 = {});
TUiMessage Gauge2_RangeEvent(int64_t total);
TUiMessage Select_RowEvent(int64_t row);
// A log line: kind, date and time, description.
TUiMessage Log_Event(TSeverity severity, const std::string& kind, const std::string& dateTime,
                     const std::string& description);

class TUiSink {
  public:
    virtual ~TUiSink() = default;
    virtual void Handle_UIMessage(const TUiMessage& msg) = 0;
};

// Installs the sink (nullptr: messages are dropped). Returns the previous one.
std::shared_ptr<TUiSink> Set_UISink(std::shared_ptr<TUiSink> sink);
std::shared_ptr<TUiSink> Get_UISink();

// Sends a message with texts P1, P2, ... in order.
void Send_UIMessage(int type, std::initializer_list<std::string> texts = {});
void Send_UIMessage(const TUiMessage& msg);

// Puts a progress event's content (start, status texts, second total, end)
// into the progress record of the operation bound on the calling thread
// (TOpBinding; nothing when none is). Send_UIMessage does this for every event it sends;
// exposed for front ends that feed a record by hand (tests, tools).
void Publish_Progress(const TUiMessage& msg);

// While one exists on a thread, the gauge and status-panel messages that
// thread sends are dropped (logs and everything else still go out): for work
// done ahead on a helper thread, whose progress would mix with the progress
// of the step the window is showing.
class TQuietProgress {
  public:
    TQuietProgress();
    ~TQuietProgress();
    TQuietProgress(const TQuietProgress&) = delete;
    TQuietProgress& operator=(const TQuietProgress&) = delete;

  private:
    bool was_;
};

// A sink that keeps every message, for tests.
class TRecordingSink : public TUiSink {
  public:
    void Handle_UIMessage(const TUiMessage& msg) override;
    std::vector<TUiMessage> Messages() const;
    // Only the messages of one type.
    std::vector<TUiMessage> OfType(int type) const;
    void Clear();

  private:
    mutable std::mutex mu_;
    std::vector<TUiMessage> messages_;
};

} // namespace qrv

// The worker-to-window message channel. Workers report only through
// Send_UIMessage: a type and up to eight texts. The sink behind it is
// pluggable: the Qt dispatcher, the command-line sink, or a recording sink in
// tests. Sending is synchronous: Send_UIMessage returns when the sink has
// handled the message. Each send hands the sink its own copy of the message,
// so two workers may send at once.
#pragma once

#include <array>
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
    MSG_ADD_ROW = 5,        // P1 number, P2 level, P3 date, P4 duration, P5 length, P6 index, P7 model, P8 real length
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

struct TUiMessage {
    int MsgType = 0;
    std::array<std::string, 8> P; // P[0] is P1 ... P[7] is P8
};

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

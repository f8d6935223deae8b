// The state of one running operation, shared between the front end that
// started it (the window or the command line) and the worker that runs it:
// stop flag, progress counters, written-bytes and judged-blocks counters,
// start time and the progress record. A scan session holds the state of the
// operation running on it (scan, export, preview sample, save, load); an
// operation without a session (imaging, verify, inspect) is handed the state
// its front end owns.
//
// Members touched by both threads are atomics; the rest is guarded by a mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace qrv {

// What a progress display shows of the running operation besides the
// counters: the gauge totals, the label of the first gauge and the two status
// texts. Workers publish into it as they send their progress events; the
// window reads it on a timer and qrv-cli when it redraws its bar, so a worker
// never waits for a display. Totals are atomics; the texts sit under a mutex.
struct TProgressTexts {
    std::string Label;   // the label beside the total (P2 of progress start)
    std::string Status2; // status panel 2
    std::string Status3; // status panel 3
    // Count the sets of each status text (a text set again unchanged counts
    // too): a display overwrites a panel only when its text was set.
    uint64_t Sets2 = 0, Sets3 = 0;
};

class TProgressRecord {
  public:
    std::atomic<int64_t> Total1{0};  // first gauge's total
    std::atomic<int64_t> Total2{0};  // second gauge's total
    std::atomic<bool> Active{false}; // between progress start and progress end
    // Counts every change; a reader skips a record it has already shown.
    std::atomic<uint64_t> Version{0};
    // Counts progress starts: the second gauge's position restarts with each.
    std::atomic<uint64_t> Starts{0};

    void Start(int64_t total, std::string label);
    void End();
    // Status panel 2 and 3; a null text leaves its panel as it is.
    void Set_Status(const std::string* status2, const std::string* status3);
    void Set_SecondTotal(int64_t total);
    TProgressTexts Texts() const;

  private:
    mutable std::mutex mu_;
    TProgressTexts texts_;
};

// Time standard a shooting time is converted in (a scan setting).
enum TTimeStandard : int { TIMESTD_UTC = 0 /* "国际标准时间" */, TIMESTD_CHINA = 1 /* "中国标准时间" */ };

class TOpState {
  public:
    std::atomic<bool> StopFlag{false};
    std::atomic<int32_t> Progress1{0}; // block index / row index, first gauge
    std::atomic<int32_t> Progress2{0}; // analysis / per-file counter, second gauge
    std::atomic<int64_t> WrittenBytes{0};
    std::atomic<int32_t> JudgedBlocks{0};
    // Bytes of the medium the running operation has covered, and their total
    // (0 when the operation is not measured in bytes): the command line shows
    // throughput and the time left from them.
    std::atomic<int64_t> BytesDone{0};
    std::atomic<int64_t> BytesTotal{0};
    // Totals and status texts of the running operation's progress.
    TProgressRecord Record;

    // Start time of the running operation.
    void Set_StartTime(std::chrono::system_clock::time_point t);
    std::chrono::system_clock::time_point StartTime() const;
    // Records now as the start time.
    void Mark_Start();
    // Whole seconds from the start time to now (0 when the clock went back).
    int64_t Elapsed_Seconds(std::chrono::system_clock::time_point now = std::chrono::system_clock::now()) const;

    // Clears the counters and the stop flag.
    void Reset_Counters();

  private:
    mutable std::mutex mu_;
    std::chrono::system_clock::time_point start_{};
};

// While one exists on a thread, the progress events that thread sends through
// the message channel are put into op's progress record (Publish_Progress):
// an operation binds its own state on the thread that runs it, and helper
// threads that send progress for it bind it too. Bindings nest; the innermost
// one counts.
class TOpBinding {
  public:
    explicit TOpBinding(TOpState& op);
    ~TOpBinding();
    TOpBinding(const TOpBinding&) = delete;
    TOpBinding& operator=(const TOpBinding&) = delete;

  private:
    TOpState* previous_;
};
// The state bound on the calling thread (null: none).
TOpState* Bound_OpState();

} // namespace qrv

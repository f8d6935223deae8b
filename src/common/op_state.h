// The operation state shared between the window (or command line) and the one
// worker that runs a long operation: stop flag, progress counters, written-bytes
// and judged-blocks counters, start time, current source path, and the scan
// settings read deep inside parsing (time standard, date window).
//
// Members touched by both threads are atomics; the rest is guarded by a mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace qrv {

enum TTimeStandard : int { TIMESTD_UTC = 0 /* "国际标准时间" */, TIMESTD_CHINA = 1 /* "中国标准时间" */ };

class TOpState {
  public:
    std::atomic<bool> StopFlag{false};
    std::atomic<int32_t> Progress1{0}; // block index / row index, first gauge
    std::atomic<int32_t> Progress2{0}; // analysis / per-file counter, second gauge
    std::atomic<int64_t> WrittenBytes{0};
    std::atomic<int32_t> JudgedBlocks{0};
    std::atomic<bool> ViewFilledByScan{false};
    // Bytes of the medium the running operation has covered, and their total
    // (0 when the operation is not measured in bytes): the command line shows
    // throughput and the time left from them.
    std::atomic<int64_t> BytesDone{0};
    std::atomic<int64_t> BytesTotal{0};

    // Start time of the running operation.
    void Set_StartTime(std::chrono::system_clock::time_point t);
    std::chrono::system_clock::time_point StartTime() const;
    // Records now as the start time.
    void Mark_Start();
    // Whole seconds from the start time to now (0 when the clock went back).
    int64_t Elapsed_Seconds(std::chrono::system_clock::time_point now = std::chrono::system_clock::now()) const;

    // Path opened by the last scan or set by loading a result file.
    void Set_SourcePath(std::string path);
    std::string SourcePath() const;

    // Time standard used when a shooting time is converted (default UTC).
    std::atomic<int> TimeStandard{TIMESTD_UTC};

    // Date window of the scan's date filter, as date-time values (days since
    // 1899-12-30 with the time of day as fraction).
    void Set_DateWindow(double start, double end);
    double DateWindowStart() const;
    double DateWindowEnd() const;

    // Clears the counters and the stop flag (not the settings or the source path).
    void Reset_Counters();

  private:
    mutable std::mutex mu_;
    std::chrono::system_clock::time_point start_{};
    std::string sourcePath_;
    double dateStart_ = 0, dateEnd_ = 0;
};

// The process-wide instance.
TOpState& Op_State();

} // namespace qrv

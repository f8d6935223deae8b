// Long operations run on worker threads started here. The body reports through
// the message channel as any operation does (progress start, status, log
// lines, progress end). When the body throws, the failure becomes an error
// line in the log ("错误类型:" + operation name, "错误内容:" + reason) and an
// operation's closing sequence runs (progress end), so a failure can never
// leave the window disabled.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qrv::app {

enum class TWorkerKind {
    // A long operation: disables the window through its progress messages;
    // only one runs at a time. After a failure progress end is sent.
    Operation,
    // Work beside the operations that never touches the window's state (the
    // preview's sample builder, saving the log). After a failure only the
    // error line is sent.
    Background,
};

// The error line of a failed worker: kind "错误类型:" + name, description
// "错误内容:" + reason (both labels translated when English is active).
void Log_WorkerFailure(const std::string& name, const std::string& reason);

class TWorkerRunner {
  public:
    TWorkerRunner() = default;
    ~TWorkerRunner(); // waits for every worker (Wait_All must have run on the window thread first)
    TWorkerRunner(const TWorkerRunner&) = delete;
    TWorkerRunner& operator=(const TWorkerRunner&) = delete;

    // Starts body on a new thread. Returns false (and starts nothing) when an
    // operation is asked for while another operation still runs.
    bool Start(const std::string& name, std::function<void()> body, TWorkerKind kind);
    // Starts an operation that follows the operation running now: its thread
    // waits until that one has ended, then runs body. Meant for an operation
    // that a running one asks for through the message channel (a load of a
    // result file ends by asking for the results to be listed); the window
    // stays busy from the first operation to the end of the second. Without a
    // running operation it starts at once. False when an operation is already
    // waiting to follow.
    bool Start_Next(const std::string& name, std::function<void()> body);

    // True while an operation worker runs.
    bool Operation_Running() const;
    // True when no worker of any kind runs.
    bool Idle() const;
    // Waits until every worker has ended; wait is called repeatedly meanwhile
    // (the window handles the events they post there).
    void Wait_All(const std::function<void()>& wait);

  private:
    struct TWorker {
        std::thread Thread;
        TWorkerKind Kind;
        std::atomic<bool> Done{false};
    };
    void Reap(); // joins finished workers
    // Shared with a following worker, which watches it end.
    std::vector<std::shared_ptr<TWorker>> workers_;
};

} // namespace qrv::app

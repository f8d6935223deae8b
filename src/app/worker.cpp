#include "app/worker.h"

#include <chrono>
#include <exception>

#include "common/language.h"
#include "common/op_state.h"
#include "common/text_format.h"
#include "common/ui_message.h"

namespace qrv::app {

void Log_WorkerFailure(const std::string& name, const std::string& reason) {
    Send_Log(TSeverity::Error, Tr("错误类型:") + name, Tr("错误内容:") + reason);
}

namespace {

// Runs the body and turns any escape into the error line and the closing
// sequence. Nothing leaves this function: an exception on a std::thread would
// end the program.
void Run_Guarded(const std::string& name, const std::function<void()>& body, TWorkerKind kind) {
    std::string reason;
    bool failed = false;
    try {
        body();
    } catch (const std::exception& e) {
        failed = true;
        reason = e.what();
    } catch (...) {
        failed = true;
        reason = Tr("未知错误");
    }
    if (!failed) return;
    try {
        Log_WorkerFailure(name, reason);
    } catch (...) {
    }
    if (kind == TWorkerKind::Operation) {
        try {
            Send_UIMessage(MSG_PROGRESS_END);
        } catch (...) {
        }
    }
}

} // namespace

TWorkerRunner::~TWorkerRunner() {
    for (auto& w : workers_)
        if (w->Thread.joinable()) w->Thread.join();
}

void TWorkerRunner::Reap() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if ((*it)->Done) {
            if ((*it)->Thread.joinable()) (*it)->Thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

bool TWorkerRunner::Start(const std::string& name, std::function<void()> body, TWorkerKind kind) {
    Reap();
    if (kind == TWorkerKind::Operation && Operation_Running()) return false;
    auto w = std::make_shared<TWorker>();
    w->Kind = kind;
    TWorker* raw = w.get();
    workers_.push_back(std::move(w));
    raw->Thread = std::thread([raw, name, body = std::move(body), kind] {
        Run_Guarded(name, body, kind);
        raw->Done = true;
    });
    return true;
}

bool TWorkerRunner::Start_Next(const std::string& name, std::function<void()> body) {
    Reap();
    std::vector<std::shared_ptr<TWorker>> running;
    for (const auto& w : workers_)
        if (w->Kind == TWorkerKind::Operation && !w->Done) running.push_back(w);
    if (running.size() > 1) return false; // one already waits to follow
    auto w = std::make_shared<TWorker>();
    w->Kind = TWorkerKind::Operation;
    TWorker* raw = w.get();
    workers_.push_back(std::move(w));
    std::shared_ptr<TWorker> before = running.empty() ? nullptr : running.front();
    raw->Thread = std::thread([raw, before, name, body = std::move(body)] {
        // The operation before has ended once its worker has; its events
        // are already queued ahead of this one's.
        while (before && !before->Done)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        Run_Guarded(name, body, TWorkerKind::Operation);
        raw->Done = true;
    });
    return true;
}

bool TWorkerRunner::Operation_Running() const {
    for (const auto& w : workers_)
        if (w->Kind == TWorkerKind::Operation && !w->Done) return true;
    return false;
}

bool TWorkerRunner::Idle() const {
    for (const auto& w : workers_)
        if (!w->Done) return false;
    return true;
}

void TWorkerRunner::Wait_All(const std::function<void()>& wait) {
    while (!Idle())
        wait();
    Reap();
}

} // namespace qrv::app

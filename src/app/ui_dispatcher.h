// The Qt side of the message channel. A worker's event is posted to the
// window's thread and handled there in the order it was sent (a queued,
// non-blocking post): a worker never waits for the window to repaint. An
// event sent from the window thread itself runs the handler directly.
//
// Progress-only events (status texts, the second gauge's range) are not
// posted at all: Send_UIMessage has put them into the operation state's
// progress record, which the progress dialog polls on a timer.
//
// An event marked AwaitsWindow is handled the same way, but its sender waits
// until the handler has run: the export's selection of the row it writes
// next, so that a stop asked for while that row is shown applies to its file.
// The stop question itself is asked on the window thread; the worker only
// reads the stop flag it sets.
#pragma once

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>

#include "common/ui_message.h"

namespace qrv::app {

class TQtDispatcher : public TUiSink {
  public:
    // handler runs on target's thread; target must outlive the dispatcher's
    // use (the window closes it before it goes away).
    TQtDispatcher(QObject* target, std::function<void(const TUiMessage&)> handler);

    void Handle_UIMessage(const TUiMessage& msg) override;

    // After Close, events are dropped, also those already posted: the window
    // is going away.
    void Close() { state_->Closed = true; }
    bool Closed() const { return state_->Closed; }
    // Events posted and not yet handled (or dropped).
    int64_t Pending() const { return state_->Pending; }

  private:
    // Shared with every posted event, so that one still queued when the
    // dispatcher is gone finds it closed rather than a dangling handler.
    struct TState {
        std::function<void(const TUiMessage&)> Handler;
        std::atomic<bool> Closed{false};
        std::atomic<int64_t> Pending{0};
    };
    QObject* target_;
    std::shared_ptr<TState> state_;
};

// Installs a dispatcher as the process's message sink for the lifetime of the
// scope and restores the previous sink afterwards.
class TDispatcherScope {
  public:
    TDispatcherScope(QObject* target, std::function<void(const TUiMessage&)> handler);
    ~TDispatcherScope();
    TDispatcherScope(const TDispatcherScope&) = delete;
    TDispatcherScope& operator=(const TDispatcherScope&) = delete;
    TQtDispatcher& Dispatcher() { return *dispatcher_; }

  private:
    std::shared_ptr<TQtDispatcher> dispatcher_;
    std::shared_ptr<TUiSink> previous_;
};

} // namespace qrv::app

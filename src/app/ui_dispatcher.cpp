#include "app/ui_dispatcher.h"

#include <QMetaObject>
#include <QThread>

#include <exception>

namespace qrv::app {

TQtDispatcher::TQtDispatcher(QObject* target, std::function<void(const TUiMessage&)> handler)
    : target_(target), state_(std::make_shared<TState>()) {
    state_->Handler = std::move(handler);
}

namespace {

// An escape from the handler must not cross the event loop: an event that
// cannot be shown (a number the gauge cannot hold) is dropped.
void Run_Handler(const std::function<void(const TUiMessage&)>& handler, const TUiMessage& msg) {
    try {
        handler(msg);
    } catch (const std::exception&) {
    }
}

} // namespace

void TQtDispatcher::Handle_UIMessage(const TUiMessage& msg) {
    if (state_->Closed || Is_ProgressOnly(msg.MsgType)) return;
    if (QThread::currentThread() == target_->thread()) {
        Run_Handler(state_->Handler, msg);
        return;
    }
    if (msg.AwaitsWindow) {
        // Queued behind everything posted before it, and waited for.
        QMetaObject::invokeMethod(
            target_,
            [state = state_, &msg] {
                if (!state->Closed) Run_Handler(state->Handler, msg);
            },
            Qt::BlockingQueuedConnection);
        return;
    }
    // Events posted to one object are delivered in the order they were
    // posted, which keeps rows, log lines and the results page in order.
    ++state_->Pending;
    QMetaObject::invokeMethod(
        target_,
        [state = state_, msg] {
            if (!state->Closed) Run_Handler(state->Handler, msg);
            --state->Pending;
        },
        Qt::QueuedConnection);
}

TDispatcherScope::TDispatcherScope(QObject* target, std::function<void(const TUiMessage&)> handler)
    : dispatcher_(std::make_shared<TQtDispatcher>(target, std::move(handler))),
      previous_(Set_UISink(dispatcher_)) {}

TDispatcherScope::~TDispatcherScope() {
    dispatcher_->Close();
    // Put the previous sink back only when ours is still the installed one.
    auto current = Set_UISink(previous_);
    if (current != dispatcher_) Set_UISink(current);
}

} // namespace qrv::app

// The Qt side of the message channel. A worker's Send_UIMessage runs the
// window's handler on the window thread and waits for it to return (a blocking
// queued call); a message sent from the window thread itself runs the handler
// directly, since a blocking queued call to one's own thread would deadlock.
// An exception thrown by the handler (a number text that is not a number) is
// handed back to the sender.
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

    // After Close, messages are dropped: the window is going away.
    void Close() { closed_ = true; }
    bool Closed() const { return closed_; }

  private:
    QObject* target_;
    std::function<void(const TUiMessage&)> handler_;
    std::atomic<bool> closed_{false};
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

// A number text of a message: optional sign and decimal digits only, within
// 32 bits. Anything else throws std::invalid_argument naming the text.
int32_t Message_Number(const std::string& text);

} // namespace qrv::app

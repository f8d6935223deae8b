#include "app/ui_dispatcher.h"

#include <QMetaObject>
#include <QThread>

#include <exception>
#include <limits>
#include <stdexcept>

namespace qrv::app {

TQtDispatcher::TQtDispatcher(QObject* target, std::function<void(const TUiMessage&)> handler)
    : target_(target), handler_(std::move(handler)) {}

void TQtDispatcher::Handle_UIMessage(const TUiMessage& msg) {
    if (closed_) return;
    if (QThread::currentThread() == target_->thread()) {
        handler_(msg);
        return;
    }
    std::exception_ptr failure;
    QMetaObject::invokeMethod(
        target_,
        [&] {
            if (closed_) return;
            try {
                handler_(msg);
            } catch (...) {
                failure = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (failure) std::rethrow_exception(failure);
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

int32_t Message_Number(const std::string& text) {
    auto fail = [&] { throw std::invalid_argument("'" + text + "' is not a valid integer value"); };
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) fail();
    int64_t v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') fail();
        v = v * 10 + (text[i] - '0');
        if (v > int64_t(std::numeric_limits<int32_t>::max()) + 1) fail();
    }
    if (negative) v = -v;
    if (v > std::numeric_limits<int32_t>::max() || v < std::numeric_limits<int32_t>::min()) fail();
    return int32_t(v);
}

} // namespace qrv::app

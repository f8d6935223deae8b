// Prints what the source commands send through the message channel: log lines
// and progress on stderr.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "common/ui_message.h"

namespace qrv::cli {

class TSourceLogSink : public TUiSink {
  public:
    void Handle_UIMessage(const TUiMessage& m) override {
        std::lock_guard<std::mutex> lock(mu_);
        switch (m.MsgType) {
        case MSG_LOG:
            End_Line();
            std::fprintf(stderr, "%s %s %s\n", m.P[1].c_str(), m.P[0].c_str(), m.P[2].c_str());
            break;
        case MSG_PROGRESS_START:
            total_ = m.P[0];
            if (!m.P[1].empty()) {
                End_Line();
                std::fprintf(stderr, "%s%s\n", m.P[1].c_str(), m.P[0].c_str());
            }
            break;
        case MSG_PROGRESS_STATUS:
            std::fprintf(stderr, "\r%s  %s/%s   ", m.P[1].c_str(), m.P[2].c_str(), total_.c_str());
            open_ = true;
            break;
        case MSG_PROGRESS_END: End_Line(); break;
        default: break;
        }
        std::fflush(stderr);
    }

  private:
    void End_Line() {
        if (open_) std::fputc('\n', stderr);
        open_ = false;
    }
    std::mutex mu_;
    std::string total_;
    bool open_ = false;
};

// Installs the sink for the lifetime of the object.
class TSourceLogScope {
  public:
    TSourceLogScope() : prev_(Set_UISink(std::make_shared<TSourceLogSink>())) {}
    ~TSourceLogScope() { Set_UISink(prev_); }

  private:
    std::shared_ptr<TUiSink> prev_;
};

} // namespace qrv::cli

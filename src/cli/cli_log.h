// What the source commands (hex, regions) send through the message channel is
// printed by the terminal sink of the core: log lines and a progress bar on
// stderr.
#pragma once

#include <memory>

#include "common/cli_sink.h"
#include "common/ui_message.h"

namespace qrv::cli {

// Installs the terminal sink for the lifetime of the object.
class TSourceLogScope {
  public:
    TSourceLogScope() : prev_(Set_UISink(std::make_shared<::qrv::TCliSink>())) {}
    ~TSourceLogScope() { Set_UISink(prev_); }
    TSourceLogScope(const TSourceLogScope&) = delete;
    TSourceLogScope& operator=(const TSourceLogScope&) = delete;

  private:
    std::shared_ptr<TUiSink> prev_;
};

} // namespace qrv::cli

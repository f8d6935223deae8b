#include "common/text_format.h"

#include <ctime>

#include "common/ui_message.h"

namespace qrv {

std::string Now_Text() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    size_t n = std::strftime(buf, sizeof buf, "%x %X", &tm);
    return std::string(buf, n);
}

void Send_Log(const std::string& kind, const std::string& description) {
    Send_UIMessage(MSG_LOG, {kind, Now_Text(), description});
}

} // namespace qrv

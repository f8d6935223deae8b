// Text helpers shared by every operation.
#pragma once

#include <string>

namespace qrv {

// "Now": the current local date in the locale's short date format, a space, and
// the current local time in its long time format.
std::string Now_Text();

// Sends a log line (message type 0): kind, Now_Text(), description. The texts
// are sent as given: callers translate their pieces with Tr() first.
void Send_Log(const std::string& kind, const std::string& description);

// Duration text: seconds with at most four decimals, no trailing zeros, no
// decimal point for whole values, no digit before the point below 1 (".5");
// 0 gives "0".
std::string Format_Duration(long double seconds);

} // namespace qrv

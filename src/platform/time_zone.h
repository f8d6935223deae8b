// The computer's time-zone base offset, as the shooting-date conversion uses it:
// minutes with UTC = local time + bias (so UTC+8 gives -480). Daylight saving
// is not applied. Tests pin the value with Set_TimeZoneBiasOverride.
#pragma once

#include <optional>

namespace qrv {

int Get_TimeZoneBias();
void Set_TimeZoneBiasOverride(std::optional<int> minutes);

} // namespace qrv

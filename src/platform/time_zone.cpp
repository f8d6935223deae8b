#include "platform/time_zone.h"

#include <atomic>
#include <climits>
#include <ctime>
#include <mutex>

namespace qrv {

namespace {
std::atomic<int> g_override{INT_MIN};
}

int Get_TimeZoneBias() {
    int o = g_override.load();
    if (o != INT_MIN) return o;
    static std::once_flag once;
    static int bias = 0;
    std::call_once(once, [] {
        ::tzset();
        bias = int(::timezone / 60); // seconds west of UTC -> minutes, UTC = local + bias
    });
    return bias;
}

void Set_TimeZoneBiasOverride(std::optional<int> minutes) { g_override.store(minutes ? *minutes : INT_MIN); }

} // namespace qrv

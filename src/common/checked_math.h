// Checked 64-bit arithmetic for byte offsets: sector numbers come from users,
// boot sectors and partition tables, and a sector number times a sector size
// that does not fit in 64 bits must be refused, not wrapped into a small or
// negative offset.
#pragma once

#include <cstdint>
#include <optional>

namespace qrv {

inline std::optional<int64_t> Mul_Checked(int64_t a, int64_t b) {
    int64_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

inline std::optional<int64_t> Add_Checked(int64_t a, int64_t b) {
    int64_t r = 0;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}

} // namespace qrv

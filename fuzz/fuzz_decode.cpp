// The avcC search and the sample judge over arbitrary bytes. The input is a
// 32-bit big-endian length n, n bytes taken as a movie box, and the rest taken
// as one sample: the decoder is set up from whatever configuration the movie
// box yields and judges the sample (its NAL framing is checked before any
// byte reaches the decoder). Inputs too short for the length are a movie box
// alone.
#include <cstddef>
#include <cstdint>
#include <span>

#include "analysis/sample_decode.h"
#include "common/byte_order.h"

using namespace qrv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    const uint32_t n = BE32_At(input, 0);
    const bool split = size >= 4 && n <= size - 4;
    const auto moov = split ? input.subspan(4, n) : input;
    const auto sample = split ? input.subspan(4 + n) : std::span<const uint8_t>{};
    const std::vector<uint8_t> config = Find_AvcConfig(moov);
    if (config.empty()) return 0;
    TSampleDecoder dec(config);
    if (dec.Ok()) dec.Judge(sample);
    return 0;
}

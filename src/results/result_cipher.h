// Field cipher of the scan-result file. Every value stored in a result file is
// a text enciphered with AES-256 in ECB mode (zero-filled last block, no
// padding block) under the field key, framed with its plaintext length, and
// then every frame byte is complemented and masked with kFieldMask.
//
// Nothing here throws: an input of the wrong length is a clean failure
// (std::nullopt), so that a damaged result file ends a load with a log line.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qrv {

using TBytes = std::vector<uint8_t>;
using TAesKey = std::array<uint8_t, 32>;

// The mask byte of the result-file format. Chosen once: files written with
// another value cannot be read, so it must never change.
inline constexpr uint8_t kFieldMask = 0x5A;

// Bytes of the frame header (plaintext length, signed 64-bit little-endian).
inline constexpr size_t kFrameHeader = 8;

// Copies a key text into a zero-filled 32-byte key buffer (cut after 32 bytes).
TAesKey Make_KeyBuffer(std::string_view keyText);

// The field key text: (kFieldMask XOR 0xFF) as four uppercase hex digits.
std::string Field_KeyText();

// Enciphers in 16-byte blocks; a final partial block is zero-filled first. An
// empty input gives an empty output. nullopt only if the cipher library fails.
std::optional<TBytes> AES_EncryptStream(std::span<const uint8_t> in, const TAesKey& key);

// Deciphers each 16-byte block independently; the zero filling stays in the
// output. nullopt when the length is not a multiple of 16.
std::optional<TBytes> AES_DecryptStream(std::span<const uint8_t> in, const TAesKey& key);

// Stored bytes of a field text: empty text -> no bytes; otherwise the masked
// frame, 8 + 16 * ceil(n / 16) bytes for a text of n bytes.
std::optional<TBytes> Encrypt_FieldText(std::string_view text);

// Text of stored field bytes, zero filling included (the caller trims). No
// bytes give the empty text; nullopt when the frame is shorter than its header
// or its cipher part is not a multiple of 16 bytes.
std::optional<std::string> Decrypt_FieldText(std::span<const uint8_t> stored);

// As Decrypt_FieldText, and also nullopt when the frame disagrees with itself:
// its stored length does not give its size, or the zero filling after the
// text is not zero (a damaged byte of the length or of the last block).
// Returns the text without the filling.
std::optional<std::string> Decrypt_FieldChecked(std::span<const uint8_t> stored);

// Number of stored bytes a text of n bytes occupies.
inline constexpr size_t Field_StoredSize(size_t n) {
    return n == 0 ? 0 : kFrameHeader + 16 * ((n + 15) / 16);
}

} // namespace qrv

// Text encodings met in untrusted bytes: UTF-8 validation, and GB18030 (the
// Chinese code page cameras and old language files use) decoded to UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qrv {

// True when s is well-formed UTF-8 (no overlong forms, surrogates or values
// above U+10FFFF).
bool Is_ValidUtf8(std::string_view s);

// Appends code point cp in UTF-8.
void Append_Utf8(std::string& out, uint32_t cp);

// GB18030 bytes to UTF-8 through iconv; bytes that do not convert become U+FFFD.
std::string Gb18030_ToUtf8(std::string_view in);

// Display width of UTF-8 text in terminal columns: East Asian wide characters
// count two, everything else (an invalid byte too) one.
int Text_Columns(std::string_view text);

// The longest prefix of text that fits in width columns.
std::string Cut_ToColumns(const std::string& text, int width);

} // namespace qrv

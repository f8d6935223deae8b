#include "common/text_encoding.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

namespace qrv {

bool Is_ValidUtf8(std::string_view s) {
    size_t i = 0, n = s.size();
    while (i < n) {
        uint8_t c = uint8_t(s[i]);
        size_t len;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (size_t k = 1; k < len; ++k) {
            uint8_t cc = uint8_t(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values above U+10FFFF are not UTF-8.
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

void Append_Utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

std::string Gb18030_ToUtf8(std::string_view in) {
    iconv_t cd = iconv_open("UTF-8", "GB18030");
    if (cd == iconv_t(-1)) return std::string(in);
    std::string out;
    std::vector<char> src(in.begin(), in.end());
    char* ip = src.data();
    size_t il = src.size();
    char buf[4096];
    while (il > 0) {
        char* op = buf;
        size_t ol = sizeof buf;
        size_t r = iconv(cd, &ip, &il, &op, &ol);
        out.append(buf, size_t(op - buf));
        if (r == size_t(-1)) {
            if (errno == E2BIG) continue;
            // EILSEQ or EINVAL (truncated sequence at the end): skip one byte.
            Append_Utf8(out, 0xFFFD);
            ++ip;
            --il;
        }
    }
    iconv_close(cd);
    return out;
}

namespace {

// Decodes one UTF-8 sequence at s[i]; advances i. Invalid bytes count as one
// narrow character each.
uint32_t Next_CodePoint(std::string_view s, size_t& i) {
    uint8_t c = uint8_t(s[i]);
    size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
    if (i + len > s.size()) len = 1;
    uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < len; ++k) {
        uint8_t cc = uint8_t(s[i + k]);
        if ((cc & 0xC0) != 0x80) {
            len = 1;
            cp = c;
            break;
        }
        cp = (cp << 6) | (cc & 0x3F);
    }
    i += len;
    return cp;
}

bool Is_Wide(uint32_t cp) {
    return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) || (cp >= 0xAC00 && cp <= 0xD7A3) ||
           (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
           (cp >= 0xFFE0 && cp <= 0xFFE6) || cp >= 0x20000;
}

} // namespace

int Text_Columns(std::string_view text) {
    size_t i = 0;
    int cols = 0;
    while (i < text.size())
        cols += Is_Wide(Next_CodePoint(text, i)) ? 2 : 1;
    return cols;
}

std::string Cut_ToColumns(const std::string& text, int width) {
    size_t i = 0;
    int cols = 0;
    while (i < text.size()) {
        size_t start = i;
        uint32_t cp = Next_CodePoint(text, i);
        int w = Is_Wide(cp) ? 2 : 1;
        if (cols + w > width) return text.substr(0, start);
        cols += w;
    }
    return text;
}

} // namespace qrv

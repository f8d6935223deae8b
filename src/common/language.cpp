#include "common/language.h"

#include "common/text_encoding.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <mutex>
#include <shared_mutex>

namespace qrv {

namespace {

std::atomic<int> g_language{0};
std::atomic<uint16_t> g_languageId{LANGID_CHINESE};

std::shared_mutex g_tableMu;
std::shared_ptr<const TLanguageTable> g_table = std::make_shared<const TLanguageTable>();

std::string Fold_Case(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

// UTF-16 code units from offset 2 (after the byte-order mark); an odd last
// byte is dropped, unpaired surrogates become U+FFFD.
std::string Utf16_ToUtf8(const std::vector<uint8_t>& b, bool bigEndian) {
    std::string out;
    size_t units = (b.size() - 2) / 2;
    auto unit = [&](size_t k) -> uint32_t {
        size_t p = 2 + 2 * k;
        return bigEndian ? (uint32_t(b[p]) << 8) | b[p + 1] : (uint32_t(b[p + 1]) << 8) | b[p];
    };
    for (size_t k = 0; k < units; ++k) {
        uint32_t u = unit(k);
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units) {
            uint32_t lo = unit(k + 1);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                Append_Utf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++k;
                continue;
            }
        }
        Append_Utf8(out, (u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u);
    }
    return out;
}

} // namespace

// ---- table ----

void TLanguageTable::Clear() {
    entries_.clear();
    index_.clear();
}

void TLanguageTable::Add(std::string name, std::string value) {
    index_.emplace(Fold_Case(name), entries_.size()); // keeps the first entry of a name
    entries_.emplace_back(std::move(name), std::move(value));
}

void TLanguageTable::Load_Text(std::string_view text) {
    Clear();
    size_t i = 0, n = text.size();
    while (i < n) {
        size_t e = i;
        while (e < n && text[e] != '\r' && text[e] != '\n') ++e;
        std::string_view line = text.substr(i, e - i);
        size_t eq = line.find('=');
        if (eq != std::string_view::npos) Add(std::string(line.substr(0, eq)), std::string(line.substr(eq + 1)));
        if (e < n && text[e] == '\r' && e + 1 < n && text[e + 1] == '\n') ++e;
        i = e + 1;
    }
}

bool TLanguageTable::Find(std::string_view text, std::string& value) const {
    auto it = index_.find(Fold_Case(text));
    if (it == index_.end()) return false;
    value = entries_[it->second].second;
    return true;
}

// ---- files ----

std::string Decode_TextBytes(const std::vector<uint8_t>& b) {
    if (b.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        std::string_view s(reinterpret_cast<const char*>(b.data()) + 3, b.size() - 3);
        return Is_ValidUtf8(s) ? std::string(s) : Gb18030_ToUtf8(s);
    }
    if (b.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE) return Utf16_ToUtf8(b, false);
    if (b.size() >= 2 && b[0] == 0xFE && b[1] == 0xFF) return Utf16_ToUtf8(b, true);
    std::string_view s(reinterpret_cast<const char*>(b.data()), b.size());
    return Is_ValidUtf8(s) ? std::string(s) : Gb18030_ToUtf8(s);
}

void Scramble_Bytes(std::vector<uint8_t>& bytes, uint8_t key) {
    for (auto& c : bytes) c ^= key;
}

// ---- process-wide state ----

int Get_Language() { return g_language.load(); }
void Set_Language(int language) { g_language.store(language); }
uint16_t Get_LanguageId() { return g_languageId.load(); }
void Set_LanguageId(uint16_t id) { g_languageId.store(id); }

void Set_LanguageTable(TLanguageTable table) {
    auto p = std::make_shared<const TLanguageTable>(std::move(table));
    std::unique_lock<std::shared_mutex> lk(g_tableMu);
    g_table = std::move(p);
}

std::shared_ptr<const TLanguageTable> Get_LanguageTable() {
    std::shared_lock<std::shared_mutex> lk(g_tableMu);
    return g_table;
}

bool Language_TableEmpty() { return Get_LanguageTable()->Empty(); }

std::string Translate_Text(const std::string& text) {
    std::string v;
    Get_LanguageTable()->Find(text, v);
    return v;
}

std::string Tr(const std::string& text) {
    if (Get_Language() != 1) return text;
    auto t = Get_LanguageTable();
    if (t->Empty()) return text;
    std::string v;
    t->Find(text, v);
    return v;
}

std::string Trim_Text(std::string_view text) {
    size_t b = 0, e = text.size();
    while (b < e && uint8_t(text[b]) <= 0x20) ++b;
    while (e > b && uint8_t(text[e - 1]) <= 0x20) --e;
    return std::string(text.substr(b, e - b));
}

std::string Translate_Caption(const std::string& text, bool trim) {
    if (Get_Language() != 1) return text;
    auto t = Get_LanguageTable();
    if (t->Empty()) return text;
    std::string v;
    if (t->Find(trim ? Trim_Text(text) : text, v)) return v;
    return text;
}

} // namespace qrv

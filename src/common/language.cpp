#include "common/language.h"

#include <iconv.h>
#include <sys/stat.h>

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

// GB18030 bytes to UTF-8; bytes iconv cannot convert become U+FFFD.
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

bool Read_WholeFile(const std::string& path, std::vector<uint8_t>& out) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    out.clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

std::string Join_Path(const std::string& folder, const char* rel) {
    if (folder.empty()) return rel;
    return folder.back() == '/' ? folder + rel : folder + "/" + rel;
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

bool Load_LanguageFile(const std::string& path, TLanguageTable& table, uint8_t key) {
    std::vector<uint8_t> bytes;
    if (!Read_WholeFile(path, bytes) || bytes.empty()) return false;
    Scramble_Bytes(bytes, key);
    table.Load_Text(Decode_TextBytes(bytes));
    return true;
}

bool Load_LanguageFile(const std::string& path, uint8_t key) {
    TLanguageTable t;
    if (!Load_LanguageFile(path, t, key)) return false;
    Set_LanguageTable(std::move(t));
    return true;
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

// ---- settings file and start ----

int Read_LanguageSetting(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (!Read_WholeFile(path, bytes)) return 0;
    std::string text = Decode_TextBytes(bytes);
    std::string line = Trim_Text(text.substr(0, text.find_first_of("\r\n")));
    if (!line.empty() && line[0] == '+') line.erase(0, 1);
    int value = 0;
    auto [p, ec] = std::from_chars(line.data(), line.data() + line.size(), value);
    if (line.empty() || ec != std::errc() || p != line.data() + line.size()) return 0;
    return value;
}

int Language_Start(const std::string& programFolder, const std::string& settingsFile) {
    Set_Language(0);
    Set_LanguageId(LANGID_CHINESE);
    Set_LanguageTable(TLanguageTable());
    // Any number other than 1 keeps the Chinese texts.
    const std::string settings =
        settingsFile.empty() ? Join_Path(programFolder, LANGUAGE_SETTINGS_FILE) : settingsFile;
    int language = Read_LanguageSetting(settings) == 1 ? 1 : 0;
    if (language == 1) {
        Set_LanguageId(LANGID_ENGLISH);
        Load_LanguageFile(Join_Path(programFolder, LANGUAGE_FILE));
    }
    Set_Language(language);
    return language;
}

TLanguageSwitch Switch_Language(int language, const std::function<bool(int)>& store) {
    TLanguageSwitch r;
    language = language == 1 ? 1 : 0;
    Set_Language(language);
    r.Stored = store && store(language);
    if (language == 1) {
        r.LanguageId = LANGID_ENGLISH;
        r.Message = "The setup language is successful. Please restart the program and use the new language!";
        r.Caption = "Set up success";
    } else {
        r.LanguageId = LANGID_CHINESE;
        r.Message = "设置语言成功,请重新启动程序,使用新语言!";
        r.Caption = "设置成功";
    }
    Set_LanguageId(r.LanguageId);
    return r;
}

} // namespace qrv

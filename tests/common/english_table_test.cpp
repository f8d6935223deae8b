// The English language table: its plain form data/English.txt, the scrambled
// file the build puts next to the programs, and its completeness against the
// Chinese text literals of the program's sources.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "common/language.h"
#include "platform/language_files.h"
#include "support/test_env.h"

using namespace qrv;
using qrv::test::Read_File;

namespace {

std::string Source_Dir() {
    const char* d = std::getenv("QRV_SOURCE_DIR");
    return d && *d ? d : QRV_SOURCE_DIR_DEFAULT;
}

std::string Text_Of(const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); }

// True for code points of the CJK ideograph blocks and CJK punctuation.
bool Has_Cjk(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        uint8_t c = uint8_t(s[i]);
        uint32_t cp;
        size_t len;
        if (c < 0x80) cp = c, len = 1;
        else if ((c & 0xE0) == 0xC0 && i + 1 < s.size()) cp = ((c & 0x1Fu) << 6) | (uint8_t(s[i + 1]) & 0x3F), len = 2;
        else if ((c & 0xF0) == 0xE0 && i + 2 < s.size())
            cp = ((c & 0x0Fu) << 12) | ((uint8_t(s[i + 1]) & 0x3Fu) << 6) | (uint8_t(s[i + 2]) & 0x3F), len = 3;
        else if ((c & 0xF8) == 0xF0 && i + 3 < s.size())
            cp = ((c & 0x07u) << 18) | ((uint8_t(s[i + 1]) & 0x3Fu) << 12) | ((uint8_t(s[i + 2]) & 0x3Fu) << 6) |
                 (uint8_t(s[i + 3]) & 0x3F),
            len = 4;
        else cp = c, len = 1;
        if ((cp >= 0x3000 && cp <= 0x303F) || (cp >= 0x3400 && cp <= 0x9FFF) || (cp >= 0xF900 && cp <= 0xFAFF) ||
            (cp >= 0xFF00 && cp <= 0xFFEF) || (cp >= 0x20000 && cp <= 0x2FFFF))
            return true;
        i += len;
    }
    return false;
}

void Append_Utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) out += char(cp);
    else if (cp < 0x800) out += char(0xC0 | (cp >> 6)), out += char(0x80 | (cp & 0x3F));
    else if (cp < 0x10000)
        out += char(0xE0 | (cp >> 12)), out += char(0x80 | ((cp >> 6) & 0x3F)), out += char(0x80 | (cp & 0x3F));
    else
        out += char(0xF0 | (cp >> 18)), out += char(0x80 | ((cp >> 12) & 0x3F)),
            out += char(0x80 | ((cp >> 6) & 0x3F)), out += char(0x80 | (cp & 0x3F));
}

} // namespace

// The string literals of C++ source text, escapes decoded, adjacent literals
// joined as the compiler joins them; comments, character literals and raw
// strings are understood so that quotes inside them are not taken for literals.
std::vector<std::string> String_Literals(const std::string& src) {
    std::vector<std::string> out;
    bool joinable = false; // only blanks and comments since the last literal
    auto add = [&](std::string lit) {
        if (joinable && !out.empty()) out.back() += lit;
        else out.push_back(std::move(lit));
        joinable = true;
    };
    size_t i = 0, n = src.size();
    auto ident = [](char c) { return std::isalnum(uint8_t(c)) || c == '_'; };
    while (i < n) {
        char c = src[i];
        if (c == '/' && i + 1 < n && src[i + 1] == '/') {
            while (i < n && src[i] != '\n') ++i;
        } else if (c == '/' && i + 1 < n && src[i + 1] == '*') {
            size_t e = src.find("*/", i + 2);
            i = e == std::string::npos ? n : e + 2;
        } else if (c == 'R' && i + 1 < n && src[i + 1] == '"' && (i == 0 || !ident(src[i - 1]) || src[i - 1] == '8' ||
                                                                  src[i - 1] == 'u' || src[i - 1] == 'U' || src[i - 1] == 'L')) {
            size_t open = src.find('(', i + 2);
            if (open == std::string::npos) break;
            std::string close = ")" + src.substr(i + 2, open - i - 2) + "\"";
            size_t e = src.find(close, open + 1);
            if (e == std::string::npos) break;
            i = e + close.size();
            add(src.substr(open + 1, e - open - 1));
        } else if (c == '\'' && !(i > 0 && std::isxdigit(uint8_t(src[i - 1])) && i + 1 < n && std::isxdigit(uint8_t(src[i + 1])))) {
            // Character literal (a digit separator such as 1'000 is skipped by the test above).
            joinable = false;
            ++i;
            while (i < n && src[i] != '\'') i += src[i] == '\\' ? 2 : 1;
            ++i;
        } else if (c == '"') {
            std::string lit;
            ++i;
            while (i < n && src[i] != '"') {
                if (src[i] != '\\' || i + 1 >= n) {
                    lit += src[i++];
                    continue;
                }
                char e = src[i + 1];
                i += 2;
                switch (e) {
                case 'n': lit += '\n'; break;
                case 'r': lit += '\r'; break;
                case 't': lit += '\t'; break;
                case 'x': {
                    uint32_t v = 0;
                    while (i < n && std::isxdigit(uint8_t(src[i]))) v = v * 16 + uint32_t(std::stoi(src.substr(i++, 1), nullptr, 16));
                    lit += char(v);
                    break;
                }
                case 'u':
                case 'U': {
                    size_t len = e == 'u' ? 4 : 8;
                    Append_Utf8(lit, uint32_t(std::stoul(src.substr(i, len), nullptr, 16)));
                    i += len;
                    break;
                }
                default:
                    if (e >= '0' && e <= '7') {
                        uint32_t v = uint32_t(e - '0');
                        for (int k = 0; k < 2 && i < n && src[i] >= '0' && src[i] <= '7'; ++k) v = v * 8 + uint32_t(src[i++] - '0');
                        lit += char(v);
                    } else {
                        lit += e; // \" \\ \' \?
                    }
                }
            }
            ++i;
            add(lit);
        } else {
            // Blanks and literal prefixes (u8, u, U, L right before a quote) keep
            // the previous literal open for joining; anything else closes it.
            bool prefix = (c == 'u' || c == 'U' || c == 'L' || c == '8') && i + 1 < n &&
                          (src[i + 1] == '"' || src[i + 1] == 'R' || src[i + 1] == '8');
            if (!std::isspace(uint8_t(c)) && !prefix) joinable = false;
            ++i;
        }
    }
    return out;
}

namespace {

void Collect_Sources(const std::string& dir, std::vector<std::string>& files) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + name;
        struct stat st{};
        if (::stat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) Collect_Sources(path, files);
        else if (name.size() > 4 && (name.ends_with(".cpp") || name.ends_with(".h"))) files.push_back(path);
    }
    ::closedir(d);
}

TLanguageTable English_Table() {
    TLanguageTable t;
    t.Load_Text(Text_Of(Read_File(Source_Dir() + "/data/English.txt")));
    return t;
}

} // namespace

TEST(LiteralScan, FindsLiteralsOutsideCommentsAndCharacters) {
    auto lits = String_Literals("a = \"开始\"; // \"注释\"\n/* \"块\" */ c = '\"'; d = \"x\\\"y\\n\\u6B62\";\n"
                                "e = R\"q(原\"样)q\"; f = u8\"宽\"; g = 1'000; h = \"\\x41\\101\";\n"
                                "j = \"前\" /* c */\n  \"后\" u8\"尾\"; k(\"一\", \"二\"); m = \"x\" L\"y\";");
    EXPECT_EQ(lits, (std::vector<std::string>{"开始", "x\"y\n止", "原\"样", "宽", "AA", "前后尾", "一", "二", "xy"}));
    EXPECT_TRUE(Has_Cjk("a开"));
    EXPECT_TRUE(Has_Cjk("："));
    EXPECT_FALSE(Has_Cjk("Byte 1.50 GB é"));
}

TEST(EnglishTable, EveryLineIsAnEntryWithADistinctName) {
    auto bytes = Read_File(Source_Dir() + "/data/English.txt");
    ASSERT_FALSE(bytes.empty());
    std::string text = Text_Of(bytes);
    EXPECT_FALSE(text.starts_with("\xEF\xBB\xBF")) << "plain UTF-8 without byte-order mark";
    EXPECT_EQ(text.find('\r'), std::string::npos) << "LF line ends";
    std::set<std::string> seen;
    size_t start = 0, line = 1;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string l = text.substr(start, end - start);
        size_t eq = l.find('=');
        EXPECT_NE(eq, std::string::npos) << "line " << line << ": " << l;
        if (eq != std::string::npos) {
            std::string name = l.substr(0, eq), value = l.substr(eq + 1);
            EXPECT_TRUE(Has_Cjk(name)) << "line " << line << ": " << l;
            EXPECT_FALSE(Trim_Text(value).empty()) << "line " << line << ": " << l;
            std::string folded = name;
            for (char& c : folded) c = char(std::tolower(uint8_t(c)));
            EXPECT_TRUE(seen.insert(folded).second) << "line " << line << " repeats " << name;
        }
        start = end + 1;
        ++line;
    }
}

TEST(EnglishTable, BuildPlacesScrambledTableAndSettings) {
    const std::string bin = test::Bin_Dir();
    auto plain = Read_File(Source_Dir() + "/data/English.txt");
    auto lng = Read_File(bin + "/" + LANGUAGE_FILE);
    ASSERT_EQ(lng.size(), plain.size());
    Scramble_Bytes(lng);
    EXPECT_EQ(lng, plain);
    TLanguageTable t;
    ASSERT_TRUE(Load_LanguageFile(bin + "/" + LANGUAGE_FILE, t));
    std::string v;
    ASSERT_TRUE(t.Find("刷新磁盘(&C)", v));
    EXPECT_EQ(v, "Refresh disks(&C)");
    int setting = Read_LanguageSetting(bin + "/" + LANGUAGE_SETTINGS_FILE);
    EXPECT_TRUE(setting == 0 || setting == 1);
}

// Fails when a Chinese text literal of the program has no English entry.
// Literals are split at line breaks and tabs; a piece is covered by an entry
// of its exact text or, for window captions, of its trimmed text.
TEST(EnglishTable, CoversEveryChineseLiteralOfTheSources) {
    std::vector<std::string> files;
    Collect_Sources(Source_Dir() + "/src", files);
    ASSERT_FALSE(files.empty());
    std::sort(files.begin(), files.end());
    TLanguageTable table = English_Table();
    ASSERT_FALSE(table.Empty());
    std::set<std::string> missing;
    size_t checked = 0;
    for (const auto& f : files) {
        for (const auto& lit : String_Literals(Text_Of(Read_File(f)))) {
            size_t s = 0;
            while (s <= lit.size()) {
                size_t e = lit.find_first_of("\r\n\t", s);
                if (e == std::string::npos) e = lit.size();
                std::string piece = lit.substr(s, e - s);
                s = e + 1;
                if (!Has_Cjk(piece)) continue;
                ++checked;
                std::string v;
                if (!table.Find(piece, v) && !table.Find(Trim_Text(piece), v))
                    missing.insert(piece + "=    (" + f.substr(Source_Dir().size() + 1) + ")");
            }
        }
    }
    std::string list;
    for (const auto& m : missing) list += "  " + m + "\n";
    EXPECT_TRUE(missing.empty()) << missing.size() << " Chinese texts have no entry in data/English.txt; add a line "
                                 << "\"Chinese=English\" for each:\n" << list;
    EXPECT_GT(checked, 0u);
}

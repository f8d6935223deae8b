// Interface language: 0 Chinese (the built-in texts), 1 English through the
// language table loaded from Updata/skin/English.lng at start (the files are
// read and written by platform/language_files.h).
//
// The settings file Updata/skin/Languages_set.ini holds the language number on
// its first line; only "1" selects English. The language file holds one
// "Chinese=English" entry per line, every byte scrambled with
// LANGUAGE_FILE_KEY. The table is loaded once at start, before workers run,
// and read by every thread afterwards; a reload swaps the whole table.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qrv {

// The fixed byte every byte of a language file is XORed with on disk.
inline constexpr uint8_t LANGUAGE_FILE_KEY = 0xA5;

inline constexpr uint16_t LANGID_CHINESE = 2052;
inline constexpr uint16_t LANGID_ENGLISH = 1033;

// Paths below the program folder.
inline constexpr const char* LANGUAGE_SETTINGS_FILE = "Updata/skin/Languages_set.ini";
inline constexpr const char* LANGUAGE_FILE = "Updata/skin/English.lng";

// Ordered name=value entries with a lookup that ignores ASCII letter case and
// returns the first entry of a name.
class TLanguageTable {
  public:
    // Replaces the entries with those of UTF-8 text: one entry per line (CR,
    // LF or CR LF end a line), name before the first '=', value after it.
    // Lines without '=' are ignored.
    void Load_Text(std::string_view text);
    void Add(std::string name, std::string value);
    // The value of the first entry named text; false when there is none.
    bool Find(std::string_view text, std::string& value) const;
    size_t Count() const { return entries_.size(); }
    bool Empty() const { return entries_.empty(); }
    const std::vector<std::pair<std::string, std::string>>& Entries() const { return entries_; }
    void Clear();

  private:
    std::vector<std::pair<std::string, std::string>> entries_;
    std::unordered_map<std::string, size_t> index_; // folded name -> first entry
};

// Turns file bytes into UTF-8: UTF-8 with or without byte-order mark as is,
// UTF-16 LE/BE after their byte-order marks converted, any other bytes that are
// not valid UTF-8 read as GB18030 (the Chinese system code page).
std::string Decode_TextBytes(const std::vector<uint8_t>& bytes);

// Scrambles (or unscrambles) bytes with the key.
void Scramble_Bytes(std::vector<uint8_t>& bytes, uint8_t key = LANGUAGE_FILE_KEY);

int Get_Language();
void Set_Language(int language);
// 2052 for Chinese, 1033 for English: the language of message-box buttons.
uint16_t Get_LanguageId();
void Set_LanguageId(uint16_t id);

// Replaces the process-wide table (an empty table switches translation off).
void Set_LanguageTable(TLanguageTable table);
// A snapshot of the process-wide table.
std::shared_ptr<const TLanguageTable> Get_LanguageTable();
bool Language_TableEmpty();

// Value of the first table entry whose name equals text (letter case ignored),
// or the empty text when there is none.
std::string Translate_Text(const std::string& text);

// What every shown or logged text goes through: the translation when the
// language is 1 and the table is not empty (an empty text when the table has
// no entry), else the text unchanged.
std::string Tr(const std::string& text);

// Window texts: when the language is 1 and the table is not empty, the entry
// for the text trimmed of surrounding blanks (untrimmed when trim is false);
// a text without an entry stays as it is.
std::string Translate_Caption(const std::string& text, bool trim = true);

// Text without leading and trailing blanks and control characters.
std::string Trim_Text(std::string_view text);

} // namespace qrv

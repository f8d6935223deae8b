// The language files of the program folder: the settings file that chooses the
// interface language, the scrambled language table, and the start and switch
// sequences that read and rewrite them (see common/language.h for the table
// and the translation itself).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/language.h"

namespace qrv {

// Reads and unscrambles a language file into table. An empty or unreadable
// file leaves the table unchanged (false); otherwise the table is replaced.
bool Load_LanguageFile(const std::string& path, TLanguageTable& table, uint8_t key = LANGUAGE_FILE_KEY);
// The same into the process-wide table.
bool Load_LanguageFile(const std::string& path, uint8_t key = LANGUAGE_FILE_KEY);

// Language number stored in a settings file: the first line as a decimal
// number; 0 when the file is missing, empty or not a number.
int Read_LanguageSetting(const std::string& path);

// Start sequence: language 0 and identifier 2052; the settings file under
// programFolder decides the language (only 1 is English); for English the
// identifier becomes 1033 and the language file, when present, fills the
// table. Returns the language. Call before any worker starts. settingsFile,
// when not empty, is read instead of the program folder's settings file (the
// user's own settings, see program_folder.h).
int Language_Start(const std::string& programFolder, const std::string& settingsFile = {});

// Outcome of a language switch, for the caller's message box.
struct TLanguageSwitch {
    bool Stored = false; // the settings file existed and was rewritten
    uint16_t LanguageId = LANGID_CHINESE;
    std::string Message; // "设置语言成功,..." or its English form
    std::string Caption; // "设置成功" / "Set up success"
};

// Switches to English (1) or Chinese (0): the language number and identifier
// change at once; store(language) keeps the choice for the next start (its
// result is Stored). The table is not reloaded, so the interface changes at
// the next start.
TLanguageSwitch Switch_Language(int language, const std::function<bool(int)>& store);

} // namespace qrv

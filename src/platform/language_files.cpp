#include "platform/language_files.h"

#include <charconv>
#include <vector>

#include "platform/file_system.h"
#include "platform/output_file.h"

namespace qrv {

namespace {

std::string Join_Path(const std::string& folder, const char* rel) {
    if (folder.empty()) return rel;
    return folder.back() == '/' ? folder + rel : folder + "/" + rel;
}

} // namespace

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

#include "platform/program_folder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/output_file.h"

namespace qrv {

std::string Program_Folder() {
    std::vector<char> buf(4096);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return ".";
        if (size_t(n) < buf.size()) {
            std::string path(buf.data(), size_t(n));
            size_t slash = path.rfind('/');
            if (slash == std::string::npos) return ".";
            if (slash == 0) return "/";
            return path.substr(0, slash);
        }
        buf.resize(buf.size() * 2); // the link did not fit: try a larger buffer
    }
}

// ---- settings folder ----

namespace {

constexpr const char* kUserLanguageFile = "Languages_set.ini";

bool Is_RegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A settings file the program may rewrite: a regular file with its owner-write
// bit set that this process may write. Root passes access() for any file, so
// the bit is what keeps an installed, read-only default untouched.
bool Is_WritableSettings(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) != 0 &&
           ::access(path.c_str(), W_OK) == 0;
}

// Replaces the file at path with the single line "0" or "1" and CR LF: the
// new line is written beside it and renamed over it, so that the setting is
// always either the old or the new one, never a cut file.
bool Write_SettingsLine(const std::string& path, int language) {
    auto f = TOutputFile::Create(path, TOutputGuard::Without_Sources());
    if (!f) return false;
    const char* line = language == 1 ? "1\r\n" : "0\r\n";
    return f->Write(line, 3) && f->Commit_Replacing();
}

} // namespace

std::string Settings_Folder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/qrv";
    std::string home;
    if (const char* h = std::getenv("HOME"); h != nullptr && h[0] == '/') {
        home = h;
    } else if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_dir != nullptr) {
        home = pw->pw_dir;
    }
    if (home.empty()) return "";
    return home + "/.config/qrv";
}

std::string User_LanguageSettingsFile() {
    const std::string folder = Settings_Folder();
    return folder.empty() ? "" : folder + "/" + kUserLanguageFile;
}

std::string Language_SettingsFile(const std::string& programFolder) {
    const std::string user = User_LanguageSettingsFile();
    if (!user.empty() && Is_RegularFile(user)) return user;
    return programFolder + "/" + LANGUAGE_SETTINGS_FILE;
}

bool Store_LanguageSetting(const std::string& programFolder, int language) {
    const std::string user = User_LanguageSettingsFile();
    if (!user.empty() && Is_RegularFile(user)) return Write_SettingsLine(user, language);
    const std::string shipped = programFolder + "/" + LANGUAGE_SETTINGS_FILE;
    if (!Is_RegularFile(shipped)) return false; // no settings file: the choice is not kept
    if (Is_WritableSettings(shipped)) return Write_SettingsLine(shipped, language);
    if (user.empty() || !Make_Folders(Settings_Folder(), TOutputGuard::Without_Sources())) return false;
    return Write_SettingsLine(user, language);
}

int Program_LanguageStart(const std::string& programFolder) {
    return Language_Start(programFolder, Language_SettingsFile(programFolder));
}

TLanguageSwitch Program_LanguageSwitch(const std::string& programFolder, int language) {
    return Switch_Language(language,
                           [&programFolder](int l) { return Store_LanguageSetting(programFolder, l); });
}

} // namespace qrv

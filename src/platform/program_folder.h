// The program folder: the folder of the running executable, which holds
// Updata/skin/ (language settings and language file) and the help file.
#pragma once

#include <string>

#include "platform/language_files.h"

namespace qrv {

// Folder of /proc/self/exe without a trailing slash; the current folder (".")
// when the link cannot be read.
std::string Program_Folder();

// The user's settings folder: $XDG_CONFIG_HOME/qrv, or ~/.config/qrv when that
// variable is unset or not an absolute path (the home folder from $HOME, else
// the password database). Empty when no home folder is known.
std::string Settings_Folder();

// The language setting in the user's settings folder (empty when there is none).
std::string User_LanguageSettingsFile();

// The language settings file read at start: the user's when it exists, else
// the program folder's Updata/skin/Languages_set.ini (the shipped default).
std::string Language_SettingsFile(const std::string& programFolder);

// Stores the language number. The user's file is rewritten when it exists.
// Otherwise the program folder's file is rewritten when it exists and may be
// written (its owner-write bit set and access granted: an installed default is
// read-only, also to root), else the user's file is created beside nothing but
// the user's other settings. When the program folder has no settings file at
// all, nothing is written (false). Every write goes through the output guard.
bool Store_LanguageSetting(const std::string& programFolder, int language);

// Start-up language of the program in programFolder, read from
// Language_SettingsFile (see Language_Start).
int Program_LanguageStart(const std::string& programFolder);

// Switch_Language with the choice stored by Store_LanguageSetting.
TLanguageSwitch Program_LanguageSwitch(const std::string& programFolder, int language);

} // namespace qrv

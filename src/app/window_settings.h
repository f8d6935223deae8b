// What the window remembers between runs: the folder each picker chose last
// and the files opened recently (images and result files). Kept in the user's
// settings folder (~/.config/qrv/window.json, see Settings_Folder), written
// through the output guard like every other file, and read again at each call
// so that two windows see each other's choices.
#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <string>
#include <vector>

namespace qrv::app {

// The most files the recent list holds.
inline constexpr int kRecentFiles = 8;

// The path of the settings file ("" when no settings folder is known).
QString Window_SettingsFile();

// The folder last chosen for a purpose (a picker's title), "" when none.
QString Remembered_Folder(const QString& purpose);
// Remembers it (nothing for an empty folder). False when it could not be stored.
bool Remember_Folder(const QString& purpose, const QString& folder);

// The sources the settings file is kept off (the window names the sources of
// its sessions); none until set.
void Set_SettingsGuard(std::function<std::vector<std::string>()> sources);

// The files opened recently, newest first, files that no longer exist left out.
QStringList Recent_Files();
// Puts path first in the list (once), keeping at most kRecentFiles.
bool Add_RecentFile(const QString& path);

// A group of named values the window keeps for a page (the imaging page's
// format and case data), empty when none. Remember_Group replaces the group.
QJsonObject Remembered_Group(const QString& group);
bool Remember_Group(const QString& group, const QJsonObject& values);

} // namespace qrv::app

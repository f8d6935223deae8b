#include "app/window_settings.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "common/op_state.h"
#include "platform/output_file.h"
#include "platform/output_guard.h"
#include "platform/program_folder.h"

namespace qrv::app {

namespace {

constexpr const char* kFileName = "window.json";
constexpr const char* kFoldersKey = "folders";
constexpr const char* kRecentKey = "recent";
// A settings file larger than this is not the program's: it is ignored.
constexpr qint64 kMaxSettingsBytes = 1 << 20;

QJsonObject Read_Settings() {
    QFile f(Window_SettingsFile());
    if (f.size() > kMaxSettingsBytes || !f.open(QIODevice::ReadOnly)) return {};
    const QJsonDocument doc = QJsonDocument::fromJson(f.readAll());
    return doc.isObject() ? doc.object() : QJsonObject();
}

// Replaces the file as a whole (the old or the new settings, never a cut
// file), never on the source or its disk.
std::function<std::vector<std::string>()>& Guarded_Sources() {
    static std::function<std::vector<std::string>()> sources;
    return sources;
}

bool Write_Settings(const QJsonObject& settings) {
    const std::string folder = Settings_Folder();
    if (folder.empty()) return false;
    const auto& sources = Guarded_Sources();
    const TOutputGuard guard(sources ? sources() : std::vector<std::string>{});
    if (!Make_Folders(folder, guard)) return false;
    auto f = TOutputFile::Create(folder + "/" + kFileName, guard);
    if (!f) return false;
    const QByteArray bytes = QJsonDocument(settings).toJson(QJsonDocument::Indented);
    return f->Write(bytes.constData(), size_t(bytes.size())) && f->Commit_Replacing();
}

} // namespace

QString Window_SettingsFile() {
    const std::string folder = Settings_Folder();
    return folder.empty() ? QString() : QString::fromStdString(folder + "/" + kFileName);
}

QString Remembered_Folder(const QString& purpose) {
    return Read_Settings().value(kFoldersKey).toObject().value(purpose).toString();
}

void Set_SettingsGuard(std::function<std::vector<std::string>()> sources) {
    Guarded_Sources() = std::move(sources);
}

bool Remember_Folder(const QString& purpose, const QString& folder) {
    if (folder.isEmpty()) return false;
    QJsonObject settings = Read_Settings();
    QJsonObject folders = settings.value(kFoldersKey).toObject();
    if (folders.value(purpose).toString() == folder) return true;
    folders.insert(purpose, folder);
    settings.insert(kFoldersKey, folders);
    return Write_Settings(settings);
}

QStringList Recent_Files() {
    QStringList out;
    for (const QJsonValue& v : Read_Settings().value(kRecentKey).toArray()) {
        const QString path = v.toString();
        if (!path.isEmpty() && QFileInfo(path).isFile() && !out.contains(path)) out << path;
        if (out.size() == kRecentFiles) break;
    }
    return out;
}

bool Add_RecentFile(const QString& path) {
    if (path.isEmpty()) return false;
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QStringList files = Recent_Files();
    files.removeAll(absolute);
    files.prepend(absolute);
    while (files.size() > kRecentFiles)
        files.removeLast();
    QJsonObject settings = Read_Settings();
    settings.insert(kRecentKey, QJsonArray::fromStringList(files));
    return Write_Settings(settings);
}

QJsonObject Remembered_Group(const QString& group) { return Read_Settings().value(group).toObject(); }

bool Remember_Group(const QString& group, const QJsonObject& values) {
    QJsonObject settings = Read_Settings();
    if (settings.value(group).toObject() == values) return true;
    settings.insert(group, values);
    return Write_Settings(settings);
}

} // namespace qrv::app

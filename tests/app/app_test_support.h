// Shared pieces of the window tests: element lookup, header clicks, a program
// folder of their own (language settings and language file), a message-box
// recorder, the image index an icon shows, and probes that read what the
// window shows.
#pragma once

#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QIcon>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/icons.h"
#include "app/prompts.h"
#include "common/language.h"
#include "platform/disk_enum.h"

namespace qrv::apptest {

// Window tests keep what the window remembers between runs (imaging choices,
// recent files, folders) in a settings folder of their own, made before main
// runs and removed at exit, never in the user's ~/.config.
struct TOwnSettingsHome {
    QTemporaryDir Dir{QDir::tempPath() + "/qrv-config-XXXXXX"};
    TOwnSettingsHome() { ::setenv("XDG_CONFIG_HOME", Dir.path().toLocal8Bit().constData(), 1); }
};
inline TOwnSettingsHome g_ownSettingsHome;

// The element of form named name; the test stops when there is none.
template <class T> T* W(QObject* form, const char* name) {
    T* w = form->findChild<T*>(name);
    if (!w) qFatal("no element %s", name);
    return w;
}

// A mouse click in the middle of a column's header section, as a user sorts by it.
inline void Click_Header(QHeaderView* header, int column) {
    const int x = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
}

inline std::string Bin_Dir() {
    const char* d = std::getenv("QRV_BIN_DIR");
    return d && *d ? d : QRV_BIN_DIR_DEFAULT;
}

inline bool Write_Bytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

inline QByteArray Read_Bytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// A program folder: Updata/skin/Languages_set.ini holding setting (no file
// when setting is null) and the built English language file when asked.
class TProgramFolder {
  public:
    explicit TProgramFolder(const char* setting = "0\r\n", bool languageFile = true) {
        QDir(dir_.path()).mkpath("Updata/skin");
        if (setting) Write_Bytes(Settings(), setting);
        if (languageFile)
            QFile::copy(QString::fromStdString(Bin_Dir() + "/" + LANGUAGE_FILE),
                        QString::fromStdString(Path() + "/" + LANGUAGE_FILE));
    }
    std::string Path() const { return dir_.path().toStdString(); }
    QString Settings() const { return dir_.path() + "/" + LANGUAGE_SETTINGS_FILE; }

  private:
    QTemporaryDir dir_;
};

// Enumeration roots under which no disk is found: a window shown in a test
// lists none of the host's disks (and probes none).
inline TEnumRoots No_Disks() {
    return {"/nonexistent-qrv/sys", "/nonexistent-qrv/dev", "/nonexistent-qrv/mountinfo"};
}

// Records every message box while it lives and answers with Answer.
class TBoxRecorder {
  public:
    TBoxRecorder() {
        previous_ = app::Set_BoxHook([this](const app::TBoxRequest& r) {
            Boxes.push_back(r);
            return Answer;
        });
    }
    ~TBoxRecorder() { app::Set_BoxHook(previous_); }
    std::vector<app::TBoxRequest> Boxes;
    app::TBoxAnswer Answer = app::TBoxAnswer::Ok;

  private:
    app::TBoxHook previous_;
};

// The index of the small image list whose image the icon shows, -1 for none.
inline int Image_Of(const QIcon& icon) {
    if (icon.isNull()) return -1;
    const QImage shown = icon.pixmap(16, 16).toImage();
    for (int i = 0; i <= 12; ++i) {
        QIcon candidate = app::Small_Image(i);
        if (!candidate.isNull() && candidate.pixmap(16, 16).toImage() == shown) return i;
    }
    return -1;
}

inline int Language_ImageOf(const QIcon& icon) {
    const QImage shown = icon.pixmap(16, 16).toImage();
    for (int i : {9, 10})
        if (app::Language_Image(i).pixmap(16, 16).toImage() == shown) return i;
    return -1;
}

// True when the text holds a CJK ideograph or CJK punctuation.
inline bool Has_Cjk(const QString& s) {
    for (QChar c : s) {
        const ushort u = c.unicode();
        if ((u >= 0x3000 && u <= 0x303F) || (u >= 0x3400 && u <= 0x9FFF) || (u >= 0xFF00 && u <= 0xFFEF))
            return true;
    }
    return false;
}

} // namespace qrv::apptest

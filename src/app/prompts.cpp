#include "app/prompts.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

#include <charconv>

#include "app/window_settings.h"
#include "common/language.h"

namespace qrv::app {

namespace {
TBoxHook g_boxHook;
TFolderHook g_folderHook;
TOpenFileHook g_openHook;
} // namespace

TBoxHook Set_BoxHook(TBoxHook hook) {
    std::swap(g_boxHook, hook);
    return hook;
}
TFolderHook Set_FolderHook(TFolderHook hook) {
    std::swap(g_folderHook, hook);
    return hook;
}
TOpenFileHook Set_OpenFileHook(TOpenFileHook hook) {
    std::swap(g_openHook, hook);
    return hook;
}

std::pair<QString, QString> Box_ButtonTexts(uint16_t languageId) {
    if (languageId == LANGID_ENGLISH) return {QStringLiteral("OK"), QStringLiteral("Cancel")};
    return {QString::fromUtf8("确定"), QString::fromUtf8("取消")};
}

TBoxAnswer Message_Box(const TBoxRequest& r) {
    if (g_boxHook) return g_boxHook(r);
    QMessageBox box(r.Owner);
    box.setWindowTitle(r.Caption);
    box.setText(r.Text);
    switch (r.Icon) {
    case TBoxIcon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case TBoxIcon::Warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case TBoxIcon::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    }
    auto [okText, cancelText] = Box_ButtonTexts(r.LanguageId);
    QPushButton* ok = box.addButton(okText, QMessageBox::AcceptRole);
    QPushButton* cancel = nullptr;
    if (r.Buttons == TBoxButtons::OkCancel) cancel = box.addButton(cancelText, QMessageBox::RejectRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(cancel ? static_cast<QAbstractButton*>(cancel) : ok);
    box.exec();
    if (r.Buttons == TBoxButtons::Ok) return TBoxAnswer::Ok;
    return box.clickedButton() == ok ? TBoxAnswer::Ok : TBoxAnswer::Cancel;
}

void Hint_Box(QWidget* owner, const std::string& text, TBoxIcon icon) {
    TBoxRequest r;
    r.Owner = owner;
    r.Icon = icon;
    // Texts come as written in the code (translated here) or already in the
    // interface language (the core's refusals, texts with a path): only a text
    // the language table knows is translated, any other is shown as it is.
    r.Text = QString::fromStdString(Translate_Caption(text, false));
    r.Caption = QString::fromStdString(Tr("提示"));
    r.LanguageId = Get_LanguageId();
    Message_Box(r);
}

std::optional<int64_t> Read_WholeNumber(QWidget* owner, const QString& text) {
    const std::string t = text.toStdString();
    int64_t v = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (!t.empty() && ec == std::errc() && end == t.data() + t.size()) return v;
    TBoxRequest r;
    r.Owner = owner;
    r.Text = "'" + text + "' is not a valid integer value";
    r.Caption = QString::fromStdString(Tr("QRV 视频恢复"));
    r.Icon = TBoxIcon::Critical;
    r.LanguageId = Get_LanguageId();
    Message_Box(r);
    return std::nullopt;
}

QString Choose_Folder(QWidget* owner, const QString& title) {
    // Each picker starts in the folder it chose last, also in a later run.
    const QString chosen = g_folderHook
                               ? g_folderHook(owner, title)
                               : QFileDialog::getExistingDirectory(owner, title, Remembered_Folder(title),
                                                                   QFileDialog::ShowDirsOnly);
    Remember_Folder(title, chosen);
    return chosen;
}

QString Choose_OpenFile(QWidget* owner, const QString& title, const QString& filter) {
    QString chosen;
    if (g_openHook) {
        chosen = g_openHook(owner, title, filter);
    } else {
        // "Name|*.ext" -> "Name (*.ext)"
        QString qtFilter = filter;
        int bar = qtFilter.indexOf('|');
        if (bar >= 0) qtFilter = qtFilter.left(bar) + " (" + qtFilter.mid(bar + 1) + ")";
        chosen = QFileDialog::getOpenFileName(owner, title, Remembered_Folder(title), qtFilter);
    }
    if (!chosen.isEmpty()) Remember_Folder(title, QFileInfo(chosen).absolutePath());
    return chosen;
}

} // namespace qrv::app

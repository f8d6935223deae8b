// Message boxes and file pickers of the window. Every box names its language
// (2052 Chinese, 1033 English), which decides the texts of its buttons. The
// real dialogs block; tests replace them with hooks that answer at once.
#pragma once

#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace qrv::app {

enum class TBoxIcon { Information, Warning, Critical };
enum class TBoxButtons { Ok, OkCancel };
enum class TBoxAnswer { Ok, Cancel };

struct TBoxRequest {
    QWidget* Owner = nullptr; // nullptr: a box without owner window
    QString Text;
    QString Caption;
    TBoxIcon Icon = TBoxIcon::Information;
    TBoxButtons Buttons = TBoxButtons::Ok;
    uint16_t LanguageId = 2052;
};

// Shows a box and returns the answer (Cancel also when the box is closed).
TBoxAnswer Message_Box(const TBoxRequest& request);

// A box with the interface language: owner, caption "提示" (translated when the
// English interface is active) and the given text, with the information icon
// unless another is given. The text may be a Chinese text of the code (it is
// translated) or one already in the interface language (it is kept as it is).
void Hint_Box(QWidget* owner, const std::string& text, TBoxIcon icon = TBoxIcon::Information);

// A whole decimal number typed into a field (64 bits, optional minus sign).
// Any other text (empty, a full stop, too large) is a conversion error: the
// error box names the text ("'1.5' is not a valid integer value") and the
// result is empty.
std::optional<int64_t> Read_WholeNumber(QWidget* owner, const QString& text);

// The folder picker (folders only). Returns the chosen folder or an empty text
// when it was cancelled.
QString Choose_Folder(QWidget* owner, const QString& title);

// The open-file dialog with a "name|pattern" filter. Empty when cancelled.
QString Choose_OpenFile(QWidget* owner, const QString& title, const QString& filter);

// Button texts of a box in the given language: {OK, Cancel}.
std::pair<QString, QString> Box_ButtonTexts(uint16_t languageId);

// Hooks replacing the real dialogs (tests). Each setter returns the previous
// hook; an empty function restores the real dialog.
using TBoxHook = std::function<TBoxAnswer(const TBoxRequest&)>;
using TFolderHook = std::function<QString(QWidget*, const QString&)>;
using TOpenFileHook = std::function<QString(QWidget*, const QString&, const QString&)>;
TBoxHook Set_BoxHook(TBoxHook hook);
TFolderHook Set_FolderHook(TFolderHook hook);
TOpenFileHook Set_OpenFileHook(TOpenFileHook hook);

} // namespace qrv::app

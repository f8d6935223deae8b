// Translates the texts of one window when the English interface is active and
// the language table is not empty. By kind of element:
//   - the window caption, looked up as it is;
//   - buttons of every kind (push, tool, radio, check box), labels and
//     captioned panels, group boxes, category panels: the text trimmed of
//     surrounding blanks;
//   - tab pages: every page's caption, trimmed;
//   - lists and trees: every column caption;
//   - popup menus: every top-level item (items of submenus keep their text);
//   - combo boxes: every item, trimmed.
// A text without an entry stays as it is. Tooltips, edit fields, status-bar
// panels and submenu items are not translated.
//
// Afterwards, in either language, every control that takes the keyboard focus
// and has no accessible name gets one from what a sighted user reads beside
// it (Name_Controls), so that screen readers announce more than its kind.
#pragma once

#include <QWidget>

namespace qrv::app {

void Translate_Form(QWidget* window);

// Gives each focusable control under window without an accessible name one:
// a button its caption (its tooltip when it shows only an icon or "..."); an
// edit, list or combo box the label that names it (its buddy, or the caption
// just before it in its layout), else its tooltip or placeholder, else the
// title of its group box or tab page. Colons and "&" marks are left out.
void Name_Controls(QWidget* window);

} // namespace qrv::app

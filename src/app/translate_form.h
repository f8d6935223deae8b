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
#pragma once

#include <QWidget>

namespace qrv::app {

void Translate_Form(QWidget* window);

} // namespace qrv::app

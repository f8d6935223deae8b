// The window's images, drawn for this program as small SVG files (qrv_icons.qrc).
#pragma once

#include <QIcon>

namespace qrv::app {

// Images of the main window's small image list, by index: 0 computer, 1 disk,
// 2 volume or region, 3 image file, 4 error line, 5 ordinary log line, 9 to 12
// the level marks (green, blue, yellow, red). Other indexes give an empty icon.
QIcon Small_Image(int index);

// Images of the interface-language menu item: 9 Chinese, 10 English.
QIcon Language_Image(int index);

// Any image by its file name without extension ("refresh", "scan", ...).
QIcon App_Icon(const char* name);

} // namespace qrv::app

// Interface language: 0 Chinese (the built-in texts), 1 English through the
// language table loaded from Updata/skin/English.lng at start.
#pragma once

#include <cstdint>
#include <string>

namespace qrv {

int Get_Language();
void Set_Language(int language);

// Value of the first table entry whose name equals text (letter case ignored),
// or the empty text when there is none.
std::string Translate_Text(const std::string& text);

// What every shown or logged text goes through: the translation when the
// language is 1 and the table is not empty, else the text unchanged.
std::string Tr(const std::string& text);

} // namespace qrv

// The program folder: the folder of the running executable, which holds
// Updata/skin/ (language settings and language file) and the help file.
#pragma once

#include <string>

namespace qrv {

// Folder of /proc/self/exe without a trailing slash; the current folder (".")
// when the link cannot be read.
std::string Program_Folder();

} // namespace qrv

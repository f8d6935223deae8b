// The log file "log.txt": one line per log row in list order, kind, two
// spaces, date and time, two spaces, description, each line ended by CR LF;
// UTF-8 without byte-order mark.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace qrv::app {

using TLogRow = std::array<std::string, 3>; // kind, date and time, description

std::string Log_FileText(const std::vector<TLogRow>& rows);

// Writes the rows to folder + "/log.txt", replacing a file of that name.
// False when the file cannot be created or written completely.
// sources: the media the log must not land on (the window's sessions' sources).
bool Write_LogFile(const std::string& folder, const std::vector<TLogRow>& rows,
                   const std::vector<std::string>& sources);

} // namespace qrv::app

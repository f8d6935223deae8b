// The qrv-cli subcommands. Each takes the arguments after its name and returns
// the process exit status (0 success, 1 the operation failed or left bytes
// unread, 2 bad usage, 3 a damaged scan-result file loaded only up to the
// damage, 4 the operator stopped the operation: Ctrl-C).
#pragma once

#include <string>
#include <vector>

namespace qrv::cli {

using TArgv = std::vector<std::string>;

inline constexpr int kExitDamaged = 3;
inline constexpr int kExitStopped = 4;

int Cmd_Inspect(const TArgv& args); // inspect FILE [--offset N]
int Cmd_Scan(const TArgv& args);    // scan SOURCE [options]
int Cmd_Load(const TArgv& args);    // load FILE.QRV --source SOURCE [options]
int Cmd_List(const TArgv& args);    // list
int Cmd_Regions(const TArgv& args); // regions IMAGE
int Cmd_Image(const TArgv& args);   // image SOURCE --out DIR [--start S --end E]
int Cmd_Hex(const TArgv& args);     // hex SOURCE SECTOR
int Cmd_Verify(const TArgv& args);  // verify SOURCE.E01 [--json]

} // namespace qrv::cli

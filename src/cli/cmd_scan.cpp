#include <cstdio>

#include "cli/commands.h"

namespace qrv::cli {

int Cmd_Scan(const TArgv&) {
    std::fprintf(stderr, "qrv-cli scan: not available yet\n");
    return 2;
}

} // namespace qrv::cli

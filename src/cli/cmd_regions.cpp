#include <cstdio>

#include "cli/commands.h"

namespace qrv::cli {

int Cmd_Regions(const TArgv&) {
    std::fprintf(stderr, "qrv-cli regions: not available yet\n");
    return 2;
}

} // namespace qrv::cli

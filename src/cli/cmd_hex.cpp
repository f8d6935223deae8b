#include <cstdio>

#include "cli/commands.h"

namespace qrv::cli {

int Cmd_Hex(const TArgv&) {
    std::fprintf(stderr, "qrv-cli hex: not available yet\n");
    return 2;
}

} // namespace qrv::cli

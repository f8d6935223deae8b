#include <cstdio>

#include "cli/commands.h"

namespace qrv::cli {

int Cmd_Inspect(const TArgv&) {
    std::fprintf(stderr, "qrv-cli inspect: not available yet\n");
    return 2;
}

} // namespace qrv::cli

#include <cstdio>

#include "cli/commands.h"

namespace qrv::cli {

int Cmd_List(const TArgv&) {
    std::fprintf(stderr, "qrv-cli list: not available yet\n");
    return 2;
}

} // namespace qrv::cli

#include <cstdio>

#include "cli/commands.h"

namespace qrv::cli {

int Cmd_Load(const TArgv&) {
    std::fprintf(stderr, "qrv-cli load: not available yet\n");
    return 2;
}

} // namespace qrv::cli

#include <cstdio>

#include "cli/commands.h"

namespace qrv::cli {

int Cmd_Image(const TArgv&) {
    std::fprintf(stderr, "qrv-cli image: not available yet\n");
    return 2;
}

} // namespace qrv::cli

// qrv-cli: the command-line front end over the recovery core.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "cli/commands.h"

namespace {

const char* kUsage =
    "usage: qrv-cli COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  inspect FILE [--offset N]          show the boxes and movie metadata of the recording at byte N\n"
    "  scan SOURCE [options]              scan an image file or block device and rebuild recordings\n"
    "  load FILE.QRV --source SOURCE      load a saved scan result for its source\n"
    "  list                               list disks, volumes and their file systems\n"
    "  regions IMAGE                      show the partitions and volumes found in an image\n"
    "  image SOURCE --out DIR             copy a source (or a sector range) into an image file\n"
    "  hex SOURCE SECTOR                  show one sector in hex\n"
    "  verify SOURCE.E01                  check an EWF container's media against its stored MD5/SHA-1\n"
    "\n"
    "Run 'qrv-cli COMMAND --help' for the options of a command.\n"
    "\n"
    "exit status:\n"
    "  0  the operation completed\n"
    "  1  it failed, or completed with errors (unreadable sectors, files not written, a refused output)\n"
    "  2  bad usage\n"
    "  3  load: the scan-result file is damaged and was loaded only up to the damage\n"
    "  4  stopped by the operator (Ctrl-C): the log's closing line says how far it got, and --json\n"
    "     carries \"stopped\": true\n";

struct TCommand {
    const char* name;
    int (*run)(const qrv::cli::TArgv&);
};

const TCommand kCommands[] = {
    {"inspect", qrv::cli::Cmd_Inspect}, {"scan", qrv::cli::Cmd_Scan},       {"load", qrv::cli::Cmd_Load},
    {"list", qrv::cli::Cmd_List},       {"regions", qrv::cli::Cmd_Regions}, {"image", qrv::cli::Cmd_Image},
    {"hex", qrv::cli::Cmd_Hex},         {"verify", qrv::cli::Cmd_Verify},
};

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    qrv::cli::TArgv args(argv + 2, argv + argc);
    for (const auto& c : kCommands) {
        if (std::strcmp(argv[1], c.name) == 0) {
            try {
                return c.run(args);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "qrv-cli %s: %s\n", c.name, e.what());
                return 2;
            }
        }
    }
    std::fprintf(stderr, "qrv-cli: unknown command '%s'\n\n%s", argv[1], kUsage);
    return 2;
}

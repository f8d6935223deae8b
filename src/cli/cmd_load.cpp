// qrv-cli load FILE.QRV --source SOURCE [--export DIR [selection]] [--json] [--quiet]
//
// Loads a saved scan result for the source it was made from (checked by the
// file's identification), lists the recordings, and optionally exports them.
#include <cstdio>

#include "analysis/records.h"
#include "cli/commands.h"
#include "cli/common_cli.h"
#include "results/result_file.h"

namespace qrv::cli {

namespace {
const char* kLoadUsage =
    "usage: qrv-cli load FILE.QRV --source SOURCE [--export DIR [selection]] [--json]\n"
    "  FILE.QRV            scan-result file saved by 'qrv-cli scan --save'\n"
    "  --source SOURCE     the image file or device the scan was made on (opened read-only)\n"
    "  --json              print the results (and the export) as JSON on stdout\n"
    "  --quiet             log only errors on stderr\n";
}

int Cmd_Load(const TArgv& argv) {
    for (const auto& a : argv)
        if (a == "--help" || a == "-h") {
            std::printf("%s%s", kLoadUsage, kExportUsage);
            return 0;
        }
    TArgs args(argv, {"json", "quiet"});
    std::set<std::string> allowed = kExportOptions;
    allowed.insert({"source", "json", "quiet"});
    auto unknown = args.Unknown(allowed);
    if (!unknown.empty() || args.Positional().size() != 1 || !args.Has("source")) {
        if (!unknown.empty()) std::fprintf(stderr, "qrv-cli load: unknown option --%s\n", unknown[0].c_str());
        std::fprintf(stderr, "%s%s", kLoadUsage, kExportUsage);
        return 2;
    }
    const bool json = args.Has("json");
    std::string error;
    auto node = Source_Node(*args.Get("source"), error);
    if (!node) {
        std::fprintf(stderr, "qrv-cli load: %s\n", error.c_str());
        return 1;
    }
    TCliSession session = Start_CliSession(args.Has("quiet"));
    if (!Load_To_List(args.Positional()[0], node)) return 1;
    // The view is rebuilt from the loaded list, as after message 10.
    session.Model->Clear();
    To_View(0, RebuildResultList.Count());

    int status = 0;
    std::string out = "{\"results\": ";
    if (args.Has("export")) {
        if (!Select_Rows(*session.Model, args, error)) {
            std::fprintf(stderr, "qrv-cli load: %s\n", error.c_str());
            return 2;
        }
    }
    out += Rows_Json(*session.Model);
    if (!json) Print_Table(*session.Model, stdout);
    if (args.Has("export")) status = Run_Export(*session.Model, *args.Get("export"), json ? &out : nullptr);
    if (json) std::printf("%s}\n", out.c_str());
    return status;
}

} // namespace qrv::cli

// qrv-cli load FILE.QRV --source SOURCE [--export DIR [selection]] [--json] [--quiet]
//
// Loads a saved scan result for the source it was made from (checked by the
// file's identification), lists the recordings, and optionally exports them.
#include <cstdio>

#include "cli/commands.h"
#include "cli/common_cli.h"
#include "common/op_state.h"
#include "media/raw_access.h"
#include "results/result_file.h"
#include "scan/records.h"

namespace qrv::cli {

namespace {
const char* kLoadUsage =
    "usage: qrv-cli load FILE.QRV --source SOURCE [--export DIR [selection]] [--json]\n"
    "  FILE.QRV            scan-result file saved by 'qrv-cli scan --save'\n"
    "  --source SOURCE     the image file or device the scan was made on (opened read-only)\n"
    "  --json              print the results (and the export) as JSON on stdout\n"
    "  --quiet             log only errors on stderr\n"
    "exit status: 0 loaded, 1 failed, 2 bad usage, 3 the file is damaged and loaded only up to the damage\n";
}

int Cmd_Load(const TArgv& argv) {
    for (const auto& a : argv)
        if (a == "--help" || a == "-h") {
            std::printf("%s%s%s", kLoadUsage, kExportUsage, kForceUsage);
            return 0;
        }
    TArgs args(argv, {"json", "quiet", "force-same-disk"});
    std::set<std::string> allowed = kExportOptions;
    allowed.insert({"source", "json", "quiet", "force-same-disk"});
    auto unknown = args.Unknown(allowed);
    if (!unknown.empty() || args.Positional().size() != 1 || !args.Has("source")) {
        if (!unknown.empty()) std::fprintf(stderr, "qrv-cli load: unknown option --%s\n", unknown[0].c_str());
        std::fprintf(stderr, "%s%s%s", kLoadUsage, kExportUsage, kForceUsage);
        return 2;
    }
    const bool json = args.Has("json");
    std::string error;
    auto node = Source_Node(*args.Get("source"), error);
    if (!node) {
        std::fprintf(stderr, "qrv-cli load: %s\n", error.c_str());
        return 1;
    }
    // The export folder is made (and checked against the source) before anything is loaded.
    const TGuardOptions output = Output_Options(args);
    if (auto dir = args.Get("export")) {
        if (int rc = Prepare_Folder("load", *dir, TOutputGuard({Get_SourcePath(*node)}, output))) return rc;
    }
    TCliSession session = Start_CliSession(args.Has("quiet"));
    const TStopOnInterrupt interrupt(*session.Op);
    session.Op->StopFlag = false;
    TLoadReport report;
    if (!Load_To_List(*session.Scan, args.Positional()[0], node, &report)) return 1;
    // The view is rebuilt from the loaded list, as after message 10.
    session.Model->Clear();
    To_View(*session.Scan, 0, session.Scan->Rebuilds.Count());

    int status = report.Stopped ? kExitStopped : report.Damaged() ? kExitDamaged : 0;
    std::string out = "{\"damaged\": " + std::string(report.Damaged() ? "true" : "false");
    if (report.Damaged())
        out += ", \"damaged_record\": " + std::to_string(report.DamagedRecord) +
               ", \"damaged_offset\": " + std::to_string(report.Outcome.Offset) +
               ", \"damage\": " + Json_Text(report.Outcome.Why);
    out += ", \"loaded\": " + std::to_string(report.Loaded) + ", \"results\": ";
    if (args.Has("export")) {
        if (!Select_Rows(*session.Model, args, error)) {
            std::fprintf(stderr, "qrv-cli load: %s\n", error.c_str());
            return 2;
        }
    }
    out += Rows_Json(*session.Model);
    if (!json) Print_Table(*session.Model, stdout);
    if (args.Has("export") && report.Stopped) {
        std::fprintf(stderr, "qrv-cli load: stopped, nothing exported\n");
        out += ", \"export\": null";
    } else if (args.Has("export")) {
        const int exported = Run_Export(*session.Model, *args.Get("export"), json ? &out : nullptr, output);
        if (exported != 0) status = exported;
    }
    if (report.Damaged() && !json)
        std::fprintf(stderr,
                     "qrv-cli load: the file is damaged at record %lld; %lld record(s) before it loaded\n",
                     (long long)report.DamagedRecord, (long long)report.Loaded);
    out += ", \"stopped\": " + std::string(report.Stopped ? "true" : "false");
    if (json) std::printf("%s}\n", out.c_str());
    return status;
}

} // namespace qrv::cli

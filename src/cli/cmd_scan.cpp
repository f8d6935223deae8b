// qrv-cli scan SOURCE [--start S] [--end E] [--mode all|free|allocated]
//                     [--date-from T --date-to T]
//                     [--fs FAT32|exFAT|NTFS|RAW --sector-size N --cluster-sectors N]
//                     [--scheme 0..7] [--interleave 0|1] [--china-time] [--no-widen] [--type 0|1]
//
// Scans an image file or a block device (opened read-only) and lists what the
// scan found. The source node is built from the path: a bare volume (image or
// device) is recognised by its boot sector, anything else is scanned as RAW
// with 512-byte sectors; --fs and the two geometry options describe the source
// explicitly instead.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/common_cli.h"
#include "cli/source_pick.h"
#include "common/language.h"
#include "common/op_state.h"
#include "common/ui_message.h"
#include "media/boot_sector.h"
#include "media/raw_access.h"
#include "pipeline/scan_pipeline.h"
#include "platform/disk_enum.h"
#include "platform/file_system.h"
#include "platform/output_file.h"
#include "platform/output_guard.h"
#include "platform/source_io.h"
#include "results/result_file.h"
#include "results/results_model.h"
#include "scan/alloc_map.h"
#include "scan/metadata.h"
#include "scan/records.h"
#include "scan/scan_job.h"
#include "scan/scan_settings.h"
#include "scan/unread_map.h"

namespace qrv::cli {

namespace {

const char* kScanUsage =
    "usage: qrv-cli scan SOURCE [options]\n"
    "  SOURCE                 image file or block device (opened read-only)\n"
    "  --start S              first sector (default 0)\n"
    "  --end E                sector at which the scan ends, exclusive (default: the end of the source)\n"
    "  --mode M               all (default), free (free space only) or allocated (allocated space only)\n"
    "  --date-from T          with --date-to: keep only heads shot in [T1, T2], T as \"yyyy-MM-dd "
    "hh:mm:ss\"\n"
    "  --date-to T\n"
    "  --fs NAME              FAT32, exFAT, NTFS or RAW instead of what the boot sector says\n"
    "  --sector-size N        bytes per sector with --fs (default 512)\n"
    "  --cluster-sectors N    sectors per cluster with --fs\n"
    "  --region N             scan region N of the source (see 'qrv-cli regions'), counted from 1\n"
    "  --scheme N             reassembly window 0..7 (default 0): 0 one way 2x, 1 one way 4x, 2 reverse 2x,\n"
    "                         3 reverse 4x, 4 both ways 2x, 5 both ways 4x, 6 one way to the medium's edge,\n"
    "                         7 both ways over the whole medium\n"
    "  --interleave N         gaps between pieces: 0 grow the earlier piece first (default), 1 the later "
    "one\n"
    "  --china-time           shooting dates in China standard time (UTC+8) instead of universal time\n"
    "  --type N               recovery type: 0 the VANTO camera recordings (default), 1 generic MP4/MOV\n"
    "                         with H.264 or H.265 video\n"
    "  --no-widen             no second pass over the whole medium for recordings rebuilt incompletely\n"
    "  --save FILE.QRV|DIR    save the results in a scan-result file (see 'qrv-cli load'); for a folder\n"
    "                         (an existing one, or a path ending in /) the file is named after the source\n"
    "                         and the time, e.g. devsdb1-20240301090507.QRV; never on the source's disk\n"
    "  --json                 print the results (and the export) as JSON on stdout\n"
    "  --quiet                log only errors on stderr\n";

// ---- source description ----

struct TBootInfo {
    std::string Fs = "RAW";
    int32_t PerSecBytes = 512;
    uint32_t SectorsPerCluster = 0;
    uint32_t TotalClusters = 0;
};

// File system of a volume from its boot sector; RAW when none is recognised.
TBootInfo Read_BootInfo(TSource& h) {
    TBootInfo info;
    std::vector<uint8_t> b = Get_Bytes(h, 512, 0);
    if (auto g = Parse_BootSector(std::span<const uint8_t>(b))) {
        info.Fs = g->Fs;
        info.PerSecBytes = int32_t(g->BytesPerSector);
        info.SectorsPerCluster = g->SectorsPerCluster;
        info.TotalClusters = uint32_t(std::min<uint64_t>(g->DataClusters, UINT32_MAX));
    }
    return info;
}

bool Is_Partition(const std::string& devPath) { return Is_PartitionDevice(devPath); }

// Builds the source node for path. fsOverride (with sector size and sectors per
// cluster) replaces the boot-sector detection.
TTreeData Describe_Source(const std::string& path, const std::optional<std::string>& fsOverride,
                          int64_t sectorSize, int64_t clusterSectors) {
    TTreeData n;
    n.Level = 1;
    const bool device = Get_PathKind(path) == TPathKind::BlockDevice;
    TBootInfo boot;
    int64_t size = -1;
    if (TSourcePtr h = Open_Source(path)) {
        size = h->Size();
        if (!fsOverride) boot = Read_BootInfo(*h);
    }
    if (fsOverride) {
        boot.Fs = *fsOverride;
        boot.PerSecBytes = int32_t(sectorSize);
        boot.SectorsPerCluster = uint32_t(clusterSectors);
        boot.TotalClusters = 0;
    }
    if (device && (boot.Fs != "RAW" || Is_Partition(path))) {
        n.Level = 2;
        n.Hddtype = HDD_VOLUME;
        n.HddModel = path;
        n.HddLable = "";
    } else if (device) {
        n.Hddtype = HDD_PHYSICAL;
        n.HddNumber = path;
        n.HddModel = path;
        n.HddLable = "HDD";
    } else {
        n.Hddtype = HDD_IMAGE;
        n.HddNumber = "Image File";
        n.HddModel = path;
        n.HddLable = Tr("镜像文件");
    }
    n.HddFs = boot.Fs;
    n.PerSecBytes = boot.PerSecBytes;
    n.LogPerClusec = Is_KnownFs(boot.Fs) ? boot.SectorsPerCluster : 0;
    n.LogTotalClusters = boot.TotalClusters;
    n.TotalSpace = size > 0 ? size : 0;
    return n;
}

const char* Kind_Text(int kind) {
    switch (kind) {
    case KIND_HEAD_MOOV:
        return "head+moov";
    case KIND_HEAD_MDAT:
        return "head";
    case KIND_MOOV:
        return "moov";
    default:
        return "?";
    }
}

} // namespace

// The scan's findings as a table: one row per recording head or movie box, in
// the order found.
void Print_ScanFindings(TScanSession& session, std::FILE* out) {
    const int64_t n = session.Scans.Count();
    std::fprintf(out, "%-5s %-4s %-10s %16s  %-20s %-19s %s\n", "No", "Kind", "", "Offset", "Model",
                 "Shooting date", "Duration");
    for (int64_t i = 0; i < n; ++i) {
        const TScanResult& r = session.Scans.Get(i);
        std::fprintf(out, "%-5lld %-4d %-10s %16lld  %-20s %-19s %s\n", (long long)(i + 1), r.Fragmentype,
                     Kind_Text(r.Fragmentype), (long long)r.FragmentOff, r.CamerModel.c_str(),
                     r.CreateTime.c_str(), r.Durting.c_str());
    }
    std::fprintf(out, "%lld found\n", (long long)n);
}

namespace {

// Each step below returns the exit code the command ends with when the
// command line is refused, 0 when the scan goes on.

// Only the options the scan knows and exactly one source.
int Check_ScanArgs(const TArgs& args) {
    std::set<std::string> allowed = {
        "start",           "end",      "mode",           "date-from", "date-to", "fs",     "sector-size",
        "cluster-sectors", "save",     "json",           "quiet",     "region",  "scheme", "interleave",
        "china-time",      "no-widen", "force-same-disk", "type"};
    // --date-from / --date-to filter the scan; with --export the export takes
    // every row found in that window unless --rows or --model narrows it.
    for (const auto& o : kExportOptions)
        allowed.insert(o);
    auto unknown = args.Unknown(allowed);
    if (!unknown.empty() || args.Positional().size() != 1) {
        if (!unknown.empty()) std::fprintf(stderr, "qrv-cli scan: unknown option --%s\n", unknown[0].c_str());
        std::fprintf(stderr, "%s%s%s", kScanUsage, kExportUsage, kForceUsage);
        return 2;
    }
    return 0;
}

// The source node (described by its boot sector, by --fs and the geometry
// options, or a region of it), the scan mode and the result file to save.
int Read_SourceOptions(const TArgs& args, const std::string& path, TScanParams& p) {
    int mode = 0;
    if (auto m = args.Get("mode")) {
        if (*m == "all")
            mode = 0;
        else if (*m == "free")
            mode = 1;
        else if (*m == "allocated")
            mode = 2;
        else {
            std::fprintf(stderr, "qrv-cli scan: --mode must be all, free or allocated\n");
            return 2;
        }
    }
    std::optional<std::string> fs = args.Get("fs");
    if (fs && *fs != "FAT32" && *fs != "exFAT" && *fs != "NTFS" && *fs != "RAW") {
        std::fprintf(stderr, "qrv-cli scan: --fs must be FAT32, exFAT, NTFS or RAW\n");
        return 2;
    }
    if (!fs && (args.Has("sector-size") || args.Has("cluster-sectors"))) {
        std::fprintf(stderr, "qrv-cli scan: --sector-size and --cluster-sectors need --fs\n");
        return 2;
    }
    const int64_t sectorSize = args.Get_Int("sector-size").value_or(512);
    const int64_t clusterSectors = args.Get_Int("cluster-sectors").value_or(0);
    if (sectorSize < 0 || sectorSize > INT32_MAX || clusterSectors < 0 || clusterSectors > UINT32_MAX) {
        std::fprintf(stderr, "qrv-cli scan: sector size or cluster sectors out of range\n");
        return 2;
    }

    if (TOpenFailure f; !Open_Source(path, &f)) {
        // The scan reports the failed open; this says what the user can do about it.
        if (const std::string hint = Open_FailureHint(path, f); !hint.empty())
            std::fprintf(stderr, "qrv-cli scan: %s\n", hint.c_str());
    }
    p.Node = Describe_Source(path, fs, sectorSize, clusterSectors);
    if (auto region = args.Get_Int("region")) {
        // A partition or volume found at the start of the source replaces the source itself.
        if (fs) {
            std::fprintf(stderr, "qrv-cli scan: --region and --fs do not go together\n");
            return 2;
        }
        TPickedSource picked = Pick_Source(path, *region);
        if (!picked.Ok) {
            std::fprintf(stderr, "qrv-cli scan: %s\n", picked.Error.c_str());
            return 1;
        }
        p.Node = picked.Node;
    }
    if (auto save = args.Get("save")) {
        if (save->empty()) {
            std::fprintf(stderr, "qrv-cli scan: --save needs a file name\n");
            return 2;
        }
        p.SaveResults = true;
        p.ResultPath = *save;
    }
    p.Mode = mode;
    return 0;
}

// The recovery type, the reassembly window and gap order, the second pass and the time standard.
int Read_ReassemblyOptions(const TArgs& args, TScanParams& p) {
    const int64_t scheme = args.Get_Int("scheme").value_or(0);
    const int64_t interleave = args.Get_Int("interleave").value_or(0);
    if (scheme < 0 || scheme > 7) {
        std::fprintf(stderr, "qrv-cli scan: --scheme must be 0 to 7\n");
        return 2;
    }
    if (interleave != 0 && interleave != 1) {
        std::fprintf(stderr, "qrv-cli scan: --interleave must be 0 or 1\n");
        return 2;
    }
    const int64_t type = args.Get_Int("type").value_or(0);
    if (type != 0 && type != 1) {
        std::fprintf(stderr, "qrv-cli scan: --type must be 0 (camera) or 1 (generic MP4/MOV)\n");
        return 2;
    }
    p.RecoveryType = int(type);
    p.IntervalScheme = int(scheme);
    p.InterleaveScheme = int(interleave);
    p.Widen = !args.Has("no-widen");
    p.TimeStandard = args.Has("china-time") ? TIMESTD_CHINA : TIMESTD_UTC;
    return 0;
}

// The sectors scanned: --start/--end, by default the whole source (or region).
int Read_ScanRange(const TArgs& args, TScanParams& p) {
    p.StartSec = args.Get_Int("start").value_or(p.Node.RegionSec);
    if (auto e = args.Get_Int("end")) {
        p.EndSec = *e;
    } else if (p.Node.PerSecBytes > 0) {
        p.EndSec = p.Node.RegionSec + (p.Node.TotalSpace + p.Node.PerSecBytes - 1) / p.Node.PerSecBytes;
    }
    if (args.Has("end") || p.Node.TotalSpace > 0) {
        if (p.StartSec == p.EndSec) {
            std::fprintf(stderr, "%s\n", Tr("起始扇区和结束扇区相同,请重新设置!").c_str());
            return 2;
        }
        if (p.StartSec > p.EndSec || p.StartSec < 0) {
            std::fprintf(stderr, "%s\n", Tr("起始扇区大于结束扇区,请重新设置!").c_str());
            return 2;
        }
    }
    return 0;
}

// The shooting-date window of --date-from/--date-to.
int Read_DateWindow(const TArgs& args, TScanParams& p) {
    if (args.Has("date-from") != args.Has("date-to")) {
        std::fprintf(stderr, "qrv-cli scan: --date-from and --date-to go together\n");
        return 2;
    }
    if (!args.Has("date-from")) return 0;
    auto from = Parse_DateTime(*args.Get("date-from"));
    auto to = Parse_DateTime(*args.Get("date-to"));
    if (!from || !to) {
        std::fprintf(stderr, "qrv-cli scan: dates are written \"yyyy-MM-dd hh:mm:ss\"\n");
        return 2;
    }
    if (*to < *from) {
        std::fprintf(stderr, "%s\n",
                     Tr("结束日期/时间小于起始日期/时间,正确的设置是起始日期/时间小于或者等于结束日期/"
                        "时间,请重新设置!")
                         .c_str());
        return 2;
    }
    p.DateFilter = true;
    p.DateFrom = *from;
    p.DateTo = *to;
    return 0;
}

// Every output is checked against the source before the scan starts, so
// that a refused or unusable target costs no scan and nothing is written.
int Check_ScanOutputs(const TArgs& args, const TGuardOptions& output, TScanParams& p) {
    const TOutputGuard guard({Get_SourcePath(p.Node)}, output);
    if (p.SaveResults) {
        const bool folder = p.ResultPath.back() == '/' || Get_PathKind(p.ResultPath) == TPathKind::Folder;
        if (folder) {
            if (int rc = Prepare_Folder("scan", p.ResultPath, guard)) return rc;
            std::time_t now = std::time(nullptr);
            std::tm local{};
            localtime_r(&now, &local);
            std::string dir = p.ResultPath;
            while (dir.size() > 1 && dir.back() == '/')
                dir.pop_back();
            p.ResultPath = dir + "/" + Result_FileName(Named_ByBase(p.Node), local);
            p.ResultNameFree = true; // a taken name made up here gives way to the next free one
        }
        if (TGuardVerdict v = guard.Check_File(p.ResultPath); !v.Allowed())
            return Report_Refusal("scan", v, p.ResultPath);
        // A file named on the command line is never replaced: refused before the scan.
        if (!p.ResultNameFree && Path_Taken(p.ResultPath)) {
            std::fprintf(stderr,
                         "qrv-cli scan: %s exists; it is not overwritten (name another file or a folder)\n",
                         p.ResultPath.c_str());
            return 1;
        }
        p.SavedResultPath = std::make_shared<std::string>();
    }
    if (auto dir = args.Get("export")) {
        if (int rc = Prepare_Folder("scan", *dir, guard)) return rc;
    }
    return 0;
}

// The opening fields of the --json object: counts, the outcome and the unread sectors.
std::string Scan_JsonHead(const TScanParams& p, const TOutcome& outcome, const TCliSession& session,
                          bool stopped) {
    const TUnreadMap& unread = session.Scan->Unread;
    return "{\"findings\": " + std::to_string(session.Scan->Scans.Count()) +
           ", \"rebuilt\": " + std::to_string(session.Scan->Rebuilds.Count()) +
           ", \"stopped\": " + (stopped ? "true" : "false") +
           ", \"failed\": " + (outcome.Failed() ? "true" : "false") +
           ", \"unread_runs\": " + std::to_string(unread.Runs().size()) +
           ", \"unread_bytes\": " + std::to_string(unread.Bytes()) +
           ", \"recovery_type\": " + std::to_string(p.RecoveryType) +
           ", \"errors\": " + std::to_string(session.Sink->Errors()) +
           ", \"warnings\": " + std::to_string(session.Sink->Warnings());
}

// Says where the results were saved (or that nothing was) and gives the
// --json fields up to the results.
std::string Report_Saved(TScanSession& session, const TScanParams& p, bool json) {
    if (!p.SaveResults) return ", \"results\": ";
    // The analysis saves only what it rebuilt: say so when there was nothing.
    const std::string saved = p.SavedResultPath ? *p.SavedResultPath : "";
    if (session.Rebuilds.Count() == 0)
        std::fprintf(stderr, "qrv-cli scan: no result file saved: nothing was found (%s)\n", p.ResultPath.c_str());
    else if (!saved.empty() && !json)
        std::printf("Results saved: %s\n", saved.c_str());
    return std::string(", \"saved\": ") + (saved.empty() ? "null" : Json_Text(saved)) + ", \"results\": ";
}

// Rows selected by the window of --date-from/--date-to were already
// filtered by the scan; only --rows and --model narrow the export here.
int Select_ExportRows(const TArgs& args, TResultsModel& model) {
    std::vector<std::string> sel;
    if (auto r = args.Get("rows"))
        sel = {"--rows", *r};
    else if (auto m = args.Get("model"))
        sel = {"--model", *m};
    std::string error;
    if (!Select_Rows(model, TArgs(sel, {}), error)) {
        std::fprintf(stderr, "qrv-cli scan: %s\n", error.c_str());
        return 2;
    }
    return 0;
}

// Shows what the scan found (table or --json), saves and exports; returns the exit code.
// A scan that could not start, broke off or met unreadable sectors fails
// the command, whatever else it logged; a stopped one exits as stopped.
int Report_Scan(const TArgs& args, const TScanParams& p, const TCliSession& session, const TOutcome& outcome,
                const TGuardOptions& output) {
    const bool json = args.Has("json");
    const bool stopped = outcome.Kind == TOutcomeKind::Cancelled;
    int status = session.Sink->Errors() > 0 || outcome.Failed() ? 1 : stopped ? kExitStopped : 0;
    std::string out = Scan_JsonHead(p, outcome, session, stopped);
    if (!json) {
        Print_ScanFindings(*session.Scan, stdout);
        std::printf("\n");
    }
    out += Report_Saved(*session.Scan, p, json);
    if (args.Has("export"))
        if (int rc = Select_ExportRows(args, *session.Model)) return rc;
    out += Rows_Json(*session.Model);
    if (!json) Print_Table(*session.Model, stdout);
    if (args.Has("export") && stopped) {
        // A stopped scan exports nothing: the operator asked it to stop.
        std::fprintf(stderr, "qrv-cli scan: stopped, nothing exported\n");
        out += ", \"export\": null";
    } else if (args.Has("export")) {
        if (session.Model->Count() == 0) {
            std::fprintf(stderr, "qrv-cli scan: nothing to export\n");
            status = 1;
        } else if (const int rc = Run_Export(*session.Model, *args.Get("export"), json ? &out : nullptr, output);
                   rc != 0 && status != 1) {
            status = rc;
        }
    }
    if (json) std::printf("%s}\n", out.c_str());
    return status;
}

} // namespace

int Cmd_Scan(const TArgv& argv) {
    for (const auto& a : argv)
        if (a == "--help" || a == "-h") {
            std::printf("%s%s%s", kScanUsage, kExportUsage, kForceUsage);
            return 0;
        }
    TArgs args(argv, {"json", "quiet", "force-same-disk", "china-time", "no-widen"});
    if (int rc = Check_ScanArgs(args)) return rc;
    const std::string& path = args.Positional()[0];

    TScanParams p;
    if (int rc = Read_SourceOptions(args, path, p)) return rc;
    if (int rc = Read_ReassemblyOptions(args, p)) return rc;
    if (int rc = Read_ScanRange(args, p)) return rc;
    if (int rc = Read_DateWindow(args, p)) return rc;
    const TGuardOptions output = Output_Options(args);
    if (int rc = Check_ScanOutputs(args, output, p)) return rc;

    TCliSession session = Start_CliSession(args.Has("quiet"));
    Prepare_ScanRun(*session.Scan);
    const TStopOnInterrupt interrupt(*session.Op);
    TOutcome outcome;
    TScanSession& scan = *session.Scan;
    std::thread worker([&scan, &p, &output, &outcome] { outcome = Run_ScanPipeline(scan, p, output); });
    worker.join();
    return Report_Scan(args, p, session, outcome, output);
}

} // namespace qrv::cli

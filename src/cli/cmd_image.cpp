// qrv-cli image SOURCE --out DIR: copies a source, or a sector range of it, into
// an image file in DIR (never on the disk being imaged), with its MD5, SHA-1
// and SHA-256 in <image>.hashes and its unreadable sectors in <image>.map
// (GNU ddrescue's mapfile format). Progress on stderr; Ctrl-C stops after the
// current block (exit status 4) and keeps <image>.partial with its map, which
// --map continues.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/common_cli.h"
#include "cli/source_pick.h"
#include "common/op_state.h"
#include "media/raw_access.h"
#include "platform/output_file.h"
#include "platform/output_guard.h"
#include "platform/source_io.h"
#include "sources/image_map.h"
#include "scan/scan_settings.h"
#include "sources/imaging.h"

namespace qrv::cli {

namespace {

// "650M", "2G", "4096" -> bytes (K, M, G: powers of 1024).
std::optional<int64_t> Parse_Bytes(const std::string& text) {
    if (text.empty()) return std::nullopt;
    size_t used = 0;
    long long v = 0;
    try {
        v = std::stoll(text, &used);
    } catch (...) {
        return std::nullopt;
    }
    int shift = 0;
    const std::string unit = text.substr(used);
    if (unit == "K" || unit == "k") shift = 10;
    else if (unit == "M" || unit == "m") shift = 20;
    else if (unit == "G" || unit == "g") shift = 30;
    else if (!unit.empty()) return std::nullopt;
    if (v <= 0 || v > (INT64_MAX >> shift)) return std::nullopt;
    return int64_t(v) << shift;
}

void Print_ImageUsage(std::FILE* to) {
    std::fprintf(
        to,
        "usage: qrv-cli image SOURCE --out DIR [--start S --end E] [--region N] [--retries N]\n"
        "                     [--map FILE] [--verify] [--json] [--force-same-disk]\n"
        "                     [--format raw|e01] [--segment-size BYTES[K|M|G]] [--compression none|fast|best]\n"
        "                     [--case-number T] [--evidence-number T] [--examiner T] [--description T] [--notes T]\n"
        "  copies sectors [S, E) of a disk or volume (or of region N of a source) into\n"
        "  DIR/<name>-<date><time>.img; DIR (made when missing) must not be on the disk being\n"
        "  imaged, and E must not lie beyond the end of the source. MD5, SHA-1 and SHA-256 of\n"
        "  the image go to <image>.hashes, unreadable sectors (zeros in the image) to <image>.map\n"
        "  --format F    raw (default): DIR/<name>.img; e01: an EnCase 6 container DIR/<name>.E01,\n"
        "                .E02 ... holding the case data, MD5 and SHA-1 (unreadable sectors are zeros\n"
        "                there too, and listed in the map)\n"
        "  --segment-size, --compression   of an E01 (default: libewf's segment size, none)\n"
        "  --retries N   sector-by-sector read passes over a failing block (default 1)\n"
        "  --map FILE    continue the stopped or killed raw acquisition FILE (<image>.map) belongs\n"
        "                to: stretches not tried and sectors unreadable so far are read again\n"
        "  --verify      read the finished image back and compare its three digests\n"
        "  --json        the outcome as JSON on stdout\n%s",
        kForceUsage);
}

// What one image command copies: the source node, the sectors [Start, End),
// the folder the image goes to and how it is written.
struct TImageRequest {
    TTreeData Node;
    std::string Folder;
    int64_t Start = 0;
    int64_t End = 0;
    TImageOptions Opts;
};

// Each step below returns the exit code the command ends with when the
// command line is refused, 0 when the copy goes on.

// The read retries, the format and, for a container, its segments, compression and case data.
int Read_ImageOptions(const TArgs& args, TImageOptions& opts) {
    opts.Retries = int(args.Get_Int("retries").value_or(1));
    if (args.Has("retries") && (opts.Retries < 1 || opts.Retries > 1000)) {
        std::fprintf(stderr, "qrv-cli image: --retries must be 1 to 1000\n");
        return 2;
    }
    const std::string format = args.Get("format").value_or("raw");
    if (format != "raw" && format != "e01") {
        std::fprintf(stderr, "qrv-cli image: --format must be raw or e01\n");
        return 2;
    }
    if (format == "e01") opts.Format = TImageFormat::E01;
    if (args.Has("compression") && !Parse_EwfCompression(*args.Get("compression"), opts.Ewf.Compression)) {
        std::fprintf(stderr, "qrv-cli image: --compression must be none, fast or best\n");
        return 2;
    }
    if (args.Has("segment-size")) {
        const auto bytes = Parse_Bytes(*args.Get("segment-size"));
        if (!bytes || *bytes < (int64_t(1) << 20)) {
            std::fprintf(stderr, "qrv-cli image: --segment-size must be a size of at least 1M (K, M, G suffixes)\n");
            return 2;
        }
        opts.Ewf.SegmentBytes = *bytes;
    }
    opts.Ewf.CaseNumber = args.Get("case-number").value_or("");
    opts.Ewf.EvidenceNumber = args.Get("evidence-number").value_or("");
    opts.Ewf.Examiner = args.Get("examiner").value_or("");
    opts.Ewf.Description = args.Get("description").value_or("");
    opts.Ewf.Notes = args.Get("notes").value_or("");
    if (format != "e01" && (args.Has("segment-size") || args.Has("compression") || args.Has("case-number") ||
                            args.Has("evidence-number") || args.Has("examiner") || args.Has("description") ||
                            args.Has("notes"))) {
        std::fprintf(stderr, "qrv-cli image: segment size, compression and case data need --format e01\n");
        return 2;
    }
    if (args.Has("map") && format == "e01") {
        std::fprintf(stderr, "qrv-cli image: --map continues raw acquisitions only\n");
        return 2;
    }
    return 0;
}

// --map: the acquisition continued, and its range unless given (the core
// refuses one that differs).
int Read_ResumeMap(const TArgs& args, TImageRequest& q) {
    if (!args.Has("map")) return 0;
    q.Opts.ResumeMap = *args.Get("map");
    std::ifstream in(q.Opts.ResumeMap, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::string why;
    const auto map = Parse_ImageMap(text.str(), &why);
    if (!in || !map) {
        std::fprintf(stderr, "qrv-cli image: cannot continue from %s: %s\n", q.Opts.ResumeMap.c_str(),
                     in ? why.c_str() : "cannot be read");
        return 1;
    }
    if (!args.Has("start")) q.Start = map->StartSector;
    if (!args.Has("end")) q.End = map->EndSector;
    return 0;
}

// The range lies on the source, and the folder is allowed, made and has room for the image.
int Check_ImageRequest(const TImageRequest& q, const TGuardOptions& output) {
    if (q.Start < 0 || q.End < 0) {
        std::fprintf(stderr, "qrv-cli image: sectors must not be negative\n");
        return 2;
    }
    if (const TOutcome r = Check_ImageRange(q.Start, q.End); !r.Is_Ok()) {
        std::fprintf(stderr, "qrv-cli image: %s\n", r.Why.c_str());
        return 1;
    }
    if (const TOutcome r = Check_ImageBounds(q.Node, q.Start, q.End, Get_PathSize(Get_SourcePath(q.Node)));
        !r.Is_Ok()) {
        std::fprintf(stderr, "qrv-cli image: %s\n", r.Why.c_str());
        return 1;
    }
    const TOutputGuard guard({Get_SourcePath(q.Node)}, output);
    if (TGuardVerdict v = guard.Check_Folder(q.Folder); !v.Allowed()) return Report_Refusal("image", v, q.Folder);
    if (int rc = Prepare_Folder("image", q.Folder, guard)) return rc;
    const int64_t psb = q.Node.PerSecBytes > 0 ? q.Node.PerSecBytes : 512;
    const int64_t needed = (q.End - q.Start) * psb; // fits: both ends were checked above
    if (const TOutcome r =
            Check_ImageSpace(Get_FreeBytes(q.Folder), q.Opts.ResumeMap.empty() ? needed : 0, q.Node.HddCap);
        !r.Is_Ok()) {
        std::fprintf(stderr, "qrv-cli image: %s\n", r.Why.c_str());
        return 1;
    }
    return 0;
}

// --verify: the finished image read back must give the digests computed while
// it was written. 0 mismatch or not readable, 1 equal.
int Verify_Image(const std::string& written, const TImageResult& r) {
    TImageHashes back;
    // A container is read back through libewf: the media it holds.
    const TOutcome read = Hash_File(written, -1, back);
    if (!read.Is_Ok()) {
        std::fprintf(stderr, "verify: the image could not be read back: %s\n", read.Why.c_str());
        return 0;
    }
    const int verified = back.Md5 == r.Hashes.Md5 && back.Sha1 == r.Hashes.Sha1 && back.Sha256 == r.Hashes.Sha256;
    if (verified)
        std::fprintf(stderr, "verify: the image read back matches MD5, SHA1 and SHA256\n");
    else
        std::fprintf(stderr, "verify: MISMATCH: the image read back gives MD5 %s SHA1 %s SHA256 %s\n",
                     back.Md5.c_str(), back.Sha1.c_str(), back.Sha256.c_str());
    return verified;
}

// verified: -1 not checked, 0 mismatch, 1 equal.
void Print_ImageJson(const std::string& written, const TImageResult& r, const std::string& format, int verified) {
    std::printf("{\n  \"image\": %s,\n  \"bytes_written\": %lld,\n  \"stopped\": %s,\n  \"ok\": %s,\n"
                "  \"unreadable_bytes\": %lld,\n  \"resumed_from\": %lld,\n  \"map\": %s,\n",
                Json_Text(written).c_str(), static_cast<long long>(r.BytesWritten), r.Stopped ? "true" : "false",
                r.Ok ? "true" : "false", static_cast<long long>(r.UnreadBytes),
                static_cast<long long>(r.ResumedFrom), r.MapPath.empty() ? "null" : Json_Text(r.MapPath).c_str());
    if (r.Hashes.Ok())
        std::printf("  \"hashes\": {\"md5\": %s, \"sha1\": %s, \"sha256\": %s},\n", Json_Text(r.Hashes.Md5).c_str(),
                    Json_Text(r.Hashes.Sha1).c_str(), Json_Text(r.Hashes.Sha256).c_str());
    else
        std::printf("  \"hashes\": null,\n");
    std::printf("  \"format\": \"%s\",\n  \"segments\": [", format.c_str());
    for (size_t i = 0; i < r.Segments.size(); ++i)
        std::printf("%s%s", i ? ", " : "", Json_Text(r.Segments[i]).c_str());
    std::printf("],\n  \"verified\": %s\n}\n", verified < 0 ? "null" : verified ? "true" : "false");
}

void Print_ImageText(const std::string& written, const TImageResult& r) {
    std::printf("%s\n%lld bytes written%s%s\n", written.c_str(), static_cast<long long>(r.BytesWritten),
                r.Stopped ? " (stopped)" : "",
                r.UnreadBytes ? (", " + std::to_string(r.UnreadBytes) + " unreadable bytes written as zeros").c_str()
                              : "");
    if (r.Hashes.Ok())
        std::printf("MD5  %s\nSHA1  %s\nSHA256  %s\n", r.Hashes.Md5.c_str(), r.Hashes.Sha1.c_str(),
                    r.Hashes.Sha256.c_str());
}

} // namespace

int Cmd_Image(const TArgv& argv) {
    const std::set<std::string> known = {"help",        "out",         "start",           "end",      "region",
                                         "force-same-disk", "retries", "map",         "verify",   "json",
                                         "format",      "segment-size", "compression", "case-number",
                                         "evidence-number", "examiner", "description", "notes"};
    TArgs args(argv, {"help", "force-same-disk", "verify", "json"});
    if (args.Has("help") || args.Positional().size() != 1 || !args.Has("out") || !args.Unknown(known).empty()) {
        Print_ImageUsage(args.Has("help") ? stdout : stderr);
        return args.Has("help") ? 0 : 2;
    }
    const TGuardOptions output = Output_Options(args);
    TCliSession session = Start_CliSession(false);
    auto picked = Pick_Source(args.Positional()[0], args.Get_Int("region"));
    if (!picked.Ok) {
        std::fprintf(stderr, "qrv-cli image: %s\n", picked.Error.c_str());
        return 1;
    }
    TImageRequest q;
    q.Node = picked.Node;
    if (const TOutcome r = Check_ImageNode(&q.Node); !r.Is_Ok()) {
        std::fprintf(stderr, "qrv-cli image: %s\n", r.Why.c_str());
        return 1;
    }
    q.Folder = *args.Get("out");
    const int64_t psb = q.Node.PerSecBytes > 0 ? q.Node.PerSecBytes : 512;
    const int64_t first = q.Node.Hddtype == HDD_REGION ? q.Node.RegionSec : 0;
    q.Start = args.Get_Int("start").value_or(first);
    q.End = args.Get_Int("end").value_or(first + q.Node.TotalSpace / psb);
    if (int rc = Read_ImageOptions(args, q.Opts)) return rc;
    if (int rc = Read_ResumeMap(args, q)) return rc;
    if (int rc = Check_ImageRequest(q, output)) return rc;

    const std::string target = q.Folder + "/" + Image_FileName(Named_ByBase(q.Node), std::time(nullptr));
    TOpState& op = *session.Op;
    op.WrittenBytes.store(0);
    op.StopFlag.store(false);
    TImageResult r;
    {
        const TStopOnInterrupt interrupt(op);
        r = To_image(op, q.Node, target, q.Start, q.End, output, q.Opts);
    }
    // The name actually written: the next free one beside target, or target.partial after a stop.
    const std::string& written = r.WrittenPath.empty() ? target : r.WrittenPath;
    const int verified = args.Has("verify") && r.Ok && !r.Stopped ? Verify_Image(written, r) : -1;
    if (args.Has("json"))
        Print_ImageJson(written, r, args.Get("format").value_or("raw"), verified);
    else
        Print_ImageText(written, r);
    // A stop is said first: the acquisition is not over, whatever it met so far.
    if (!r.Ok) return 1;
    if (r.Stopped) return kExitStopped;
    return r.UnreadBytes > 0 || verified == 0 ? 1 : 0;
}

} // namespace qrv::cli

// qrv-cli inspect FILE [--offset N] [--china-time]
//
// Shows what the scan would see of the recording whose head (or movie box)
// starts at byte N of FILE: the head walk's result and, when a movie box is
// reached, its metadata and box positions. The file is opened read-only.
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/commands.h"
#include "common/byte_order.h"
#include "common/op_state.h"
#include "media/raw_access.h"
#include "platform/source_io.h"
#include "scan/metadata.h"

namespace qrv::cli {

namespace {

const char* kInspectUsage = "usage: qrv-cli inspect FILE [--offset N] [--china-time]\n"
                            "  FILE          image file, device or recording (opened read-only)\n"
                            "  --offset N    byte offset of the recording head or movie box (default 0)\n"
                            "  --china-time  show the shooting date with the China time standard\n";

// Walk unit of a source without a recognised file system.
constexpr int64_t kWalkUnit = 32768;

bool Is_MoovAt(TSource& h, int64_t off) {
    std::vector<uint8_t> b = Get_Bytes(h, 16, off);
    return Tag_At(std::span<const uint8_t>(b), 4, "moov");
}

void Print_Movie(TSource& h, int64_t moovOff, int64_t scanEnd, int timeStandard) {
    TMoovCon con;
    Get_MoovInfo(TTreeData{}, h, 0, con, scanEnd, moovOff, timeStandard);
    std::printf("movie box at %lld:\n", (long long)moovOff);
    if (!con.MoovGood) {
        std::printf("  status: not good (the walk did not reach the closing udta box)\n");
        return;
    }
    std::printf("  status: good\n");
    std::printf("  length: %lld\n", (long long)con.MoovLen);
    std::printf("  model: %s\n", con.CamerModel.c_str());
    std::printf("  shooting date: %s\n", con.CreateTime.c_str());
    std::printf("  duration: %s s\n", con.Durting.c_str());
    std::printf("  trak boxes: %d\n", con.trakcnt);
    for (size_t i = 0; i < con.track.size(); ++i)
        std::printf("    trak %zu: offset %lld, length %lld\n", i + 1, (long long)con.track[i].AtomOff,
                    (long long)con.track[i].AtomLen);
    std::printf("  udta: offset %lld, length %u\n", (long long)con.MoovFree_Soff, con.MoovFree_Len);
}

} // namespace

int Cmd_Inspect(const TArgv& argv) {
    for (const auto& a : argv)
        if (a == "--help" || a == "-h") {
            std::fputs(kInspectUsage, stdout);
            return 0;
        }
    TArgs args(argv, {"china-time"});
    auto unknown = args.Unknown({"offset", "china-time"});
    if (!unknown.empty() || args.Positional().size() != 1) {
        if (!unknown.empty())
            std::fprintf(stderr, "qrv-cli inspect: unknown option --%s\n", unknown[0].c_str());
        std::fputs(kInspectUsage, stderr);
        return 2;
    }
    const std::string& path = args.Positional()[0];
    const int64_t offset = args.Get_Int("offset").value_or(0);

    TSourcePtr h = Open_Source(path);
    if (!h) {
        std::fprintf(stderr, "qrv-cli inspect: cannot open %s read-only\n", path.c_str());
        return 1;
    }
    const int64_t size = h->Size();
    if (size < 0) {
        std::fprintf(stderr, "qrv-cli inspect: cannot determine the size of %s\n", path.c_str());
        return 1;
    }
    if (offset < 0 || offset >= size) {
        std::fprintf(stderr, "qrv-cli inspect: offset %lld is outside %s (%lld bytes)\n", (long long)offset,
                     path.c_str(), (long long)size);
        return 2;
    }
    const int timeStandard = args.Has("china-time") ? TIMESTD_CHINA : TIMESTD_UTC;
    // The movie-box walk also reads the header of the box after the movie box;
    // a recording file ends with its movie box, so allow that header past the end.
    const int64_t scanEnd = size + 8;

    std::printf("source: %s (%lld bytes)\n", path.c_str(), (long long)size);
    if (Is_MoovAt(*h, offset)) {
        Print_Movie(*h, offset, scanEnd, timeStandard);
        return 0;
    }
    int64_t pos = 0, boxSize = 0;
    const int walk = Get_HeadAtom(*h, kWalkUnit, pos, boxSize, offset);
    switch (walk) {
    case 0:
        std::printf("head walk at %lld: 0 (mdat at +%lld, size %lld)\n", (long long)offset, (long long)pos,
                    (long long)boxSize);
        // The cameras write the movie box right after the media data.
        if (boxSize <= INT64_MAX - offset - pos && Is_MoovAt(*h, offset + pos + boxSize)) {
            Print_Movie(*h, offset + pos + boxSize, scanEnd, timeStandard);
        } else {
            std::printf("no movie box right after the media data\n");
        }
        return 0;
    case 1:
        std::printf("head walk at %lld: 1 (moov at +%lld)\n", (long long)offset, (long long)pos);
        Print_Movie(*h, offset + pos, scanEnd, timeStandard);
        return 0;
    default:
        std::printf("head walk at %lld: -1 (no recording head or movie box here)\n", (long long)offset);
        return 1;
    }
}

} // namespace qrv::cli

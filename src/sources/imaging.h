// Disk imaging: copying a source, or a sector range of it, into a plain image
// file on another disk, in 524,800-byte blocks, with progress and a stop flag.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "common/op_state.h"
#include "common/outcome.h"
#include "media/tree_data.h"
#include "platform/ewf_writer.h"
#include "platform/output_guard.h"
#include "platform/source_io.h"
#include "sources/image_digest.h"

namespace qrv {

inline constexpr int64_t kImageBlock = 524800; // 1025 sectors of 512 bytes

// Image file name for a node at a given local time: HddModel + "-" + yyyymmdd +
// " " + the locale's long time, with : / \ ? < > " | * and spaces removed, plus
// ".img" (a volume "/dev/sdb1" at 14:03:27 on 5 March 2024 -> "devsdb1-20240305140327.img").
std::string Image_FileName(const TTreeData& node, const std::tm& localTime);
std::string Image_FileName(const TTreeData& node, std::time_t now);

// The checks below return Ok, or Refused with the text the user is shown.

// Refusal of the imaging command for the focused node. node may be nullptr
// (nothing focused).
TOutcome Check_ImageNode(const TTreeData* node);

// Refusal of a target folder by the output guard for the node's source: the
// source itself, a block device, a folder on the disk being imaged or on a disk
// that cannot be determined.
TOutcome Check_ImageFolder(const TTreeData& node, const std::string& folder,
                              const TGuardOptions& output = {});

// Checks of the start button on the typed start and end sectors.
TOutcome Check_ImageRange(int64_t start, int64_t end);

// The byte range of sectors [start, end) of the node: negative sectors, a sector number whose byte offset does not fit
// in 64 bits, and an end beyond a medium of mediumBytes bytes (-1: size
// unknown, not checked) are refused.
TOutcome Check_ImageBounds(const TTreeData& node, int64_t start, int64_t end, int64_t mediumBytes);

// The free-space refusal when freeBytes < needed: four lines joined by CR LF.
TOutcome Check_ImageSpace(int64_t freeBytes, int64_t needed, const std::string& capText);

enum class TImageFormat { Raw, E01 };

// How an acquisition runs.
struct TImageOptions {
    // A plain image, or an EWF container (target's ".img" becomes ".E01").
    TImageFormat Format = TImageFormat::Raw;
    TEwfSettings Ewf;
    // Sector-by-sector read passes over a block the medium did not deliver
    // whole (at least 1); a sector still unreadable after them is zeros.
    int Retries = 1;
    // The map of a stopped or killed raw acquisition to continue (its image
    // is the map's name without ".map"; the unfinished file is the one the
    // map names); empty: a new acquisition. Stretches not tried and those
    // found unreadable are read again.
    std::string ResumeMap;
};

struct TImageResult {
    bool Ok = false;           // every block was read or zero-filled and written, and the file closed
    bool Stopped = false;      // the stop flag ended the copy early
    int64_t BytesWritten = 0;
    int64_t UnreadBlocks = 0;  // blocks holding sectors that could not be read (written as zeros)
    int64_t UnreadBytes = 0;   // bytes of those sectors
    // The file written: the target (or the next free name beside it), or
    // target + ".partial" when the stop flag ended the copy; empty when
    // nothing was kept.
    std::string WrittenPath;
    std::string MapPath;    // the map written beside it ("" when none)
    std::string HashesPath; // the digests file beside a complete image
    TImageHashes Hashes;    // digests of the whole image (complete images only)
    int64_t ResumedFrom = 0; // bytes already settled (copied or found unreadable) when a resume began
    std::vector<std::string> Segments; // the segment files of a finished container
};

// Copies sectors [start, end) of the node (sectors of PerSecBytes, 512 when
// unset) into a new file at target, named only when complete (a taken target,
// named after the time by both front ends, gives way to the next free name;
// nothing existing is replaced). Reports through the message channel: log
// lines (0), progress start (1), progress steps (2) and progress end (3). A
// range Check_ImageBounds refuses, and a target the output guard refuses, end
// the run with an error line before anything is created.
// MD5, SHA-1 and SHA-256 of the image are computed in the same pass, logged
// and written to <image>.hashes; the map <image>.map lists the unreadable
// sectors (and, after a stop, what is left to do: a later run continues
// from it with opts.ResumeMap, target then being ignored).
// op: the state of the imaging operation (stop flag, counters, progress
// record), owned by the front end that runs it.
TImageResult To_image(TOpState& op, const TTreeData& node, const std::string& target, int64_t start,
                      int64_t end, const TGuardOptions& output = {}, const TImageOptions& opts = {});

// The same copy from an already opened source (tests use failing sources).
TImageResult To_imageFrom(TOpState& op, TSource* source, const TTreeData& node, const std::string& target,
                          int64_t start, int64_t end, const TGuardOptions& output = {},
                          const TImageOptions& opts = {});

// The image a map belongs to: "X.img.map" -> "X.img".
std::string Image_OfMap(const std::string& mapPath);

} // namespace qrv

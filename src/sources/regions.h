// Image files and regions as sources: opening an image file (with the partitions
// and volumes found at its start added as regions), inspecting a sector range
// for a partition table or a volume boot sector (Create_Region), the checks of
// the region dialog, and deleting image and region nodes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sources/source_tree.h"

namespace qrv {

// Most extended boot records followed in one chain; a longer chain is corrupt.
inline constexpr int kMaxChainRecords = 256;

struct TOpenImageResult {
    TSourceNode* Node = nullptr;        // the new image node; nullptr when refused
    std::vector<TSourceNode*> Regions;  // regions found at the image's start
    std::string Message;                // message-box text when refused ("" otherwise)
};

// Adds the image file at path under the tree's root and inspects its first
// sector. Refused (with a message) when no path is given, when the file cannot be
// opened or sized, or when the same path with the same size is already listed.
TOpenImageResult Open_Image(TSourceTree& tree, const std::string& path);

// Inspects the parent's source from sector first (of sectorSize bytes) and adds
// region nodes under parent for what it finds: a raw region when the first
// sector has no boot signature, else the FAT32/NTFS volumes named by a partition
// table (with the logical volumes of an extended partition) and a volume boot
// sector at first itself. end is exclusive. Returns the added nodes in order.
// Sends message 4 when done (and a log line first when the source cannot be opened).
std::vector<TSourceNode*> Create_Region(TSourceNode& parent, int32_t sectorSize, int64_t first, int64_t end);

// Result of a region-dialog check: Ok, or the message to show and the field
// texts to put back (unset: leave the field as it is).
struct TRegionCheck {
    bool Ok = false;
    std::string Message;
    std::optional<std::string> StartText;
    std::optional<std::string> CountText;
};

// The confirm button's checks, in order, on the typed start and count against
// the source's total sectors.
TRegionCheck Check_RegionRange(const std::string& startText, const std::string& countText, int64_t total);

// The "默认" button: a count below 64 is reset to 64 with a message, otherwise
// the count becomes the rest of the source from the start (CountText).
TRegionCheck Default_RegionCount(const std::string& startText, const std::string& countText, int64_t total);

// Deletes an image-file or region node with everything below it; other kinds
// (and the root) are kept. True when something was deleted.
bool Delete_Node(TSourceTree& tree, TSourceNode* node);

// Capacity text of images and regions: GB, else MB, else KB, two decimals
// (ties to even), e.g. "1.50 GB", "0.50 KB".
std::string Region_FormatSize(int64_t bytes);

} // namespace qrv

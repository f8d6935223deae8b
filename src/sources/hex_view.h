// The sector hex view: one sector of the focused source as rows of 16 bytes,
// and the sector-number rules of its jump, previous and next buttons.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "media/tree_data.h"

namespace qrv {

// One row: offset as 8 upper-case hex digits, two spaces, 16 bytes as "XX " with
// one extra space after the eighth, one space, the bytes as characters (32..126
// as themselves, others "."). A short row is padded with blanks to full width.
std::string Hex_Row(std::span<const uint8_t> bytes, int64_t offset);

// All rows of a buffer, offsets from 0.
std::vector<std::string> Hex_Rows(std::span<const uint8_t> bytes);

// The rows joined with line feeds (each row ends with one).
std::string Hex_Text(std::span<const uint8_t> bytes);

// Sector-number rules; total is the node's sector count (Node_TotalSectors) and
// the region's first sector RegionSec bounds a region's range.
int64_t Hex_JumpSector(const TTreeData& node, int64_t total, int64_t sector);
int64_t Hex_PrevSector(const TTreeData& node, int64_t total, int64_t current);
int64_t Hex_NextSector(const TTreeData& node, int64_t total, int64_t current);

// Reads one sector (PerSecBytes, 512 when unset) of the node's source read-only.
// nullopt, after a log line, when the source cannot be opened; a sector past the
// end reads as zeros.
std::optional<std::vector<uint8_t>> Get_Hex(const TTreeData& node, int64_t sector);

} // namespace qrv

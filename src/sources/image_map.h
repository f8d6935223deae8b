// The map of an acquisition, in GNU ddrescue's mapfile format, so that the
// examiner's tools read it: comment lines starting with '#', a status line
// "0xPOS  C  PASS", then one line "0xPOS  0xSIZE  S" per run, S '+' copied,
// '-' unreadable (zeros in the image), '?' not tried yet. Positions are
// relative to the first byte of the imaged range. The comments also name the
// source, its size and the sector range, so that a resume can check it
// continues the same acquisition.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "media/raw_access.h"

namespace qrv {

struct TMapRun {
    int64_t Pos = 0, Size = 0;
    char Status = '?';
};

struct TImageMap {
    std::string Source;
    int64_t SourceBytes = -1;
    int64_t StartSector = 0, EndSector = 0, SectorBytes = 512;
    int64_t CurrentPos = 0;
    char CurrentStatus = '?'; // '?' copying (stopped part way), '+' finished
    int Pass = 1;
    std::vector<TMapRun> Runs; // in order, covering [0, range bytes)

    int64_t RangeBytes() const { return (EndSector - StartSector) * SectorBytes; }
    // Bytes before the first run not yet tried (the length of the image written).
    int64_t DoneBytes() const;
    // Bytes of '-' runs.
    int64_t BadBytes() const;
};

// Runs for an acquisition of total bytes of which [0, done) were copied, with
// the unreadable stretches bad (source offsets, base = source offset of the
// range's first byte) and the rest not tried.
std::vector<TMapRun> Map_Runs(int64_t total, int64_t done, const std::vector<TUnreadRun>& bad, int64_t base);

std::string Image_MapText(const TImageMap& map);

// nullopt, with the reason in *error, when text is not a map this program can continue from.
std::optional<TImageMap> Parse_ImageMap(const std::string& text, std::string* error = nullptr);

} // namespace qrv

// The map of an acquisition, in GNU ddrescue's mapfile format, so that the
// examiner's tools read it: comment lines starting with '#', a status line
// "0xPOS  C  PASS", then one line "0xPOS  0xSIZE  S" per run, S '+' copied,
// '-' unreadable (zeros in the image), '?' not tried yet. Positions are
// relative to the first byte of the imaged range. The comments also name the
// source, its size and the sector range, so that a resume can check it
// continues the same acquisition, and the file the unfinished image is being
// written to. '?' runs may lie anywhere: the first pass skips ahead past a
// failing area and leaves it for a later pass.
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
    // File name (in the map's folder) of the unfinished image; empty: the
    // image's name with ".partial".
    std::string Partial;
    std::vector<TMapRun> Runs; // in order, covering [0, range bytes)

    int64_t RangeBytes() const { return (EndSector - StartSector) * SectorBytes; }
    // Bytes before the first run not yet tried.
    int64_t DoneBytes() const;
    // The end of the last run that was tried (what the image file must hold at least).
    int64_t Extent() const;
    // Bytes of runs with the given status.
    int64_t Bytes_Of(char status) const;
    int64_t BadBytes() const { return Bytes_Of('-'); }
};

// Sets the status of [pos, pos + size) in runs that cover a range, joining
// neighbours of the same status.
void Mark_Run(std::vector<TMapRun>& runs, int64_t pos, int64_t size, char status);

// Runs for an acquisition of total bytes of which [0, done) were copied, with
// the unreadable stretches bad (source offsets, base = source offset of the
// range's first byte) and the rest not tried.
std::vector<TMapRun> Map_Runs(int64_t total, int64_t done, const std::vector<TUnreadRun>& bad, int64_t base);

std::string Image_MapText(const TImageMap& map);

// nullopt, with the reason in *error, when text is not a map this program can continue from.
std::optional<TImageMap> Parse_ImageMap(const std::string& text, std::string* error = nullptr);

} // namespace qrv

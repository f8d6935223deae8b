// Turning a path given on the command line into a source node: a listed disk or
// volume when the path is one of the machine's block devices, else an image file;
// optionally region N (counted from 1) of what was found at its start.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sources/source_tree.h"

namespace qrv::cli {

struct TPickedSource {
    bool Ok = false;
    TTreeData Node;
    std::string Error; // why no node could be chosen
};

TPickedSource Pick_Source(const std::string& path, std::optional<int64_t> region = std::nullopt);

// text padded with blanks to a display width.
std::string Pad(const std::string& text, size_t width);

} // namespace qrv::cli

// Questions about paths that only the file system can answer, and the few file
// operations that are neither a source read (source_io.h) nor a guarded
// output (output_file.h): reading a small file of the program (settings,
// language table), removing an output that must not survive, the temporary
// folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qrv {

enum class TPathKind { Missing, File, Folder, BlockDevice, Other };

// What path names, links followed; Missing when it cannot be looked at.
TPathKind Get_PathKind(const std::string& path);

// The path with every link and "." / ".." resolved, or path unchanged when it
// cannot be resolved (it does not exist...).
std::string Canonical_Path(const std::string& path);

// The path made absolute against the working folder and lexically normalised,
// or path unchanged when the working folder cannot be read.
std::string Absolute_Path(const std::string& path);

// Reads a whole file into out; false when it cannot be opened or read.
bool Read_WholeFile(const std::string& path, std::vector<uint8_t>& out);

// Removes a file QRV wrote itself (a partial output); false when it could not.
bool Remove_File(const std::string& path);

// The platform's temporary folder without a trailing '/', "/tmp" when none is set.
std::string Get_TempFolder();

} // namespace qrv

// Checks the window makes on a source before it reads from it or writes
// output for it: where output may go, and whether the source can be opened
// at all by the user running the program.
#pragma once

#include <string>

#include "media/tree_data.h"
#include "platform/output_guard.h"

namespace qrv::app {

// Refusal of a folder as the target of output made from the node's source (a
// scan-result file, a disk image): the message to show when the folder lies
// on the disk behind the source, "" when it is accepted. Image-file sources
// are never refused.
std::string Check_OutputTarget(const std::string& folder, const TTreeData& node,
                               const TGuardOptions& output = {});

// When the node's source cannot be opened because the user lacks the right to
// read it: what to do about it, in words the user can act on (run as root or
// join the disk group for a device, the file's permissions for a file),
// translated. "" when it opens, fails for another reason, or the user is root.
std::string Access_Hint(const TTreeData& node);

} // namespace qrv::app

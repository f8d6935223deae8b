// Same-disk test: whether a target folder lies on the physical disk that holds
// a source. Writing recovered files to the medium being recovered could
// overwrite the very data being recovered, so export and imaging refuse it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

namespace qrv {

// The whole-disk device number behind a block device number: a partition maps
// to its parent disk (/sys/dev/block/MAJ:MIN/partition), a disk to itself.
// nullopt when sysfs does not know the number (tmpfs, overlay, network).
std::optional<dev_t> Get_WholeDisk(dev_t dev);

// The whole disk holding the file system of a folder (stat -> st_dev).
std::optional<dev_t> Get_FolderDisk(const std::string& folder);

// True only when the source is a block device and the folder's file system lies
// on the same whole disk. Image files (regular files) are never refused, and
// an unknown disk on either side does not refuse.
bool Is_SameDisk(const std::string& folder, const std::string& sourcePath);
inline bool Same_Disk(const std::string& folder, const std::string& sourcePath) {
    return Is_SameDisk(folder, sourcePath);
}

} // namespace qrv

// The output guard: the one place that decides whether QRV may write to a path.
//
// A source medium is evidence. Every file QRV writes (scan-result file, exported
// recordings, disk images, the saved log, preview samples, settings, temporary
// indexes) and every folder it creates is opened through TOutputFile::Create or
// Make_Folder(s) (output_file.h), and both take a guard: there is no way to
// open an output without one. A guard knows the sources the operation reads
// (their paths, in any spelling) and refuses, with a reason and a cause:
//   - the source itself: the same file (device and inode, after following
//     links, so relative paths, symbolic links, hard links, bind mounts and
//     /proc/self/fd/N aliases are all caught), including the backing file of a
//     loop device anywhere in a device source's chain (loops stacked on loops,
//     dm and md volumes built on loops, to any depth), any path on a file
//     system that is stored in a source (an image mounted through a loop
//     device, however many loops deep), and a new file or folder whose name
//     is one an EWF source's segment set could grow into (card.E02 beside a
//     one-segment card.E01 would break the set);
//   - any block device;
//   - for a block-device source, any path whose file system lies on a disk
//     behind the source (same_disk.h), or whose disk cannot be determined
//     (btrfs, overlayfs, zfs ...). Both can be overridden with ForceSameDisk,
//     which is never the default; the second alone with AcceptUnknownDisk. Image-file sources do not bring
//     this rule: a folder beside an image file is fine, only the image itself is refused.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/same_disk.h"

namespace qrv {

enum class TGuardCause {
    None,        // allowed
    SameFile,    // the path is a source (or a loop source's backing file)
    BlockDevice, // the path is a block device
    SameDisk,    // the path lies on a disk behind a device source
    UnknownDisk  // the disk of the path (or of a device source) cannot be determined
};

struct TGuardVerdict {
    TGuardCause Cause = TGuardCause::None;
    std::string Reason; // translated text for a log line or message box; empty when allowed
    std::string Detail; // what was found (file system, device numbers), for the log
    bool Allowed() const { return Cause == TGuardCause::None; }
};

// Stable names of the causes for scripts ("same_file", "block_device", ...).
const char* Guard_CauseName(TGuardCause cause);

struct TGuardOptions {
    // Accept a target on a device source's disk, or on a disk that cannot be
    // determined. Never the source itself, never a block device.
    bool ForceSameDisk = false;
    // Accept a target whose disk cannot be determined (btrfs, overlayfs, zfs,
    // fuse ...) once the user has confirmed that risk for it; a target known
    // to lie on a device source's disk is still refused.
    bool AcceptUnknownDisk = false;
    // Root of the sysfs tree the disks are looked up in.
    std::string SysRoot = "/sys";
};

class TOutputGuard {
  public:
    // sources: the paths the operation reads (image files or block devices);
    // empty paths are ignored. The sources are looked at now.
    explicit TOutputGuard(const std::vector<std::string>& sources, TGuardOptions options = {});
    // A guard for writers that read no source (fixtures, tools). It still refuses block devices.
    static TOutputGuard Without_Sources() { return TOutputGuard({}); }

    // A file about to be created or replaced at path.
    TGuardVerdict Check_File(const std::string& path) const;
    // A folder to be created or written into (it need not exist yet).
    TGuardVerdict Check_Folder(const std::string& path) const;
    // An output opened as fd (the check repeated on what was really opened).
    TGuardVerdict Check_Opened(int fd) const;
    // The disk rule alone, for a file system given by its device number and
    // statfs type.
    TGuardVerdict Check_FileSystem(dev_t stDev, int64_t fsType) const;

    const TGuardOptions& Options() const { return opt_; }

  private:
    struct TIdentity {
        dev_t Dev;
        ino_t Ino;
    };
    struct TDeviceSource {
        std::string Path;
        TDiskSet Disks;
    };
    // An EWF source: the folder of its segment files and its first segment's name.
    struct TSegmentSet {
        dev_t Dev;
        ino_t Ino;
        std::string First;
    };
    bool Is_Source(dev_t dev, ino_t ino) const;
    TGuardVerdict Check_SegmentName(const std::string& target) const;
    TGuardVerdict Check_Existing(const std::string& path) const;

    TGuardOptions opt_;
    std::vector<TIdentity> files_;
    std::vector<TDeviceSource> devices_;
    std::vector<TSegmentSet> segmentSets_;
};

// The nearest folder that exists on the way to path (path itself when it is
// one), with symbolic links followed: where a new file or folder at path would
// land. Empty when nothing along the way can be resolved.
std::string Existing_Ancestor(const std::string& path);

} // namespace qrv

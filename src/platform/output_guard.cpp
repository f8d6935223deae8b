#include "platform/output_guard.h"

#include <climits>
#include <filesystem>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "common/language.h"
#include "platform/ewf_source.h"

namespace qrv {

namespace {

namespace fs = std::filesystem;

// Symbolic-link hops followed before a path counts as a loop (as the kernel's ELOOP).
constexpr int kMaxLinkHops = 40;

// The path that opening `path` with O_CREAT would create or open: a final
// symbolic link, even a dangling one, is followed to the name it points at.
std::string Resolve_Final(const std::string& path) {
    std::string p = path;
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        char buf[PATH_MAX];
        const ssize_t n = ::readlink(p.c_str(), buf, sizeof buf - 1);
        if (n <= 0) return p;
        const std::string link(buf, size_t(n));
        p = link[0] == '/' ? link : (fs::path(p).parent_path() / link).string();
    }
    return p;
}

std::string Dev_Text(dev_t dev) {
    return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

std::string Disks_Text(const std::set<dev_t>& disks) {
    std::string out;
    for (dev_t d : disks)
        out += (out.empty() ? "" : ",") + Dev_Text(d);
    return out;
}

TGuardVerdict Refuse(TGuardCause cause, std::string detail) {
    TGuardVerdict v;
    v.Cause = cause;
    v.Detail = std::move(detail);
    switch (cause) {
    case TGuardCause::SameFile:
        v.Reason = Tr("为避免覆盖,不能写入源本身!");
        break;
    case TGuardCause::BlockDevice:
        v.Reason = Tr("为避免覆盖,不能写入块设备!");
        break;
    case TGuardCause::SameDisk:
        v.Reason = Tr("为避免覆盖,请不要设置保存路径到同一磁盘!");
        break;
    case TGuardCause::UnknownDisk:
        v.Reason = Tr("无法确定保存路径所在的磁盘,它可能就是源所在的磁盘,为避免覆盖已拒绝写入!");
        break;
    case TGuardCause::None:
        break;
    }
    return v;
}

} // namespace

const char* Guard_CauseName(TGuardCause cause) {
    switch (cause) {
    case TGuardCause::None:
        return "none";
    case TGuardCause::SameFile:
        return "same_file";
    case TGuardCause::BlockDevice:
        return "block_device";
    case TGuardCause::SameDisk:
        return "same_disk";
    case TGuardCause::UnknownDisk:
        return "unknown_disk";
    }
    return "none";
}

std::string Existing_Ancestor(const std::string& path) {
    if (path.empty()) return {};
    // Components are removed from the end as written, not normalised: "link/.."
    // must be resolved by the kernel, through the link, as an open would.
    std::error_code ec;
    fs::path p = fs::path(path);
    if (!p.is_absolute()) {
        const fs::path cwd = fs::current_path(ec);
        if (ec) return {};
        p = cwd / p;
    }
    for (int step = 0; step < 4096; ++step) {
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0) return p.string();
        if (!p.has_relative_path()) return {};
        fs::path up = p.has_filename() ? p.parent_path() : p.parent_path().parent_path();
        if (up == p) return {};
        p = up;
    }
    return {};
}

TOutputGuard::TOutputGuard(const std::vector<std::string>& sources, TGuardOptions options)
    : opt_(std::move(options)) {
    const TDiskMap map(opt_.SysRoot);
    for (const std::string& src : sources) {
        struct stat st {};
        if (src.empty() || ::stat(src.c_str(), &st) != 0) continue; // nothing there to protect
        files_.push_back({st.st_dev, st.st_ino});
        // An evidence container is read from every segment of its set.
        if (S_ISREG(st.st_mode)) {
            const std::vector<std::string> segments = Ewf_SegmentFiles(src);
            for (const std::string& seg : segments) {
                struct stat ss {};
                if (::stat(seg.c_str(), &ss) == 0) files_.push_back({ss.st_dev, ss.st_ino});
            }
            // The set grows by name in its folder: the name as given and, for
            // a source reached through a link, the name it points at.
            if (!segments.empty()) {
                std::error_code ec;
                const fs::path real = fs::canonical(src, ec);
                for (const fs::path& p : {fs::path(src), real}) {
                    struct stat fo {};
                    const fs::path folder = p.parent_path().empty() ? fs::path(".") : p.parent_path();
                    if (!p.empty() && ::stat(folder.c_str(), &fo) == 0)
                        segmentSets_.push_back({fo.st_dev, fo.st_ino, p.filename().string()});
                }
            }
        }
        if (!S_ISBLK(st.st_mode)) continue;
        // Every loop device in the source's chain (the source, its disk, the
        // devices it is built on, loops stacked on loops) reads its backing
        // file: each of those files is the evidence too.
        TDiskSet disks = map.Device_Disks(st.st_rdev, false);
        for (const auto& [dev, ino] : disks.BackingFiles)
            files_.push_back({dev, ino});
        devices_.push_back({src, std::move(disks)});
    }
}

bool TOutputGuard::Is_Source(dev_t dev, ino_t ino) const {
    for (const TIdentity& f : files_)
        if (f.Dev == dev && f.Ino == ino) return true;
    return false;
}

TGuardVerdict TOutputGuard::Check_SegmentName(const std::string& target) const {
    if (segmentSets_.empty() || target.empty()) return {};
    // The entry a write at target makes (or replaces) in a folder that exists:
    // the first name on the way whose folder is there.
    fs::path p = fs::path(target);
    for (int step = 0; step < 4096; ++step) {
        if (!p.has_filename()) { // a trailing slash
            if (p.parent_path() == p) return {};
            p = p.parent_path();
            continue;
        }
        const fs::path up = p.parent_path().empty() ? fs::path(".") : p.parent_path();
        struct stat fo {};
        if (::stat(up.c_str(), &fo) != 0) {
            if (up == p) return {};
            p = up;
            continue;
        }
        const std::string name = p.filename().string();
        for (const TSegmentSet& set : segmentSets_)
            if (set.Dev == fo.st_dev && set.Ino == fo.st_ino && Ewf_IsSegmentName(set.First, name))
                return Refuse(TGuardCause::SameFile,
                              name + ": a segment name of the evidence set " + set.First);
        return {};
    }
    return {};
}

TGuardVerdict TOutputGuard::Check_FileSystem(dev_t stDev, int64_t fsType) const {
    if (files_.empty()) return {};
    const TDiskSet target = TDiskMap(opt_.SysRoot).FileSystem_Disks(stDev, fsType);
    // A file system kept in a loop device's backing file that is a source (an
    // image mounted through a loop device) writes into the source itself.
    for (const auto& [dev, ino] : target.BackingFiles)
        if (Is_Source(dev, ino)) return Refuse(TGuardCause::SameFile, "file system stored in the source");
    if (devices_.empty() || target.State == TDiskSet::NoDisk) return {};
    if (opt_.ForceSameDisk) return {};
    if (target.State == TDiskSet::Unknown) {
        if (opt_.AcceptUnknownDisk) return {};
        return Refuse(TGuardCause::UnknownDisk, target.Why);
    }
    for (const TDeviceSource& d : devices_) {
        if (d.Disks.State != TDiskSet::Known) {
            if (opt_.AcceptUnknownDisk) continue;
            return Refuse(TGuardCause::UnknownDisk, "source " + d.Path + ": " + d.Disks.Why);
        }
        for (dev_t disk : target.Disks)
            if (d.Disks.Disks.count(disk))
                return Refuse(TGuardCause::SameDisk, "source " + d.Path + " on disk " +
                                                         Disks_Text(d.Disks.Disks) + ", target on disk " +
                                                         Disks_Text(target.Disks));
    }
    return {};
}

TGuardVerdict TOutputGuard::Check_Existing(const std::string& path) const {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {}; // gone meanwhile: the open decides
    if (S_ISBLK(st.st_mode)) return Refuse(TGuardCause::BlockDevice, path);
    if (Is_Source(st.st_dev, st.st_ino)) return Refuse(TGuardCause::SameFile, path);
    // Writes to a character device go to its driver, not to a file system.
    if (S_ISCHR(st.st_mode)) return {};
    struct statfs sf {};
    if (::statfs(path.c_str(), &sf) != 0) return Refuse(TGuardCause::UnknownDisk, "cannot query " + path);
    return Check_FileSystem(st.st_dev, int64_t(sf.f_type));
}

TGuardVerdict TOutputGuard::Check_File(const std::string& path) const {
    const std::string target = Resolve_Final(path);
    if (auto v = Check_SegmentName(target); !v.Allowed()) return v;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) return Check_Existing(target);
    // A new file lands in the nearest existing folder on its way.
    const fs::path parent = fs::path(target).parent_path();
    const std::string folder = Existing_Ancestor(parent.empty() ? std::string(".") : parent.string());
    if (folder.empty()) return {};
    return Check_Existing(folder);
}

TGuardVerdict TOutputGuard::Check_Folder(const std::string& path) const {
    const std::string target = Resolve_Final(path);
    if (auto v = Check_SegmentName(target); !v.Allowed()) return v;
    const std::string existing = Existing_Ancestor(target);
    if (existing.empty()) return {};
    return Check_Existing(existing);
}

TGuardVerdict TOutputGuard::Check_Opened(int fd) const {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Refuse(TGuardCause::UnknownDisk, "cannot query the opened file");
    if (S_ISBLK(st.st_mode)) return Refuse(TGuardCause::BlockDevice, "opened file");
    if (Is_Source(st.st_dev, st.st_ino)) return Refuse(TGuardCause::SameFile, "opened file");
    if (S_ISCHR(st.st_mode)) return {};
    struct statfs sf {};
    if (::fstatfs(fd, &sf) != 0) return Refuse(TGuardCause::UnknownDisk, "cannot query the opened file");
    return Check_FileSystem(st.st_dev, int64_t(sf.f_type));
}

} // namespace qrv

#include "platform/disk_enum.h"

#include <fcntl.h>

#include <blkid/blkid.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/source_io.h"

namespace qrv {

namespace fs = std::filesystem;

namespace {

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// First line of a small sysfs attribute, trimmed; "" when absent.
std::string Read_Attr(const fs::path& p) {
    std::ifstream in(p);
    if (!in) return "";
    std::string line;
    std::getline(in, line);
    return Trim(line);
}

int64_t Read_IntAttr(const fs::path& p, int64_t fallback) {
    const std::string s = Read_Attr(p);
    if (s.empty()) return fallback;
    try {
        size_t used = 0;
        long long v = std::stoll(s, &used);
        return used == s.size() ? int64_t(v) : fallback;
    } catch (...) {
        return fallback;
    }
}

bool Starts_With(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool Skip_Disk(const std::string& name, const fs::path& dir) {
    if (Starts_With(name, "ram") || Starts_With(name, "zram") || Starts_With(name, "sr")) return true;
    if (Starts_With(name, "loop")) {
        std::error_code ec;
        if (!fs::exists(dir / "loop" / "backing_file", ec)) return true;
    }
    return false;
}

std::string Disk_Model(const std::string& name, const fs::path& dir) {
    std::string model = Read_Attr(dir / "device" / "model");
    if (model.empty()) model = Read_Attr(dir / "device" / "name"); // mmc cards
    if (model.empty() && Starts_With(name, "loop")) model = Read_Attr(dir / "loop" / "backing_file");
    if (model.empty()) model = name; // virtio and other disks that report no model
    return model;
}

// Decodes the octal escapes (\040 for a space...) of mountinfo fields.
std::string Unescape_Mount(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && std::isdigit((unsigned char)s[i + 1]) &&
            std::isdigit((unsigned char)s[i + 2]) && std::isdigit((unsigned char)s[i + 3])) {
            out.push_back(char(((s[i + 1] - '0') << 6) | ((s[i + 2] - '0') << 3) | (s[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// Fills the geometry the kernel knows of one volume: the disk's sector size
// and, when it is mounted, the file system's block size, block count and free
// space. A boot sector decoded above this layer replaces the cluster geometry.
void Fill_Geometry(TLogHDD& v, const TPhysicalDisk& disk) {
    v.BytesPerSector = uint32_t(disk.LogicalSectorSize > 0 ? disk.LogicalSectorSize : 512);
    if (v.MountPoint.empty()) return;
    struct statvfs st {};
    if (::statvfs(v.MountPoint.c_str(), &st) != 0) return;
    v.FreeSapce = int64_t(st.f_bavail) * int64_t(st.f_frsize);
    v.FsFreeBytes = int64_t(uint64_t(st.f_bfree) * uint64_t(st.f_frsize));
    if (v.BytesPerSector > 0 && st.f_frsize >= v.BytesPerSector) {
        v.SectorsPerCluster = uint32_t(st.f_frsize / v.BytesPerSector);
        v.TotalClusters = uint32_t(std::min<uint64_t>(st.f_blocks, UINT32_MAX));
    }
    const uint64_t cluster = uint64_t(v.BytesPerSector) * v.SectorsPerCluster;
    if (cluster > 0) v.NumFreeClusters = uint32_t(std::min<uint64_t>(uint64_t(v.FsFreeBytes) / cluster, UINT32_MAX));
}

TLogHDD Make_Volume(const TPhysicalDisk& disk, const std::string& devPath, int64_t sizeBytes,
                    const std::string& majMin, const TEnumRoots& roots) {
    TLogHDD v;
    v.LogPan = devPath;
    v.PhyNumber = uint8_t(disk.Number);
    v.TotalSpace = sizeBytes;
    const TFsProbe probe = Probe_FileSystem(devPath);
    v.FS = Map_FsName(probe.Type, probe.Version);
    v.LogVolum = Trim(probe.Label);
    const TMountInfo mount = Find_MountPoint(roots.MountInfo, majMin, devPath);
    v.MountPoint = mount.MountPoint;
    // A device that cannot be probed (no permission) but is mounted still has the
    // kernel's name for its file system.
    if (v.FS.empty()) v.FS = Map_FsName(mount.FsType, "");
    Fill_Geometry(v, disk);
    return v;
}

} // namespace

bool Device_NameLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit((unsigned char)a[i]), db = std::isdigit((unsigned char)b[j]);
        if (da && db) {
            size_t ie = i, je = j;
            while (ie < a.size() && std::isdigit((unsigned char)a[ie])) ++ie;
            while (je < b.size() && std::isdigit((unsigned char)b[je])) ++je;
            std::string na = a.substr(i, ie - i), nb = b.substr(j, je - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) return (unsigned char)a[i] < (unsigned char)b[j];
            ++i;
            ++j;
        }
    }
    if ((a.size() - i) != (b.size() - j)) return (a.size() - i) < (b.size() - j);
    return a < b;
}

std::string Map_FsName(const std::string& type, const std::string& version) {
    if (type.empty()) return "";
    if (type == "vfat" && version == "FAT32") return "FAT32";
    if (type == "exfat") return "exFAT";
    if (type == "ntfs" || type == "ntfs3") return "NTFS";
    std::string up = type;
    for (auto& c : up) c = char(std::toupper((unsigned char)c));
    return up;
}

TFsProbe Probe_FileSystem(const std::string& path) {
    TFsProbe out;
    auto src = Open_SourceWithFlags(path, O_RDONLY); // direct only, as in Fill_Geometry
    auto* file = dynamic_cast<TFileSource*>(src.get());
    if (!file) return out;
    blkid_probe pr = blkid_new_probe();
    if (!pr) return out;
    if (blkid_probe_set_device(pr, file->Fd(), 0, 0) == 0) {
        blkid_probe_enable_superblocks(pr, 1);
        blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_VERSION);
        blkid_probe_enable_partitions(pr, 0);
        if (blkid_do_safeprobe(pr) == 0) {
            const char* val = nullptr;
            size_t len = 0;
            if (blkid_probe_lookup_value(pr, "TYPE", &val, &len) == 0 && val) out.Type = val;
            if (blkid_probe_lookup_value(pr, "VERSION", &val, &len) == 0 && val) out.Version = val;
            if (blkid_probe_lookup_value(pr, "LABEL", &val, &len) == 0 && val) out.Label = val;
        }
    }
    blkid_free_probe(pr);
    return out;
}

TMountInfo Find_MountPoint(const std::string& mountInfoPath, const std::string& majMin, const std::string& devPath) {
    std::ifstream in(mountInfoPath);
    if (!in) return {};
    // Any mount of the file system gives the same free-space figures; a mount of
    // its root folder is preferred over a bind mount of a sub-folder.
    TMountInfo anyMount;
    std::string line;
    while (std::getline(in, line)) {
        // id parent maj:min root mountpoint options [optional...] - fstype source superopts
        std::istringstream ls(line);
        std::vector<std::string> f;
        std::string w;
        while (ls >> w) f.push_back(w);
        if (f.size() < 6) continue;
        auto sep = std::find(f.begin() + 5, f.end(), std::string("-"));
        std::string source, type;
        if (sep != f.end() && std::distance(sep, f.end()) >= 3) {
            type = *(sep + 1);
            source = Unescape_Mount(*(sep + 2));
        }
        const bool byNumber = !majMin.empty() && f[2] == majMin;
        const bool bySource = !devPath.empty() && source == devPath;
        if (!byNumber && !bySource) continue;
        if (f[3] == "/") return {Unescape_Mount(f[4]), type};
        if (anyMount.MountPoint.empty()) anyMount = {Unescape_Mount(f[4]), type};
    }
    return anyMount;
}

std::string Get_ComputerLabel() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) == 0 && buf[0] != 0) return std::string(buf);
    return "QRV-Local PC";
}

TDiskList Enumerate_Disks(const TEnumRoots& roots) {
    TDiskList out;
    const fs::path blockDir = fs::path(roots.Sys) / "block";
    std::error_code ec;
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(blockDir, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end(), Device_NameLess);

    for (const auto& name : names) {
        const fs::path dir = blockDir / name;
        if (Skip_Disk(name, dir)) continue;
        const int64_t sectors = Read_IntAttr(dir / "size", 0);
        if (sectors <= 0) continue;
        if (out.Disks.size() >= 256) break; // disk numbers 0 to 255
        TPhysicalDisk d;
        d.Number = int(out.Disks.size());
        d.Name = name;
        d.DevPath = roots.Dev + "/" + name;
        d.Model = Disk_Model(name, dir);
        d.Size = sectors * 512;
        d.Removable = Read_IntAttr(dir / "removable", 0) == 1;
        d.LogicalSectorSize = int32_t(Read_IntAttr(dir / "queue" / "logical_block_size", 512));
        out.Disks.push_back(d);

        // Partitions: sub-folders holding a "partition" attribute, in partition-number order.
        struct TPart {
            int64_t Number;
            std::string Name;
        };
        std::vector<TPart> parts;
        for (const auto& e : fs::directory_iterator(dir, ec)) {
            std::error_code ec2;
            if (!fs::is_directory(e.path(), ec2)) continue;
            if (!fs::exists(e.path() / "partition", ec2)) continue;
            parts.push_back({Read_IntAttr(e.path() / "partition", 0), e.path().filename().string()});
        }
        std::sort(parts.begin(), parts.end(), [](const TPart& a, const TPart& b) {
            return a.Number != b.Number ? a.Number < b.Number : Device_NameLess(a.Name, b.Name);
        });
        if (parts.empty()) {
            // A whole-disk file system (a card formatted without a partition table).
            TLogHDD v = Make_Volume(d, d.DevPath, d.Size, Read_Attr(dir / "dev"), roots);
            v.StartByte = 0;
            if (!v.FS.empty()) out.Volumes.push_back(std::move(v));
            continue;
        }
        for (const auto& p : parts) {
            const fs::path pdir = dir / p.Name;
            const int64_t psize = Read_IntAttr(pdir / "size", 0) * 512;
            TLogHDD v = Make_Volume(d, roots.Dev + "/" + p.Name, psize, Read_Attr(pdir / "dev"), roots);
            // sysfs gives a partition's start in 512-byte units whatever the disk's sector size.
            const int64_t start = Read_IntAttr(pdir / "start", -1);
            v.StartByte = start >= 0 && start <= INT64_MAX / 512 ? start * 512 : -1;
            out.Volumes.push_back(std::move(v));
        }
    }
    return out;
}

bool Is_PartitionDevice(const std::string& devPath, const std::string& sysRoot) {
    const std::string name = devPath.substr(devPath.find_last_of('/') + 1);
    std::error_code ec;
    return fs::exists(fs::path(sysRoot) / "class" / "block" / name / "partition", ec);
}

} // namespace qrv

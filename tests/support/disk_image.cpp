#include "support/disk_image.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <unistd.h>

#include "support/test_env.h"

namespace qrv::test {

namespace {

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string Run_Or_Throw(const std::string& cmd) {
    std::string out;
    const int rc = Run_Command(cmd + " 2>&1", &out);
    if (rc != 0) throw std::runtime_error("command failed (" + std::to_string(rc) + "): " + cmd + "\n" + out);
    return out;
}

// First number after `label` in a tool report (decimal, or hex when asked).
int64_t Report_Number(const std::string& report, const std::string& label, bool hex = false) {
    const size_t at = report.find(label);
    if (at == std::string::npos) throw std::runtime_error("tool report has no '" + label + "':\n" + report);
    const std::string rest = report.substr(at + label.size());
    std::smatch m;
    const std::regex num(hex ? "[0-9a-fA-F]+" : "[0-9]+");
    if (!std::regex_search(rest, m, num)) throw std::runtime_error("no number after '" + label + "'");
    return std::stoll(m.str(), nullptr, hex ? 16 : 10);
}

void Make_Sparse(const std::string& path, int64_t bytes) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    Write_File(path, {});
    std::filesystem::resize_file(path, uintmax_t(bytes));
}

std::vector<uint8_t> Read_Range(const std::string& path, int64_t off, int64_t len) {
    std::vector<uint8_t> buf(size_t(len), 0);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    int64_t done = 0;
    while (done < len) {
        const ssize_t n = ::pread(fd, buf.data() + done, size_t(len - done), off + done);
        if (n <= 0) break;
        done += n;
    }
    ::close(fd);
    return buf;
}

// Copies the volume file into the image at byte offset V, skipping zero
// stretches so the image stays sparse.
void Splice(const std::string& volume, const std::string& image, int64_t V, int64_t bytes) {
    constexpr int64_t kChunk = 1 << 20;
    for (int64_t off = 0; off < bytes; off += kChunk) {
        const int64_t n = std::min(kChunk, bytes - off);
        std::vector<uint8_t> b = Read_Range(volume, off, n);
        bool zero = true;
        for (uint8_t c : b)
            zero = zero && c == 0;
        if (!zero) Write_At(image, V + off, b);
    }
}

bool Bit(const std::vector<uint8_t>& bits, int64_t i) {
    return (bits[size_t(i / 8)] >> (i % 8)) & 1;
}

void Fat32_Build(const std::string& vol, const TVolumeLayout& plan, TDiskImage& img) {
    const int64_t spc = plan.ClusterBytes / 512;
    const std::string label = plan.Label.empty() ? "" : " -n " + Quote(plan.Label);
    Run_Or_Throw("mkfs.fat -F 32 -s " + std::to_string(spc) + " -S 512" + label + " " + Quote(vol));
    for (const auto& [name, bytes] : plan.Files) {
        const std::string tmp = vol + ".file";
        Write_File(tmp, bytes);
        Run_Or_Throw("MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(vol) + " " + Quote(tmp) + " " +
                     Quote("::/" + name));
        std::filesystem::remove(tmp);
    }
    const std::string info = Run_Or_Throw("MTOOLS_SKIP_CHECK=1 minfo -i " + Quote(vol) + " ::");
    img.BytesPerSector = Report_Number(info, "sector size:");
    img.SectorsPerCluster = Report_Number(info, "cluster size:");
    img.ReservedSectors = Report_Number(info, "reserved (boot) sectors:");
    img.SectorsPerFat = Report_Number(info, "Big fatlen=");
    const int64_t fats = Report_Number(info, "fats:");
    img.Fats = fats;
    const int64_t total = Report_Number(info, "big size:");
    const int64_t dataSec = img.ReservedSectors + fats * img.SectorsPerFat;
    img.ClusterBytes = img.BytesPerSector * img.SectorsPerCluster;
    img.FirstCluster = 2;
    img.DataStart = dataSec * img.BytesPerSector; // relative to the volume here, moved by V later
    img.TotalClusters = (total - dataSec) / img.SectorsPerCluster;
    // The FAT as mtools wrote it: an entry (low 28 bits) that is not 0 is in use.
    const std::vector<uint8_t> fat =
        Read_Range(vol, img.ReservedSectors * img.BytesPerSector, img.SectorsPerFat * img.BytesPerSector);
    img.Allocated.assign(size_t(img.TotalClusters), false);
    for (int64_t c = 2; c < img.TotalClusters + 2 && (c + 1) * 4 <= int64_t(fat.size()); ++c) {
        const uint32_t e = uint32_t(fat[size_t(4 * c)]) | uint32_t(fat[size_t(4 * c + 1)]) << 8 |
                           uint32_t(fat[size_t(4 * c + 2)]) << 16 | uint32_t(fat[size_t(4 * c + 3)]) << 24;
        img.Allocated[size_t(c - 2)] = (e & 0x0FFFFFFF) != 0;
    }
}

void Exfat_Build(const std::string& vol, const TVolumeLayout& plan, TDiskImage& img) {
    if (!plan.Files.empty()) throw std::runtime_error("no tool places files on exFAT without mounting");
    const std::string label = plan.Label.empty() ? "" : " -L " + Quote(plan.Label);
    Run_Or_Throw("mkfs.exfat -c " + std::to_string(plan.ClusterBytes) + label + " " + Quote(vol));
    const std::string info = Run_Or_Throw("dump.exfat " + Quote(vol));
    img.BytesPerSector = int64_t(1) << Report_Number(info, "Sector Size Bits:");
    img.SectorsPerCluster = int64_t(1) << Report_Number(info, "Sector per Cluster bits:");
    img.ClusterBytes = img.BytesPerSector * img.SectorsPerCluster;
    const int64_t heap = Report_Number(info, "Cluster Heap Offset (sector offset):");
    img.TotalClusters = Report_Number(info, "Cluster Count:");
    const int64_t bitmapCluster = Report_Number(info, "Bitmap start cluster:", true); // printed in hex
    const int64_t bitmapBytes = Report_Number(info, "Bitmap size:");
    const int64_t freeClusters = Report_Number(info, "Free Clusters:");
    img.FirstCluster = 2;
    img.DataStart = heap * img.BytesPerSector;
    img.BitmapOffset = img.DataStart + (bitmapCluster - 2) * img.ClusterBytes; // moved by V later
    const std::vector<uint8_t> bits = Read_Range(vol, img.BitmapOffset, bitmapBytes);
    img.Allocated.assign(size_t(img.TotalClusters), false);
    int64_t free = 0;
    for (int64_t i = 0; i < img.TotalClusters && i / 8 < bitmapBytes; ++i) {
        img.Allocated[size_t(i)] = Bit(bits, i);
        free += !Bit(bits, i);
    }
    if (free != freeClusters)
        throw std::runtime_error("exFAT bitmap read at the wrong place: " + std::to_string(free) +
                                 " free, tool says " + std::to_string(freeClusters));
}

void Ntfs_Build(const std::string& vol, const TVolumeLayout& plan, TDiskImage& img) {
    const std::string label = plan.Label.empty() ? "" : " -L " + Quote(plan.Label);
    Run_Or_Throw("mkntfs -Q -F -c " + std::to_string(plan.ClusterBytes) + " -s 512" + label + " " +
                 Quote(vol));
    for (const auto& [name, bytes] : plan.Files) {
        const std::string tmp = vol + ".file";
        Write_File(tmp, bytes);
        Run_Or_Throw("ntfscp -f " + Quote(vol) + " " + Quote(tmp) + " " + Quote(name));
        std::filesystem::remove(tmp);
    }
    const std::string info = Run_Or_Throw("ntfsinfo -m " + Quote(vol));
    img.BytesPerSector = Report_Number(info, "Sector Size:");
    img.ClusterBytes = Report_Number(info, "Cluster Size:");
    img.SectorsPerCluster = img.ClusterBytes / img.BytesPerSector;
    img.TotalClusters = Report_Number(info, "Volume Size in Clusters:");
    img.FirstCluster = 0;
    img.DataStart = 0;
    const std::string bitsFile = vol + ".bitmap";
    Run_Or_Throw("ntfscat " + Quote(vol) + " '$Bitmap' > " + Quote(bitsFile));
    const std::vector<uint8_t> bits = Read_File(bitsFile);
    std::filesystem::remove(bitsFile);
    if (int64_t(bits.size()) * 8 < img.TotalClusters)
        throw std::runtime_error("$Bitmap shorter than the volume");
    img.Allocated.assign(size_t(img.TotalClusters), false);
    for (int64_t i = 0; i < img.TotalClusters; ++i)
        img.Allocated[size_t(i)] = Bit(bits, i);
    // Where $Bitmap's data lies: "VCN LCN Length" rows after "Runlist:".
    const std::string runs = Run_Or_Throw("ntfsinfo -v -i 6 " + Quote(vol));
    const size_t at = runs.find("Runlist:");
    if (at == std::string::npos) throw std::runtime_error("ntfsinfo shows no runlist for $Bitmap");
    std::smatch m;
    const std::regex row("\\s(0x[0-9a-fA-F]+)\\s+(0x[0-9a-fA-F]+)\\s+(0x[0-9a-fA-F]+)");
    std::string rest = runs.substr(runs.find('\n', at));
    while (std::regex_search(rest, m, row)) {
        img.BitmapRuns.push_back({std::stoll(m[1].str(), nullptr, 16), std::stoll(m[2].str(), nullptr, 16),
                                  std::stoll(m[3].str(), nullptr, 16)});
        rest = m.suffix();
    }
    if (img.BitmapRuns.empty()) throw std::runtime_error("no $Bitmap runs in the ntfsinfo report");
}

} // namespace

bool TDiskImage::Is_Allocated(int64_t cluster) const {
    const int64_t i = cluster - FirstCluster;
    return i >= 0 && i < int64_t(Allocated.size()) && Allocated[size_t(i)];
}

int64_t TDiskImage::Find_FreeRun(int64_t count, int64_t from) const {
    if (from < FirstCluster) from = FirstCluster;
    int64_t run = 0;
    for (int64_t c = from; c <= Last_Cluster(); ++c) {
        run = Is_Allocated(c) ? 0 : run + 1;
        if (run == count) return c - count + 1;
    }
    return -1;
}

std::vector<int64_t> TDiskImage::Pick_FreeClusters(int64_t count, int64_t stride, int64_t from) const {
    if (from < FirstCluster) from = FirstCluster;
    if (stride < 1) stride = 1;
    std::vector<int64_t> out;
    int64_t seen = 0;
    for (int64_t c = from; c <= Last_Cluster() && int64_t(out.size()) < count; ++c) {
        if (Is_Allocated(c)) continue;
        if (seen++ % stride == 0) out.push_back(c);
    }
    if (int64_t(out.size()) < count) out.clear();
    return out;
}

void TDiskImage::Write_Clusters(const std::vector<int64_t>& clusters,
                                const std::vector<uint8_t>& bytes) const {
    if (ClusterBytes <= 0) throw std::runtime_error("image has no cluster size");
    if (int64_t(bytes.size()) > int64_t(clusters.size()) * ClusterBytes)
        throw std::runtime_error("bytes need more clusters than given");
    for (size_t i = 0; i < clusters.size(); ++i) {
        const int64_t c = clusters[i];
        if (c < FirstCluster || c > Last_Cluster())
            throw std::runtime_error("cluster out of range: " + std::to_string(c));
        if (Is_Allocated(c)) throw std::runtime_error("cluster is allocated: " + std::to_string(c));
        const int64_t from = int64_t(i) * ClusterBytes;
        if (from >= int64_t(bytes.size())) break;
        const int64_t n = std::min(ClusterBytes, int64_t(bytes.size()) - from);
        Write_At(Path, Cluster_Offset(c),
                 std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + n));
    }
}

void TDiskImage::Write_Contiguous(int64_t first, const std::vector<uint8_t>& bytes) const {
    if (ClusterBytes <= 0) throw std::runtime_error("image has no cluster size");
    std::vector<int64_t> list;
    for (int64_t i = 0; i * ClusterBytes < int64_t(bytes.size()); ++i)
        list.push_back(first + i);
    Write_Clusters(list, bytes);
}

void TDiskImage::Mark_Allocated(const std::vector<int64_t>& clusters) {
    for (int64_t c : clusters) {
        if (c < FirstCluster || c > Last_Cluster())
            throw std::runtime_error("cluster out of range: " + std::to_string(c));
        if (Fs == "exFAT") {
            const int64_t bit = c - 2;
            const int64_t at = BitmapOffset + bit / 8;
            std::vector<uint8_t> b = Read_Range(Path, at, 1);
            b[0] = uint8_t(b[0] | (1 << (bit % 8)));
            Write_At(Path, at, b);
        } else if (Fs == "FAT32") {
            const std::vector<uint8_t> eoc = {0xFF, 0xFF, 0xFF, 0x0F};
            for (int64_t k = 0; k < Fats; ++k)
                Write_At(Path, V + (ReservedSectors + k * SectorsPerFat) * BytesPerSector + 4 * c, eoc);
        } else if (Fs == "NTFS") {
            const int64_t byte = c / 8;
            const int64_t vcn = byte / ClusterBytes;
            int64_t at = -1;
            for (const auto& r : BitmapRuns)
                if (vcn >= r[0] && vcn < r[0] + r[2])
                    at = V + (r[1] + vcn - r[0]) * ClusterBytes + byte % ClusterBytes;
            if (at < 0) throw std::runtime_error("cluster outside the $Bitmap runs");
            std::vector<uint8_t> b = Read_Range(Path, at, 1);
            b[0] = uint8_t(b[0] | (1 << (c % 8)));
            Write_At(Path, at, b);
        } else {
            throw std::runtime_error("no allocation map on " + Fs);
        }
        Allocated[size_t(c - FirstCluster)] = true;
    }
}

void TDiskImage::Write_Raw(int64_t offset, const std::vector<uint8_t>& bytes) const {
    Write_At(Path, offset, bytes);
}

TTreeData TDiskImage::Node() const {
    if (Fs == "RAW") return Image_Node();
    TTreeData n;
    n.Level = 2;
    n.Hddtype = 3;
    n.HddNumber = "Image File";
    n.HddModel = Path;
    n.RegionSec = V / 512;
    n.HddLable = "创建区域";
    n.HddFs = Fs;
    n.PerSecBytes = int32_t(BytesPerSector);
    n.TotalSpace = VolumeBytes;
    n.LogPerClusec = uint32_t(SectorsPerCluster);
    n.LogTotalClusters = uint32_t(TotalClusters);
    return n;
}

TTreeData TDiskImage::Image_Node() const {
    TTreeData n;
    n.Level = 1;
    n.Hddtype = 2;
    n.HddNumber = "Image File";
    n.HddModel = Path;
    n.HddLable = "镜像文件";
    n.HddFs = "RAW";
    n.PerSecBytes = 512;
    n.TotalSpace = int64_t(std::filesystem::file_size(Path));
    return n;
}

TTreeData Image_FileNode(const std::string& path, const std::string& fs) {
    TTreeData n;
    n.Level = 1;
    n.Hddtype = HDD_IMAGE;
    n.HddNumber = "Image File";
    n.HddModel = path;
    n.HddFs = fs;
    n.PerSecBytes = 512;
    return n;
}

std::optional<TDiskImage> Make_DiskImage(const std::string& path, const TVolumeLayout& plan,
                                         std::string* skip) {
    if (plan.Fs == "RAW") return Make_RawImage(path, plan.Offset + plan.VolumeBytes, plan.ClusterBytes);
    std::vector<std::string> tools;
    if (plan.Fs == "FAT32")
        tools = {"mkfs.fat", "minfo"};
    else if (plan.Fs == "exFAT")
        tools = {"mkfs.exfat", "dump.exfat"};
    else if (plan.Fs == "NTFS")
        tools = {"mkntfs", "ntfsinfo", "ntfscat"};
    else
        throw std::runtime_error("unknown file system " + plan.Fs);
    if (!plan.Files.empty()) tools.push_back(plan.Fs == "NTFS" ? "ntfscp" : "mcopy");
    for (const std::string& t : tools) {
        if (!Have_Program(t)) {
            if (skip) *skip = t + " is not installed";
            return std::nullopt;
        }
    }
    if (plan.Offset < 0 || plan.Offset % 512 != 0)
        throw std::runtime_error("volume offset must be a multiple of 512");

    TDiskImage img;
    img.Path = path;
    img.Fs = plan.Fs;
    img.V = plan.Offset;
    img.VolumeBytes = plan.VolumeBytes;
    const std::string vol = plan.Offset == 0 ? path : path + ".volume";
    Make_Sparse(vol, plan.VolumeBytes);
    if (plan.Fs == "FAT32")
        Fat32_Build(vol, plan, img);
    else if (plan.Fs == "exFAT")
        Exfat_Build(vol, plan, img);
    else
        Ntfs_Build(vol, plan, img);
    img.DataStart += img.V;
    if (plan.Fs == "exFAT") img.BitmapOffset += img.V;

    const int64_t imageBytes = plan.ImageBytes > 0 ? plan.ImageBytes : plan.Offset + plan.VolumeBytes;
    if (plan.Offset != 0) {
        Make_Sparse(path, imageBytes);
        Splice(vol, path, plan.Offset, plan.VolumeBytes);
        std::filesystem::remove(vol);
    } else if (imageBytes > plan.VolumeBytes) {
        std::filesystem::resize_file(path, uintmax_t(imageBytes));
    }
    return img;
}

void Write_PartitionTable(const std::string& path, const std::vector<TPartitionLayout>& parts) {
    if (!Have_Program("sfdisk")) throw std::runtime_error("sfdisk is not installed");
    std::string script = "label: dos\\n";
    char line[96];
    for (const auto& p : parts) {
        std::snprintf(line, sizeof line, "start=%lld, size=%lld, type=%x\\n", (long long)p.Start,
                      (long long)p.Sectors, unsigned(p.Type));
        script += line;
    }
    Run_Or_Throw("printf '" + script + "' | sfdisk -q --no-reread --no-tell-kernel " + Quote(path));
}

TDiskImage Make_RawImage(const std::string& path, int64_t bytes, int64_t unitBytes) {
    Make_Sparse(path, bytes);
    TDiskImage img;
    img.Path = path;
    img.Fs = "RAW";
    img.VolumeBytes = bytes;
    img.BytesPerSector = 512;
    img.ClusterBytes = unitBytes;
    img.SectorsPerCluster = unitBytes / 512;
    img.FirstCluster = 0;
    img.DataStart = 0;
    img.TotalClusters = bytes / unitBytes;
    img.Allocated.assign(size_t(img.TotalClusters), false);
    return img;
}

std::vector<uint8_t> Pattern_Bytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v[i] = uint8_t(x >> 24);
    }
    return v;
}

} // namespace qrv::test

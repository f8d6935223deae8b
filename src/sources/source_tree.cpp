#include "sources/source_tree.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "common/language.h"
#include "media/boot_sector.h"
#include "media/raw_access.h"
#include "platform/ewf_source.h"

namespace qrv {

TSourceNode* TSourceNode::Add_Child(TTreeData data) {
    auto child = std::make_unique<TSourceNode>();
    child->parent_ = this;
    data.Level = Depth() + 1;
    child->Data = std::move(data);
    children_.push_back(std::move(child));
    return children_.back().get();
}

bool TSourceNode::Remove_Child(const TSourceNode* child) {
    for (auto it = children_.begin(); it != children_.end(); ++it) {
        if (it->get() == child) {
            children_.erase(it);
            return true;
        }
    }
    return false;
}

int TSourceNode::Depth() const {
    int d = 0;
    for (const TSourceNode* p = parent_; p; p = p->parent_) ++d;
    return d;
}

TSourceTree::TSourceTree() : root_(std::make_unique<TSourceNode>()) {}

void TSourceTree::Clear() { root_ = std::make_unique<TSourceNode>(); }

void TSourceTree::Walk(const std::function<void(TSourceNode&)>& visit) {
    std::vector<TSourceNode*> stack{root_.get()};
    while (!stack.empty()) {
        TSourceNode* n = stack.back();
        stack.pop_back();
        visit(*n);
        const auto& kids = n->Children();
        for (auto it = kids.rbegin(); it != kids.rend(); ++it) stack.push_back(it->get());
    }
}

std::vector<TSourceNode*> TSourceTree::Nodes() {
    std::vector<TSourceNode*> out;
    Walk([&](TSourceNode& n) { out.push_back(&n); });
    return out;
}

namespace {

constexpr const char* kDiskLabel = "HDD";

std::string Disk_Key(const std::string& devPath, const std::string& model, int64_t size) {
    return devPath + "\n" + model + "\n" + std::to_string(size);
}

} // namespace

std::string Format_DiskCap(int64_t bytes) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f GB", double(bytes) / 1073741824.0);
    return buf;
}

void Fill_SourceTree(TSourceTree& tree, const TDiskList& list, const std::string& rootLabel) {
    tree.Clear();
    TSourceNode* root = tree.Root();
    root->Data = TTreeData{};
    root->Data.HddModel = rootLabel;
    for (const auto& d : list.Disks) {
        TTreeData disk;
        disk.Hddtype = HDD_PHYSICAL;
        disk.HddNumber = d.DevPath;
        disk.HddModel = d.Model;
        disk.HddLable = kDiskLabel + std::to_string(d.Number);
        disk.HddFs = "RAW";
        disk.HddCap = Format_DiskCap(d.Size);
        disk.PerSecBytes = 512;
        disk.TotalSpace = d.Size;
        TSourceNode* dn = root->Add_Child(std::move(disk));
        for (const auto& v : list.Volumes) {
            if (v.PhyNumber != d.Number) continue;
            TTreeData vol;
            vol.Hddtype = HDD_VOLUME;
            vol.HddNumber = std::to_string(v.PhyNumber);
            vol.HddModel = v.LogPan;
            vol.HddLable = v.LogVolum;
            vol.HddFs = v.FS;
            vol.HddCap = Format_DiskCap(v.TotalSpace);
            vol.PerSecBytes = int32_t(v.BytesPerSector);
            vol.TotalSpace = v.TotalSpace;
            vol.LogPerClusec = v.SectorsPerCluster;
            vol.LogNumFreeClusters = v.NumFreeClusters;
            vol.LogTotalClusters = v.TotalClusters;
            vol.LogFreeSapce = v.FreeSapce;
            vol.MountPoint = v.MountPoint;
            vol.StartByte = v.StartByte;
            dn->Add_Child(std::move(vol));
        }
    }
}

TDiskList List_Disks(const TEnumRoots& roots) {
    TDiskList list = Enumerate_Disks(roots);
    for (TLogHDD& v : list.Volumes) Apply_BootGeometry(v);
    return list;
}

void Keep_DiskNumbers(TDiskList& list, const TSourceTree& before) {
    // The numbers the tree shows now ("HDD" + number), by disk.
    std::map<std::string, int> known;
    const TSourceNode* root = before.Root();
    for (const auto& child : root->Children()) {
        const TTreeData& d = child->Data;
        if (d.Hddtype != HDD_PHYSICAL || d.HddLable.rfind(kDiskLabel, 0) != 0) continue;
        const std::string digits = d.HddLable.substr(std::strlen(kDiskLabel));
        int n = -1;
        auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
        if (ec != std::errc() || p != digits.data() + digits.size() || n < 0 || n > 255) continue;
        known.emplace(Disk_Key(d.HddNumber, d.HddModel, d.TotalSpace), n);
    }
    std::map<int, int> renumbered; // number from the enumeration -> number shown
    std::set<int> used;
    for (const TPhysicalDisk& d : list.Disks)
        if (auto it = known.find(Disk_Key(d.DevPath, d.Model, d.Size));
            it != known.end() && used.insert(it->second).second)
            renumbered[d.Number] = it->second;
    int next = 0;
    for (const TPhysicalDisk& d : list.Disks) {
        if (renumbered.count(d.Number)) continue;
        while (used.count(next))
            ++next;
        used.insert(next);
        renumbered[d.Number] = next;
    }
    for (TLogHDD& v : list.Volumes)
        if (auto it = renumbered.find(v.PhyNumber); it != renumbered.end())
            v.PhyNumber = uint8_t(it->second);
        else
            v.PhyNumber = 255; // its disk is not listed: stays unlisted
    for (TPhysicalDisk& d : list.Disks)
        d.Number = renumbered[d.Number];
    std::stable_sort(list.Disks.begin(), list.Disks.end(),
                     [](const TPhysicalDisk& a, const TPhysicalDisk& b) { return a.Number < b.Number; });
}

void Refresh_SourceTree(TSourceTree& tree, const TEnumRoots& roots) {
    TDiskList list = List_Disks(roots);
    Keep_DiskNumbers(list, tree);
    Fill_SourceTree(tree, list, Get_ComputerLabel());
}

int64_t Node_TotalSectors(const TTreeData& node) {
    return node.PerSecBytes > 0 ? node.TotalSpace / node.PerSecBytes : node.TotalSpace / 512;
}

namespace {

// An evidence container's own facts: its format and the hashes stored at acquisition.
void Add_ContainerProperties(const std::string& path, std::vector<std::pair<std::string, std::string>>& rows) {
    if (!Is_EwfFile(path)) return;
    std::string error;
    auto src = Open_EwfSource(path, &error);
    const TEwfInfo* info = src ? Ewf_Info(*src) : nullptr;
    rows.emplace_back(Tr("容器格式"), "EWF (" + std::to_string(info ? info->Segments : 0) + " segment(s))");
    if (!info) {
        rows.emplace_back(Tr("容器错误"), error);
        return;
    }
    rows.emplace_back(Tr("存储的MD5"), info->StoredMd5.empty() ? Tr("无") : info->StoredMd5);
    rows.emplace_back(Tr("存储的SHA-1"), info->StoredSha1.empty() ? Tr("无") : info->StoredSha1);
}

} // namespace

std::vector<std::pair<std::string, std::string>> Node_Properties(const TTreeData& node) {
    std::vector<std::pair<std::string, std::string>> rows;
    if (node.Level == 0) return rows;
    std::string kind;
    switch (node.Hddtype) {
    case HDD_PHYSICAL: kind = "物理磁盘"; break;
    case HDD_IMAGE: kind = "镜像文件"; break;
    case HDD_REGION: kind = node.ImageVolume ? "镜像卷" : "用户创建的区域"; break;
    default: kind = "逻辑磁盘"; break;
    }
    const bool disk = node.Hddtype == HDD_PHYSICAL;
    rows.emplace_back(Tr("磁盘类型"), Tr(kind));
    rows.emplace_back(Tr("型号/名称"), node.HddModel);
    // Only a mounted volume has a mount point; a device or file path is not one.
    rows.emplace_back(Tr("挂载点"), node.Hddtype == HDD_VOLUME ? node.MountPoint : std::string());
    rows.emplace_back(Tr("卷标"), disk ? std::string() : node.HddLable);
    rows.emplace_back(Tr("文件系统"), disk ? std::string() : node.HddFs);
    rows.emplace_back(Tr("容量(GB)"), node.HddCap);
    rows.emplace_back(Tr("每扇区字节数"), std::to_string(node.PerSecBytes));
    rows.emplace_back(Tr("总扇区数(Sector)"),
                      node.PerSecBytes > 0 ? std::to_string(node.TotalSpace / node.PerSecBytes) : std::string());
    if (node.Hddtype == HDD_IMAGE) Add_ContainerProperties(node.HddModel, rows);
    // Where a region or a volume starts, in its own sectors on the device or file it lies on.
    if (node.Hddtype == HDD_REGION) rows.emplace_back(Tr("起始扇区"), std::to_string(node.RegionSec));
    if (node.Hddtype != HDD_VOLUME) return rows;
    rows.emplace_back(Tr("起始扇区"), node.StartByte >= 0 && node.PerSecBytes > 0
                                          ? std::to_string(node.StartByte / node.PerSecBytes)
                                          : std::string());
    rows.emplace_back(Tr("总容量(Byte)"), std::to_string(node.TotalSpace));
    rows.emplace_back(Tr("剩余空间(Byte)"), std::to_string(node.LogFreeSapce));
    rows.emplace_back(Tr("簇大小(Sector)"), std::to_string(node.LogPerClusec));
    rows.emplace_back(Tr("总簇数"), std::to_string(node.LogTotalClusters));
    rows.emplace_back(Tr("空闲簇数"), std::to_string(node.LogNumFreeClusters));
    return rows;
}

} // namespace qrv

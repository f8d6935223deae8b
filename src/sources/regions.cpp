#include "sources/regions.h"

#include <charconv>
#include <cstdio>
#include <set>

#include "common/checked_math.h"
#include "common/language.h"
#include "common/text_format.h"
#include "common/ui_message.h"
#include "media/boot_sector.h"
#include "media/raw_access.h"
#include "platform/file_system.h"

namespace qrv {

namespace {

// Rounds num / den to two decimals with ties to the even neighbour; returns hundredths.
int64_t Hundredths_Even(int64_t num, int64_t den) {
    const __int128 scaled = __int128(num) * 100;
    int64_t q = int64_t(scaled / den);
    const __int128 r2 = (scaled % den) * 2;
    if (r2 > den || (r2 == den && (q % 2) != 0)) ++q;
    return q;
}

std::optional<int64_t> Parse_Whole(const std::string& text) {
    int64_t v = 0;
    const char* b = text.data();
    const char* e = b + text.size();
    auto [p, ec] = std::from_chars(b, e, v);
    if (ec != std::errc() || p != e || text.empty()) return std::nullopt;
    return v;
}

std::string Not_Integer(const std::string& text) { return "'" + text + "' is not a valid integer value"; }

// The pieces of one Create_Region call.
struct TRegionScan {
    TSourceNode& Parent;
    TSource& H;
    int32_t S;
    int64_t ParentSector; // the parent's PerSecBytes (512 when unset)
    std::vector<TSourceNode*> Added;

    void Add(TTreeData d) {
        d.Hddtype = HDD_REGION;
        d.HddNumber = Parent.Data.HddNumber;
        d.HddModel = Parent.Data.HddModel;
        d.HddLable = Tr("创建区域");
        d.HddCap = Region_FormatSize(d.TotalSpace);
        Added.push_back(Parent.Add_Child(std::move(d)));
    }

    // A FAT32 (type 11/12) or NTFS (type 7) volume named by a table entry, whose
    // boot sector lies at byte offset O of the opened source.
    void Add_TableVolume(uint8_t type, int64_t O) {
        const auto boot = Get_Bytes(H, 512, O);
        std::optional<TBootGeometry> g;
        if (type == 11 || type == 12) g = Parse_Fat32Boot(boot);
        else if (type == 7) g = Parse_NtfsBoot(boot);
        if (!g || g->TotalSectors > uint64_t(INT64_MAX / S)) return; // no size that fits an offset
        TTreeData d;
        d.RegionSec = O / S;
        d.HddFs = g->Fs;
        d.PerSecBytes = int32_t(g->BytesPerSector);
        d.LogPerClusec = g->SectorsPerCluster;
        d.LogTotalClusters = uint32_t(g->TotalSectors / g->SectorsPerCluster);
        d.TotalSpace = int64_t(g->TotalSectors) * S;
        Add(std::move(d));
    }

    // The chain of extended boot records of the extended partition at sector L.
    void Walk_Extended(int64_t L) {
        int64_t C = L * ParentSector;
        std::set<int64_t> seen;
        while (C != 0) {
            if (Parent.Data.TotalSpace < C) break;
            if (!seen.insert(C).second || int(seen.size()) > kMaxChainRecords) break; // loop or runaway chain
            const auto rec = Get_Bytes(H, 512, C);
            int64_t next = 0;
            for (int j = 0; j < 2; ++j) {
                const TPartEntry e = Get_PartEntry(rec, j);
                if (e.Type == 5) next = (int64_t(e.FirstSector) + L) * ParentSector;
                else if (e.Type == 7 || e.Type == 11) Add_TableVolume(e.Type, int64_t(e.FirstSector) * ParentSector + C);
            }
            C = next;
        }
    }
};

} // namespace

std::string Region_FormatSize(int64_t bytes) {
    if (bytes < 0) bytes = 0;
    const char* unit = "GB";
    int64_t h = Hundredths_Even(bytes, int64_t(1) << 30);
    if (h == 0) {
        unit = "MB";
        h = Hundredths_Even(bytes, int64_t(1) << 20);
        if (h == 0) {
            unit = "KB";
            h = Hundredths_Even(bytes, 1024);
        }
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f %s", double(h) / 100.0, unit);
    return buf;
}

std::vector<TSourceNode*> Create_Region(TSourceNode& parent, int32_t sectorSize, int64_t first, int64_t end) {
    const int32_t S = sectorSize > 0 ? sectorSize : 512;
    // Not a range, or one whose byte offsets do not fit in 64 bits (every
    // product below is then within range); the dialog's checks never let one through.
    if (first < 0 || end < first || !Mul_Checked(end, S)) {
        Send_UIMessage(MSG_REGION_DONE);
        return {};
    }
    auto h = Open_Source(Get_SourcePath(parent.Data));
    if (!h) {
        Send_Log(TSeverity::Error, Tr("错误类型:Create_Region0000"),
                 Tr("错误内容:获取文件句柄出错，程序将退出!"));
        Send_UIMessage(MSG_REGION_DONE);
        return {};
    }
    TRegionScan scan{parent, *h, S, parent.Data.PerSecBytes > 0 ? parent.Data.PerSecBytes : 512, {}};

    const auto head = Get_Bytes(*h, 512, first * S);
    if (!Has_BootSignature(head)) {
        TTreeData d;
        d.RegionSec = first;
        d.HddFs = "RAW";
        d.TotalSpace = (end - first) * S;
        d.PerSecBytes = 512;
        scan.Add(std::move(d));
    } else {
        const uint8_t t0 = Get_PartEntry(head, 0).Type;
        if (t0 == 7 || t0 == 11 || t0 == 12) {
            for (int i = 0; i < 4; ++i) {
                const TPartEntry e = Get_PartEntry(head, i);
                if (e.Type == 0) continue;
                const int64_t O = int64_t(e.FirstSector) * scan.ParentSector;
                if (e.Type == 12 || e.Type == 11 || e.Type == 7) scan.Add_TableVolume(e.Type, O);
                else if (e.Type == 15 || e.Type == 5) scan.Walk_Extended(e.FirstSector);
            }
        }
        // A volume boot sector at the first sector itself; each test on its own.
        const int64_t count = end - first;
        if (auto g = Parse_NtfsBoot(head)) {
            TTreeData d;
            d.RegionSec = first;
            d.HddFs = "NTFS";
            d.PerSecBytes = int32_t(g->BytesPerSector);
            d.LogPerClusec = g->SectorsPerCluster;
            d.LogTotalClusters = uint32_t(count / g->SectorsPerCluster);
            d.TotalSpace = count * S;
            scan.Add(std::move(d));
        }
        if (auto g = Parse_Fat32Boot(head)) {
            TTreeData d;
            d.RegionSec = first;
            d.HddFs = "FAT32";
            d.PerSecBytes = int32_t(g->BytesPerSector);
            d.LogPerClusec = g->SectorsPerCluster;
            d.LogTotalClusters = uint32_t(count / g->SectorsPerCluster);
            d.TotalSpace = count * S;
            scan.Add(std::move(d));
        }
        if (auto g = Parse_ExfatBoot(head)) {
            TTreeData d;
            d.RegionSec = first;
            d.HddFs = "exFAT";
            d.PerSecBytes = int32_t(g->BytesPerSector);
            d.LogPerClusec = g->SectorsPerCluster;
            d.LogTotalClusters = uint32_t(g->DataClusters);
            d.TotalSpace = count * S;
            scan.Add(std::move(d));
        }
    }
    h.reset();
    Send_UIMessage(MSG_REGION_DONE);
    return scan.Added;
}

TOpenImageResult Open_Image(TSourceTree& tree, const std::string& path) {
    TOpenImageResult out;
    if (path.empty()) {
        out.Message = Tr("请选中要加载的镜像文件!");
        return out;
    }
    const std::string full = Absolute_Path(path);
    auto h = Open_Source(full);
    const int64_t size = h ? h->Size() : -1;
    if (!h || size < 0) {
        out.Message = Tr("无法打开此镜像文件!");
        return out;
    }
    for (TSourceNode* n : tree.Nodes()) {
        if (n->Data.HddModel == full && n->Data.TotalSpace == size) {
            out.Message = Tr("已经添加过此镜像文件,请勿重复添加!");
            return out;
        }
    }
    TTreeData d;
    d.Hddtype = HDD_IMAGE;
    d.HddNumber = "Image File";
    d.HddModel = full;
    d.HddLable = Tr("镜像文件");
    d.HddFs = "RAW";
    d.HddCap = Region_FormatSize(size);
    d.PerSecBytes = 512;
    d.TotalSpace = size;
    out.Node = tree.Root()->Add_Child(std::move(d));
    const auto head = Get_Bytes(*h, 512, 0);
    h.reset();
    if (Has_BootSignature(head)) out.Regions = Create_Region(*out.Node, 512, 0, size / 512);
    // The image's own volumes are told apart from the regions a user creates.
    for (TSourceNode* r : out.Regions) {
        r->Data.ImageVolume = true;
        r->Data.HddLable = Tr("镜像卷");
    }
    return out;
}

TRegionCheck Check_RegionRange(const std::string& startText, const std::string& countText, int64_t total) {
    TRegionCheck r;
    if (startText.empty() || countText.empty()) {
        r.StartText = "0";
        r.CountText = "64";
        r.Message = Tr("起始扇区和扇区数量为空,请重新输入");
        return r;
    }
    const auto start = Parse_Whole(startText);
    if (!start) {
        r.Message = Not_Integer(startText);
        return r;
    }
    const auto count = Parse_Whole(countText);
    if (!count) {
        r.Message = Not_Integer(countText);
        return r;
    }
    // A start below 0, or a start and count whose sum does not even fit in 64
    // bits, lies outside the source as surely as one beyond its end.
    const auto last = Add_Checked(*start, *count);
    if (*start < 0 || total <= *start || !last || *last > total) {
        r.StartText = "0";
        r.Message = Tr("起始扇区值大于(或等于)结束扇区,请重新输入");
        return r;
    }
    if (total < *count) {
        r.CountText = "64";
        r.Message = Tr("扇区数量值大于(或等于)结束扇区,请重新输入");
        return r;
    }
    if (*count < 64) {
        r.CountText = "64";
        r.Message = Tr("扇区数量值小于64,请重新输入");
        return r;
    }
    r.Ok = true;
    return r;
}

TRegionCheck Default_RegionCount(const std::string& startText, const std::string& countText, int64_t total) {
    TRegionCheck r;
    const auto start = Parse_Whole(startText);
    if (!start) {
        r.Message = Not_Integer(startText);
        return r;
    }
    const auto count = Parse_Whole(countText);
    if (!count) {
        r.Message = Not_Integer(countText);
        return r;
    }
    if (*count < 64) {
        r.CountText = "64";
        r.Message = Tr("扇区数量值小于64,请重新输入");
        return r;
    }
    r.Ok = true;
    r.CountText = std::to_string(total - *start);
    return r;
}

bool Delete_Node(TSourceTree&, TSourceNode* node) {
    if (!node || !node->Parent()) return false;
    if (node->Data.Hddtype != HDD_IMAGE && node->Data.Hddtype != HDD_REGION) return false;
    return node->Parent()->Remove_Child(node);
}

} // namespace qrv

#include "scan/scan_settings.h"

#include "common/language.h"
#include "common/text_format.h"

namespace qrv {

int64_t Scan_TotalSectors(const TTreeData& node) {
    const int64_t s = node.PerSecBytes > 0 ? node.PerSecBytes : 512;
    const int64_t total = node.TotalSpace > 0 ? node.TotalSpace : 0;
    return total / s + (total % s != 0 ? 1 : 0);
}

TSectorRange Default_ScanRange(const TTreeData& node) {
    const int64_t sectors = Scan_TotalSectors(node);
    if (node.Hddtype == HDD_REGION) return {node.RegionSec, node.RegionSec + sectors};
    return {0, sectors};
}

TTreeData Named_ByBase(TTreeData node) {
    const size_t slash = node.HddModel.find_last_of('/');
    if (slash != std::string::npos && slash + 1 < node.HddModel.size())
        node.HddModel = node.HddModel.substr(slash + 1);
    return node;
}

std::string Result_FileName(const TTreeData& node, const std::tm& t) {
    return Stamped_FileName(node.HddModel, t, ".QRV");
}

std::string Result_FileName(const TTreeData& node, std::time_t now) {
    std::tm t{};
    localtime_r(&now, &t);
    return Result_FileName(node, t);
}

std::string Check_ScanRange(int64_t start, int64_t end) {
    if (start == end) return Tr("起始扇区和结束扇区相同,请重新设置!");
    if (start > end) return Tr("起始扇区大于结束扇区,请重新设置!");
    return "";
}

} // namespace qrv

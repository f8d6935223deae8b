#include "sources/hex_view.h"

#include <cstdio>

#include "common/language.h"
#include "common/text_format.h"
#include "common/ui_message.h"
#include "media/raw_access.h"
#include "platform/source_io.h"

namespace qrv {

std::string Hex_Row(std::span<const uint8_t> bytes, int64_t offset) {
    static const char kDigits[] = "0123456789ABCDEF";
    char head[16];
    std::snprintf(head, sizeof head, "%08llX  ", static_cast<unsigned long long>(offset) & 0xFFFFFFFFull);
    std::string row = head;
    for (size_t i = 0; i < 16; ++i) {
        if (i < bytes.size()) {
            row.push_back(kDigits[bytes[i] >> 4]);
            row.push_back(kDigits[bytes[i] & 15]);
            row.push_back(' ');
        } else {
            row.append("   ");
        }
        if (i == 7) row.push_back(' ');
    }
    row.push_back(' ');
    for (size_t i = 0; i < 16; ++i) {
        if (i < bytes.size()) row.push_back(bytes[i] >= 32 && bytes[i] <= 126 ? char(bytes[i]) : '.');
        else row.push_back(' ');
    }
    return row;
}

std::vector<std::string> Hex_Rows(std::span<const uint8_t> bytes) {
    std::vector<std::string> rows;
    for (size_t off = 0; off < bytes.size(); off += 16)
        rows.push_back(Hex_Row(bytes.subspan(off, std::min<size_t>(16, bytes.size() - off)), int64_t(off)));
    return rows;
}

std::string Hex_Text(std::span<const uint8_t> bytes) {
    std::string text;
    for (const auto& r : Hex_Rows(bytes)) text += r + "\n";
    return text;
}

int64_t Hex_JumpSector(const TTreeData& node, int64_t total, int64_t sector) {
    const int64_t limit = node.Hddtype == HDD_REGION ? node.RegionSec + total - 1 : total - 1;
    if (sector > limit) sector = limit;
    // An empty source would otherwise give sector -1, a read before the medium.
    return sector < 0 ? 0 : sector;
}

int64_t Hex_PrevSector(const TTreeData& node, int64_t total, int64_t current) {
    int64_t s = current - 1;
    if (node.Hddtype == HDD_REGION) {
        if (s < node.RegionSec) s = node.RegionSec;
    } else if (current <= 0) {
        s = 0;
    }
    return Hex_JumpSector(node, total, s);
}

int64_t Hex_NextSector(const TTreeData& node, int64_t total, int64_t current) {
    int64_t s = current + 1;
    const int64_t limit = node.Hddtype == HDD_REGION ? node.RegionSec + total - 1 : total - 1;
    if (s > limit) s = limit;
    return Hex_JumpSector(node, total, s);
}

std::optional<std::vector<uint8_t>> Get_Hex(const TTreeData& node, int64_t sector) {
    auto h = Open_Source(Get_SourcePath(node));
    if (!h) {
        Send_UIMessage(Log_Event(TSeverity::Error, Tr("错误"), "[" + Now_Text() + "]",
                                 Tr("获取文件句柄出错，程序将退出!")));
        return std::nullopt;
    }
    const int64_t len = node.PerSecBytes > 0 ? node.PerSecBytes : 512;
    std::vector<uint8_t> buf(size_t(len), 0);
    if (sector >= 0 && sector <= INT64_MAX / len) Read_Block(*h, buf.data(), buf.size(), sector * len);
    return buf;
}

} // namespace qrv

#include "sources/imaging.h"

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "common/checked_math.h"
#include "common/language.h"
#include "common/op_state.h"
#include "common/text_format.h"
#include "common/ui_message.h"
#include "media/raw_access.h"
#include "platform/output_file.h"
#include "sources/image_map.h"

namespace qrv {

std::string Image_FileName(const TTreeData& node, const std::tm& t) {
    return Stamped_FileName(node.HddModel, t, ".img");
}

std::string Image_FileName(const TTreeData& node, std::time_t now) {
    std::tm t{};
    localtime_r(&now, &t);
    return Image_FileName(node, t);
}

std::string Check_ImageNode(const TTreeData* node) {
    if (!node || node->Level == 0) return Tr("请选中要镜像的盘符!");
    if (node->Hddtype == HDD_IMAGE) return Tr("当前所选类型为文件,无法创建镜像!");
    return "";
}

std::string Check_ImageFolder(const TTreeData& node, const std::string& folder, const TGuardOptions& output) {
    return TOutputGuard({Get_SourcePath(node)}, output).Check_Folder(folder).Reason;
}

std::string Check_ImageRange(int64_t start, int64_t end) {
    if (start == end) return Tr("起始扇区和结束扇区相同,请重新设置!");
    if (end < start) return Tr("起始扇区大于结束扇区,请重新设置!");
    return "";
}

std::string Check_ImageBounds(const TTreeData& node, int64_t start, int64_t end, int64_t mediumBytes) {
    const int64_t psb = node.PerSecBytes > 0 ? node.PerSecBytes : 512;
    if (start < 0 || end < 0) return Tr("扇区号不能为负数,请重新设置!");
    const auto endByte = Mul_Checked(end, psb);
    if (!endByte || !Mul_Checked(start, psb)) return Tr("扇区号过大,无法换算为字节偏移,请重新设置!");
    if (mediumBytes >= 0 && *endByte > mediumBytes)
        return Tr("结束扇区超出源的末尾,请重新设置!") + "(" + std::to_string(end) + " > " +
               std::to_string(mediumBytes / psb) + ")";
    return "";
}

std::string Check_ImageSpace(int64_t freeBytes, int64_t needed, const std::string& capText) {
    if (freeBytes >= needed) return "";
    return Tr("检测到目标盘剩余空间不足,请重新设置!") + "\r\n" + "镜像文件字节数:" + std::to_string(needed) +
           "\r\n" + "目标剩余字节数:" + std::to_string(freeBytes) + "\r\n" + "目标盘的剩余空间至少为:" + capText;
}

namespace {

// Closing sequence: completion line, gauge reset, progress end. A stopped
// copy is never a success: it says where the copy ends.
void Finish_Image(bool ok, const TImageResult& res = {}, int64_t startSector = 0, int64_t sectorBytes = 512) {
    std::string text;
    if (!ok)
        text = Tr("镜像未能完成!");
    else if (res.Stopped)
        text = Tr("镜像已停止!") + " " + Tr("最后写入的扇区:") +
               (res.BytesWritten >= sectorBytes ? std::to_string(startSector + res.BytesWritten / sectorBytes - 1)
                                                : std::string("-"));
    else
        text = Tr("镜像成功完成!");
    if (res.UnreadBytes > 0) text += " " + Tr("无法读取的字节数:") + std::to_string(res.UnreadBytes);
    Send_Log(Tr("镜像完成"), text);
    Send_UIMessage(MSG_PROGRESS_START, {"0", "", "0"});
    Send_UIMessage(MSG_PROGRESS_END);
}

} // namespace

std::string Image_OfMap(const std::string& mapPath) {
    const std::string ext = ".map";
    if (mapPath.size() > ext.size() && mapPath.compare(mapPath.size() - ext.size(), ext.size(), ext) == 0)
        return mapPath.substr(0, mapPath.size() - ext.size());
    return mapPath;
}

namespace {

std::string Read_Text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Further sector-by-sector passes over the stretches of buf (read at source
// offset off) still unreadable; what comes back is put in place and leaves the list.
void Retry_Unread(TSource& h, uint8_t* buf, int64_t off, int64_t sec, int passes, std::vector<TUnreadRun>& unread) {
    for (int pass = 1; pass < passes && !unread.empty(); ++pass) {
        std::vector<TUnreadRun> still;
        for (const TUnreadRun& r : unread)
            for (int64_t at = r.Off; at < r.End(); at += sec) {
                const int64_t want = std::min(sec, r.End() - at);
                if (h.Read_At(buf + (at - off), size_t(want), at) == want) continue;
                std::memset(buf + (at - off), 0, size_t(want));
                Add_UnreadRun(still, {at, want});
            }
        unread.swap(still);
    }
}

std::string Rate_Text(int64_t done, int64_t total, double secs) {
    if (secs <= 0 || done <= 0) return "";
    const double rate = double(done) / secs;
    const int64_t left = int64_t(double(total - done) / rate + 0.5);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%.1f MB/s ", rate / double(1 << 20));
    std::string t = buf;
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", (long long)(left / 3600), (long long)(left / 60 % 60),
                  (long long)(left % 60));
    return t + Tr("剩余时间:") + buf;
}

} // namespace

TImageResult To_imageFrom(TSource* h, const TTreeData& node, const std::string& targetIn, int64_t start,
                          int64_t end, const TGuardOptions& output, const TImageOptions& opts) {
    TImageResult res;
    TOpState& st = Op_State();
    const auto t0 = std::chrono::system_clock::now();
    st.Set_StartTime(t0);
    const std::string sourcePath = Get_SourcePath(node);
    if (!h) {
        Send_Log(TSeverity::Error, Tr("错误类型:Image0000"), Tr("错误内容:获取文件句柄出错，程序将退出!"));
        Finish_Image(false);
        return res;
    }
    // The range is checked before the target exists: a range that cannot be
    // copied must not leave a padded or empty image behind.
    const int64_t medium = h->Size();
    if (const std::string bad = Check_ImageBounds(node, start, end, medium); !bad.empty()) {
        Send_Log(TSeverity::Error, Tr("错误类型:Image0004"), Tr("错误内容:") + bad);
        Finish_Image(false);
        return res;
    }
    const int64_t psb = node.PerSecBytes > 0 ? node.PerSecBytes : 512;
    const int64_t endByte = end * psb; // both products checked above
    const int64_t T = end > start ? endByte - start * psb : 0;
    const TOutputGuard guard({sourcePath}, output);

    // A resume continues the image its map belongs to, when the map is of
    // this source, its size and this range, and the image holds exactly
    // what the map says was done.
    std::string target = targetIn;
    std::vector<TUnreadRun> bad; // every unreadable stretch, source offsets
    int64_t done = 0;
    std::unique_ptr<TOutputFile> out;
    TGuardVerdict refusal;
    if (!opts.ResumeMap.empty()) {
        std::string why;
        const auto map = Parse_ImageMap(Read_Text(opts.ResumeMap), &why);
        target = Image_OfMap(opts.ResumeMap);
        const std::string partial = target + ".partial";
        if (map && (map->SourceBytes != medium || map->StartSector != start || map->EndSector != end ||
                    map->SectorBytes != psb))
            why = Tr("映射文件不属于此镜像源或扇区范围") + " (" + std::to_string(map->SourceBytes) + " " +
                  std::to_string(map->StartSector) + "-" + std::to_string(map->EndSector) + ")";
        else if (map && map->DoneBytes() == map->RangeBytes())
            why = Tr("映射文件所属的镜像已经完成");
        else if (map && map->DoneBytes() != Get_PathSize(partial))
            why = Tr("未完成的镜像文件与映射文件不符:") + partial;
        if (!why.empty()) {
            Send_Log(TSeverity::Error, Tr("错误类型:Image0006"), Tr("错误内容:无法继续镜像:") + why);
            Finish_Image(false);
            return res;
        }
        done = map->DoneBytes();
        for (const TMapRun& r : map->Runs)
            if (r.Status == '-') Add_UnreadRun(bad, {start * psb + r.Pos, r.Size});
        out = TOutputFile::Continue(partial, guard, &refusal);
        res.ResumedFrom = done;
    } else {
        out = TOutputFile::Create(target, guard, &refusal);
    }
    if (!out) {
        if (!refusal.Allowed())
            Send_Log(TSeverity::Error, Tr("错误类型:Image0005"),
                     Tr("错误内容:") + refusal.Reason + ":" + target);
        else
            Send_Log(TSeverity::Error, Tr("错误类型:Image0001"), Tr("错误内容:创建文件失败,程序将退出!"));
        Finish_Image(false);
        return res;
    }
    Send_Log(Tr("镜像开始"), Tr("开始镜像,镜像源:") + sourcePath + ";" + Tr("镜像目标:") + target);

    // The digests cover the whole image: on a resume the part already written
    // is read back once before the copy goes on.
    TImageDigest digest;
    if (done > 0) {
        Send_Log(Tr("镜像开始"), Tr("继续镜像,已完成字节数:") + std::to_string(done));
        TImageHashes unused;
        if (!Hash_File(out->Temp_Path(), done, unused, &digest)) {
            Send_Log(TSeverity::Error, Tr("错误类型:Image0006"),
                     Tr("错误内容:无法继续镜像:") + Tr("未完成的镜像文件与映射文件不符:") + out->Temp_Path());
            Finish_Image(false);
            return res;
        }
    }

    int64_t P = start * psb + done;
    const int64_t N = T / kImageBlock;
    Send_UIMessage(MSG_PROGRESS_START, {std::to_string(N), Tr("镜像总块数:")});
    st.BytesTotal.store(T);
    st.BytesDone.store(done);
    for (const TUnreadRun& r : bad)
        res.UnreadBytes += r.Len;

    std::vector<uint8_t> buf(size_t(kImageBlock), 0);
    std::vector<TUnreadRun> unread;
    int64_t i = done / kImageBlock;
    bool ok = true;
    const auto steady0 = std::chrono::steady_clock::now();
    while (P < endByte) {
        if (st.StopFlag.load()) {
            res.Stopped = true;
            break;
        }
        st.Progress1.store(int32_t(i));
        const auto secs = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now() - t0);
        const double runSecs = std::chrono::duration<double>(std::chrono::steady_clock::now() - steady0).count();
        // Elapsed time, then rate, time left and the bytes lost so far; the block count stays on its own.
        std::string spent = Tr("已消耗时间:") + std::to_string(secs.count()) + Tr("秒");
        if (const std::string rate = Rate_Text(res.BytesWritten, T - done, runSecs); !rate.empty())
            spent += " " + rate;
        if (res.UnreadBytes > 0) spent += " " + Tr("无法读取的字节数:") + std::to_string(res.UnreadBytes);
        Send_UIMessage(MSG_PROGRESS_STATUS, {"", spent, Tr("已镜像块数:") + std::to_string(i)});
        const int64_t want = std::min<int64_t>(kImageBlock, endByte - P);

        // A block the medium does not deliver whole is read again sector by
        // sector (opts.Retries passes): only the sectors that cannot be read
        // are zeros in the image.
        unread.clear();
        Read_Salvage(*h, buf.data(), size_t(want), P, psb, &unread);
        Retry_Unread(*h, buf.data(), P, psb, std::max(opts.Retries, 1), unread);
        if (!unread.empty()) ++res.UnreadBlocks;
        for (const TUnreadRun& r : unread) {
            res.UnreadBytes += r.Len;
            Add_UnreadRun(bad, r);
            Send_Log(TSeverity::Error, Tr("错误类型:Image0002"),
                     Tr("错误内容:读取源数据失败,以零填充,偏移:") + std::to_string(r.Off) + "," + Tr("长度") +
                         ":" + std::to_string(r.Len));
        }
        if (!out->Write(buf.data(), size_t(want))) {
            Send_Log(TSeverity::Error, Tr("错误类型:Image0003"), Tr("错误内容:写入镜像文件失败,程序将退出!"));
            ok = false;
            break;
        }
        digest.Update(buf.data(), size_t(want));
        res.BytesWritten += want;
        st.BytesDone.store(done + res.BytesWritten);
        ++i;
        P += want;
    }
    const int64_t imaged = done + res.BytesWritten;
    // The image gets its name only when complete and flushed; a copy the stop
    // flag ended is kept as <target>.partial, with its map, for a later
    // resume; after a write error nothing new is kept (a resumed image stays
    // as it was). Targets are named after the time, so a taken one gives way
    // to the next free name.
    if (ok) {
        const bool named = res.Stopped ? out->Commit_As(target + ".partial", TTakenName::NextFree)
                                       : out->Commit_As(target, TTakenName::NextFree);
        if (named) {
            res.WrittenPath = out->Path();
        } else {
            Send_Log(TSeverity::Error, Tr("错误类型:Image0003"), Tr("错误内容:写入镜像文件失败,程序将退出!"));
            ok = false;
        }
    }
    out->Close();
    if (ok) {
        std::string base = res.WrittenPath;
        if (res.Stopped && base.size() > 8 && base.compare(base.size() - 8, 8, ".partial") == 0)
            base.resize(base.size() - 8);
        TImageMap map;
        map.Source = sourcePath;
        map.SourceBytes = medium;
        map.StartSector = start;
        map.EndSector = end;
        map.SectorBytes = psb;
        map.CurrentPos = imaged;
        map.CurrentStatus = res.Stopped ? '?' : '+';
        map.Runs = Map_Runs(T, imaged, bad, start * psb);
        res.MapPath = base + ".map";
        if (!Write_Sidecar(res.MapPath, Image_MapText(map), guard)) {
            Send_Log(TSeverity::Error, Tr("错误类型:Image0003"),
                     Tr("错误内容:写入映射文件失败:") + res.MapPath);
            res.MapPath.clear();
            ok = false;
        }
        if (!res.Stopped) {
            res.Hashes = digest.Finish();
            res.HashesPath = base + ".hashes";
            Send_Log(Tr("镜像哈希值"), "MD5: " + res.Hashes.Md5);
            Send_Log(Tr("镜像哈希值"), "SHA1: " + res.Hashes.Sha1);
            Send_Log(Tr("镜像哈希值"), "SHA256: " + res.Hashes.Sha256);
            if (!res.Hashes.Ok() || !Write_Sidecar(res.HashesPath, Image_HashesText(res.Hashes), guard)) {
                Send_Log(TSeverity::Error, Tr("错误类型:Image0003"),
                         Tr("错误内容:写入哈希文件失败:") + res.HashesPath);
                res.HashesPath.clear();
                ok = false;
            }
        }
    }
    res.BytesWritten = imaged;
    res.Ok = ok;
    st.BytesTotal.store(0);
    Finish_Image(ok, res, start, psb);
    return res;
}

TImageResult To_image(const TTreeData& node, const std::string& target, int64_t start, int64_t end,
                      const TGuardOptions& output, const TImageOptions& opts) {
    auto h = Open_Source(Get_SourcePath(node));
    return To_imageFrom(h.get(), node, target, start, end, output, opts);
}

} // namespace qrv

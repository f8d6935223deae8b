#include "sources/imaging.h"

#include <chrono>
#include <cstring>
#include <vector>

#include "common/checked_math.h"
#include "common/language.h"
#include "common/op_state.h"
#include "common/text_format.h"
#include "common/ui_message.h"
#include "media/raw_access.h"
#include "platform/output_file.h"

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

TImageResult To_imageFrom(TSource* h, const TTreeData& node, const std::string& target, int64_t start,
                          int64_t end, const TGuardOptions& output) {
    TImageResult res;
    TOpState& st = Op_State();
    const auto t0 = std::chrono::system_clock::now();
    st.Set_StartTime(t0);
    const std::string sourcePath = Get_SourcePath(node);
    if (!h) {
        Send_Log(Tr("错误类型:Image0000"), Tr("错误内容:获取文件句柄出错，程序将退出!"));
        Finish_Image(false);
        return res;
    }
    // The range is checked before the target exists: a range that cannot be
    // copied must not leave a padded or empty image behind.
    const int64_t medium = h->Size();
    if (const std::string bad = Check_ImageBounds(node, start, end, medium); !bad.empty()) {
        Send_Log(Tr("错误类型:Image0004"), Tr("错误内容:") + bad);
        Finish_Image(false);
        return res;
    }
    TGuardVerdict refusal;
    auto out = TOutputFile::Create(target, TOutputGuard({sourcePath}, output), &refusal);
    if (!out) {
        if (!refusal.Allowed())
            Send_Log(Tr("错误类型:Image0005"), Tr("错误内容:") + refusal.Reason + ":" + target);
        else
            Send_Log(Tr("错误类型:Image0001"), Tr("错误内容:创建文件失败,程序将退出!"));
        Finish_Image(false);
        return res;
    }
    Send_Log(Tr("镜像开始"), Tr("开始镜像,镜像源:") + sourcePath + ";" + Tr("镜像目标:") + target);

    const int64_t psb = node.PerSecBytes > 0 ? node.PerSecBytes : 512;
    const int64_t endByte = end * psb; // both products checked above
    int64_t P = start * psb;
    const int64_t T = end > start ? endByte - P : 0;
    const int64_t N = T / kImageBlock;
    Send_UIMessage(MSG_PROGRESS_START, {std::to_string(N), Tr("镜像总块数:")});
    st.BytesTotal.store(T);
    st.BytesDone.store(0);

    std::vector<uint8_t> buf(size_t(kImageBlock), 0);
    std::vector<TUnreadRun> unread;
    int64_t i = 0;
    bool ok = true;
    while (P < endByte) {
        if (st.StopFlag.load()) {
            res.Stopped = true;
            break;
        }
        st.Progress1.store(int32_t(i));
        const auto secs = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now() - t0);
        Send_UIMessage(MSG_PROGRESS_STATUS, {"", Tr("已消耗时间:") + std::to_string(secs.count()) + Tr("秒"),
                                             Tr("已镜像块数:") + std::to_string(i)});
        const bool lastShort = P + kImageBlock > endByte && T % kImageBlock != 0;
        const int64_t want = lastShort ? T % kImageBlock : kImageBlock;

        // A block the medium does not deliver whole is read again sector by
        // sector: only the sectors that cannot be read are zeros in the image.
        unread.clear();
        Read_Salvage(*h, buf.data(), size_t(want), P, psb, &unread);
        if (!unread.empty()) ++res.UnreadBlocks;
        for (const TUnreadRun& r : unread) {
            res.UnreadBytes += r.Len;
            Send_Log(Tr("错误类型:Image0002"), Tr("错误内容:读取源数据失败,以零填充,偏移:") +
                                                  std::to_string(r.Off) + "," + Tr("长度") + ":" +
                                                  std::to_string(r.Len));
        }
        if (!out->Write(buf.data(), size_t(want))) {
            Send_Log(Tr("错误类型:Image0003"), Tr("错误内容:写入镜像文件失败,程序将退出!"));
            ok = false;
            break;
        }
        res.BytesWritten += want;
        st.BytesDone.store(res.BytesWritten);
        if (lastShort) break;
        ++i;
        P += kImageBlock;
    }
    // The image gets its name only when complete and flushed; a copy the stop
    // flag ended is kept as <target>.partial (for a later resume); after a
    // write error nothing is kept. Targets are named after the time, so a
    // taken one gives way to the next free name.
    if (ok) {
        const bool done = res.Stopped ? out->Commit_As(target + ".partial", TTakenName::NextFree)
                                      : out->Commit(TTakenName::NextFree);
        if (done) {
            res.WrittenPath = out->Path();
        } else {
            Send_Log(Tr("错误类型:Image0003"), Tr("错误内容:写入镜像文件失败,程序将退出!"));
            ok = false;
        }
    }
    out->Close();
    res.Ok = ok;
    st.BytesTotal.store(0);
    Finish_Image(ok, res, start, psb);
    return res;
}

TImageResult To_image(const TTreeData& node, const std::string& target, int64_t start, int64_t end,
                      const TGuardOptions& output) {
    auto h = Open_Source(Get_SourcePath(node));
    return To_imageFrom(h.get(), node, target, start, end, output);
}

} // namespace qrv

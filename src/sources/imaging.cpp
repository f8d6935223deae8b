#include "sources/imaging.h"

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/checked_math.h"
#include "common/language.h"
#include "common/op_state.h"
#include "common/text_format.h"
#include "common/ui_message.h"
#include "media/raw_access.h"
#include "platform/ewf_writer.h"
#include "platform/output_file.h"
#include "platform/source_io.h"
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

TOutcome Check_ImageNode(const TTreeData* node) {
    if (!node || node->Level == 0) return TOutcome::Refused(Tr("请选中要镜像的盘符!"));
    if (node->Hddtype == HDD_IMAGE) return TOutcome::Refused(Tr("当前所选类型为文件,无法创建镜像!"));
    return TOutcome::Ok();
}

TOutcome Check_ImageFolder(const TTreeData& node, const std::string& folder, const TGuardOptions& output) {
    const TGuardVerdict v = TOutputGuard({Get_SourcePath(node)}, output).Check_Folder(folder);
    return v.Allowed() ? TOutcome::Ok() : TOutcome::Refused(v.Reason);
}

TOutcome Check_ImageRange(int64_t start, int64_t end) {
    if (start == end) return TOutcome::Refused(Tr("起始扇区和结束扇区相同,请重新设置!"));
    if (end < start) return TOutcome::Refused(Tr("起始扇区大于结束扇区,请重新设置!"));
    return TOutcome::Ok();
}

TOutcome Check_ImageBounds(const TTreeData& node, int64_t start, int64_t end, int64_t mediumBytes) {
    const int64_t psb = node.PerSecBytes > 0 ? node.PerSecBytes : 512;
    if (start < 0 || end < 0) return TOutcome::Refused(Tr("扇区号不能为负数,请重新设置!"));
    const auto endByte = Mul_Checked(end, psb);
    if (!endByte || !Mul_Checked(start, psb))
        return TOutcome::Refused(Tr("扇区号过大,无法换算为字节偏移,请重新设置!"));
    if (mediumBytes >= 0 && *endByte > mediumBytes)
        return TOutcome::Refused(Tr("结束扇区超出源的末尾,请重新设置!") + "(" + std::to_string(end) + " > " +
                                 std::to_string(mediumBytes / psb) + ")");
    return TOutcome::Ok();
}

TOutcome Check_ImageSpace(int64_t freeBytes, int64_t needed, const std::string& capText) {
    if (freeBytes >= needed) return TOutcome::Ok();
    return TOutcome::Refused(Tr("检测到目标盘剩余空间不足,请重新设置!") + "\r\n" + "镜像文件字节数:" + std::to_string(needed) +
           "\r\n" + "目标剩余字节数:" + std::to_string(freeBytes) + "\r\n" + "目标盘的剩余空间至少为:" + capText);
}

namespace {

// Closing sequence: completion line, gauge reset, progress end. A stopped
// copy is never a success: it says where the copy ends.
void Finish_Image(bool ok, const TImageResult& res = {}, int64_t startSector = 0, int64_t sectorBytes = 512,
                  int64_t extent = 0) {
    std::string text;
    if (!ok)
        text = Tr("镜像未能完成!");
    else if (res.Stopped)
        text = Tr("镜像已停止!") + " " + Tr("最后写入的扇区:") +
               (extent >= sectorBytes ? std::to_string(startSector + extent / sectorBytes - 1) : std::string("-")) +
               (res.MapPath.empty() ? "" : " " + Tr("映射文件已保存:") + res.MapPath);
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

namespace {

// Where the copied bytes go: a raw image written at any offset, or an EWF
// container that takes the media in order.
class TImageSink {
  public:
    virtual ~TImageSink() = default;
    virtual bool Ordered() const = 0;
    // len bytes at offset rel of the image.
    virtual bool Put(const uint8_t* buf, size_t len, int64_t rel) = 0;
    virtual void Unreadable(int64_t /*rel*/, int64_t /*len*/) {}
    // Puts what was written so far on the disk before the map says it is done.
    virtual bool Sync() { return true; }
};

class TRawSink final : public TImageSink {
  public:
    explicit TRawSink(TOutputFile& out) : out_(out) {}
    bool Ordered() const override { return false; }
    bool Put(const uint8_t* buf, size_t len, int64_t rel) override { return out_.Write_At(buf, len, rel); }
    bool Sync() override { return out_.Sync_Data(); }

  private:
    TOutputFile& out_;
};

class TEwfSink final : public TImageSink {
  public:
    TEwfSink(TEwfWriter& w, int64_t sectorBytes) : w_(w), psb_(sectorBytes) {}
    bool Ordered() const override { return true; }
    bool Put(const uint8_t* buf, size_t len, int64_t rel) override { return rel == w_.Written() && w_.Write(buf, len); }
    void Unreadable(int64_t rel, int64_t len) override {
        w_.Add_AcquiryError(rel / psb_, (len + psb_ - 1) / psb_);
    }

  private:
    TEwfWriter& w_;
    int64_t psb_;
};

// The first pass skips ahead past a failing area by this much, doubling up to
// the limit while reads keep failing, and starts again from the least after a
// block that reads whole.
constexpr int64_t kSkipFirst = int64_t(64) << 10;
constexpr int64_t kSkipLimit = int64_t(16) << 20;
// While the copy runs the map is saved this often, so that a run that is
// killed can be continued from it.
constexpr auto kMapEvery = std::chrono::seconds(2);
constexpr int64_t kMapEveryBytes = int64_t(64) << 20;

bool Ends_With(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

std::string Name_Of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Folder_Of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + (slash == 0));
}

// The first name from target on (target, NAME-2.EXT ...) that neither an
// image nor its map, partial file or digests hold yet: the map is written
// under it while the copy runs.
std::string Free_Target(const std::string& target, const TOutputGuard& guard) {
    // A target the guard refuses stays as it is, so that it is refused with its reason.
    if (!guard.Check_File(target).Allowed()) return target;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) return target; // written in place
    for (int n = 1;; ++n) {
        const std::string t = n == 1 ? target : Numbered_Name(target, n);
        if (!Path_Taken(t) && !Path_Taken(t + ".map") && !Path_Taken(t + ".partial") && !Path_Taken(t + ".hashes"))
            return t;
    }
}

// The state of one imaging run: the range, the target and where its bytes go,
// the map, the digests and the counters the copy passes share. Its steps are
// the member functions, in the order To_imageFrom calls them.
struct TImagingRun {
    TImagingRun(TOpState& op, TSource& source, const TTreeData& node, int64_t startSector, int64_t endSector,
                int64_t mediumBytes, const TGuardOptions& output, const TImageOptions& options,
                std::chrono::system_clock::time_point began)
        : h(source), opts(options), st(op), t0(began), start(startSector), end(endSector),
          medium(mediumBytes), psb(node.PerSecBytes > 0 ? node.PerSecBytes : 512),
          base(start * psb), // both products checked before
          T(end > start ? end * psb - base : 0), sourcePath(Get_SourcePath(node)),
          guard({sourcePath}, output), e01(opts.Format == TImageFormat::E01), buf(size_t(kImageBlock), 0) {
        map.Source = sourcePath;
        map.SourceBytes = medium;
        map.StartSector = start;
        map.EndSector = end;
        map.SectorBytes = psb;
        map.Runs = {{0, T, '?'}};
    }

    TSource& h;
    const TImageOptions& opts;
    TOpState& st;
    const std::chrono::system_clock::time_point t0;
    const int64_t start, end, medium;
    const int64_t psb;  // sector bytes
    const int64_t base; // source offset of the range
    const int64_t T;    // bytes in the range
    const std::string sourcePath;
    const TOutputGuard guard;
    const bool e01;

    TImageResult res;
    TImageMap map;
    std::string target;
    std::unique_ptr<TOutputFile> out;
    std::unique_ptr<TEwfWriter> ewf;
    std::unique_ptr<TImageSink> sink;
    bool ok = true;

    // The live map: where it is kept while the copy runs and when it was last saved.
    std::string liveMap;
    bool keepMap = false;
    int64_t mapSavedAt = 0;
    bool liveSaved = false;
    std::chrono::steady_clock::time_point mapClock;
    bool mapOk = true;

    // The digests are fed in order while the image is written in order; what
    // a later pass fills in is read back from the image at the end.
    TImageDigest digest;
    int64_t digested = 0;

    int64_t settled = 0; // copied, or found unreadable
    int64_t unreadNow = 0;
    std::vector<uint8_t> buf;
    std::vector<TUnreadRun> unread;
    std::chrono::steady_clock::time_point steady0;
    int64_t settled0 = 0;

    // A resume continues the image its map belongs to, when the map is of
    // this source, its size and this range, and the unfinished image holds
    // at least what the map says was tried. False (said in the log) when not.
    bool Continue_FromMap(TGuardVerdict& refusal) {
        std::string why;
        const auto old = Parse_ImageMap(Read_Text(opts.ResumeMap), &why);
        target = Image_OfMap(opts.ResumeMap);
        const std::string partial =
            old && !old->Partial.empty() && old->Partial.find('/') == std::string::npos
                ? Folder_Of(opts.ResumeMap) + "/" + old->Partial
                : target + ".partial";
        if (old && (old->SourceBytes != medium || old->StartSector != start || old->EndSector != end ||
                    old->SectorBytes != psb))
            why = Tr("映射文件不属于此镜像源或扇区范围") + " (" + std::to_string(old->SourceBytes) + " " +
                  std::to_string(old->StartSector) + "-" + std::to_string(old->EndSector) + ")";
        else if (old && old->Bytes_Of('?') == 0)
            why = Tr("映射文件所属的镜像已经完成");
        else if (old && (e01 || Ends_With(target, ".E01")))
            why = Tr("E01镜像无法继续,请重新镜像");
        else if (old && (!Path_Taken(partial) || Get_PathSize(partial) < old->Extent()))
            why = Tr("未完成的镜像文件与映射文件不符:") + partial;
        if (!why.empty()) {
            Send_Log(TSeverity::Error, Tr("错误类型:Image0006"), Tr("错误内容:无法继续镜像:") + why);
            return false;
        }
        // Sectors found bad before are tried again, with the retries asked for now.
        map.Runs = old->Runs;
        for (const TMapRun& r : old->Runs)
            if (r.Status == '-') Mark_Run(map.Runs, r.Pos, r.Size, '?');
        out = TOutputFile::Continue(partial, guard, &refusal);
        res.ResumedFrom = T - map.Bytes_Of('?');
        return true;
    }

    // A new EWF container under the first free name <target>.E01, <target>-2.E01 ...
    // False (said in the log) when it cannot be created for another reason than the guard.
    bool Create_Container(const std::string& targetIn, TGuardVerdict& refusal) {
        std::string base0 = targetIn;
        if (Ends_With(base0, ".img")) base0.resize(base0.size() - 4);
        target = base0 + ".E01";
        for (int n = 2; Path_Taken(target) || Path_Taken(target + ".map"); ++n)
            target = Numbered_Name(base0 + ".E01", n);
        std::string why;
        ewf = TEwfWriter::Create(target, T, psb, opts.Ewf, guard, &why, &refusal);
        if (!ewf && refusal.Allowed()) {
            Send_Log(TSeverity::Error, Tr("错误类型:Image0001"),
                     Tr("错误内容:创建文件失败,程序将退出!") + " " + why);
            return false;
        }
        return true;
    }

    // Opens the target (continued, a container, or a raw image) and says where
    // the copy goes; false (said in the log) when there is no target.
    bool Open_Target(const std::string& targetIn) {
        TGuardVerdict refusal;
        if (!opts.ResumeMap.empty()) {
            if (!Continue_FromMap(refusal)) return false;
        } else if (e01) {
            if (!Create_Container(targetIn, refusal)) return false;
        } else {
            target = Free_Target(targetIn, guard);
            out = TOutputFile::Create(target, guard, &refusal);
        }
        if (!out && !ewf) {
            if (!refusal.Allowed())
                Send_Log(TSeverity::Error, Tr("错误类型:Image0005"),
                         Tr("错误内容:") + refusal.Reason + ":" + target);
            else
                Send_Log(TSeverity::Error, Tr("错误类型:Image0001"), Tr("错误内容:创建文件失败,程序将退出!"));
            return false;
        }
        Send_Log(Tr("镜像开始"), Tr("开始镜像,镜像源:") + sourcePath + ";" + Tr("镜像目标:") + target);
        if (res.ResumedFrom > 0)
            Send_Log(Tr("镜像开始"), Tr("继续镜像,已完成字节数:") + std::to_string(res.ResumedFrom));
        return true;
    }

    // The sink, the live map and the counters; starts the progress.
    void Prepare_Copy() {
        if (ewf)
            sink = std::make_unique<TEwfSink>(*ewf, psb);
        else
            sink = std::make_unique<TRawSink>(*out);
        // The map is kept beside the image while the copy runs (only for an image
        // written under a temporary name in a folder: not for a device written in place).
        liveMap = opts.ResumeMap.empty() ? target + ".map" : opts.ResumeMap;
        keepMap = ewf || !out->Temp_Path().empty();
        if (out && out->Temp_Path() != out->Path())
            map.Partial = Name_Of(out->Temp_Path());
        else if (out)
            map.Partial = Name_Of(out->Path());
        mapClock = std::chrono::steady_clock::now();

        const int64_t N = T / kImageBlock;
        Send_UIMessage(MSG_PROGRESS_START, {std::to_string(N), Tr("镜像总块数:")});
        settled = T - map.Bytes_Of('?');
        mapSavedAt = settled;
        st.BytesTotal.store(T);
        st.BytesDone.store(settled);
        unreadNow = map.BadBytes();
        steady0 = std::chrono::steady_clock::now();
        settled0 = settled;
    }

    bool Save_Map(const std::string& path) {
        map.CurrentStatus = map.Bytes_Of('?') ? '?' : '+';
        const bool saved = Write_Sidecar(path, Image_MapText(map), guard).Is_Ok();
        mapClock = std::chrono::steady_clock::now();
        return saved;
    }

    void Send_Status() {
        st.Progress1.store(int32_t(settled / kImageBlock));
        const auto secs =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now() - t0);
        const double runSecs =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - steady0).count();
        // Elapsed time, then rate, time left and the bytes lost so far; the block count stays on its own.
        std::string spent = Tr("已消耗时间:") + std::to_string(secs.count()) + Tr("秒");
        if (const std::string rate = Rate_Text(settled - settled0, T - settled0, runSecs); !rate.empty())
            spent += " " + rate;
        if (unreadNow > 0) spent += " " + Tr("无法读取的字节数:") + std::to_string(unreadNow);
        Send_UIMessage(MSG_PROGRESS_STATUS,
                       {"", spent, Tr("已镜像块数:") + std::to_string(settled / kImageBlock)});
    }

    // True (and the run marked stopped) once the stop flag is set.
    bool Stop_Asked() {
        if (!st.StopFlag.load()) return false;
        res.Stopped = true;
        return true;
    }

    // Puts len bytes of b at rel, marks them, feeds the digest and saves the map when due.
    bool Put(const uint8_t* b, int64_t len, int64_t rel, char status) {
        if (!sink->Put(b, size_t(len), rel)) {
            Send_Log(TSeverity::Error, Tr("错误类型:Image0003"), Tr("错误内容:写入镜像文件失败,程序将退出!"));
            return ok = false;
        }
        if (rel == digested) {
            digest.Update(b, size_t(len));
            digested += len;
        }
        Mark_Run(map.Runs, rel, len, status);
        settled += len;
        st.BytesDone.store(settled);
        if (keepMap && (settled - mapSavedAt >= kMapEveryBytes ||
                        std::chrono::steady_clock::now() - mapClock >= kMapEvery)) {
            mapSavedAt = settled;
            // The map marks bytes finished only once they are on the disk, so
            // that after a power cut it never claims what the image lacks.
            mapOk = sink->Sync() && Save_Map(liveMap) && mapOk;
            liveSaved = true;
        }
        return true;
    }

    // A block read whole, or else sector by sector (opts.Retries passes):
    // only the sectors that cannot be read are zeros in the image.
    bool Copy_Salvaged(int64_t rel, int64_t want) {
        unread.clear();
        Read_Salvage(h, buf.data(), size_t(want), base + rel, psb, &unread);
        Retry_Unread(h, buf.data(), base + rel, psb, std::max(opts.Retries, 1), unread);
        if (!unread.empty()) ++res.UnreadBlocks;
        // Marked '+' first, then the sectors that stayed unreadable '-'.
        if (!Put(buf.data(), want, rel, '+')) return false;
        for (const TUnreadRun& r : unread) {
            unreadNow += r.Len;
            Mark_Run(map.Runs, r.Off - base, r.Len, '-');
            sink->Unreadable(r.Off - base, r.Len);
            Send_Log(TSeverity::Error, Tr("错误类型:Image0002"),
                     Tr("错误内容:读取源数据失败,以零填充,偏移:") + std::to_string(r.Off) + "," + Tr("长度") +
                         ":" + std::to_string(r.Len));
        }
        return true;
    }

    std::vector<TMapRun> Todo() const {
        std::vector<TMapRun> todo;
        for (const TMapRun& r : map.Runs)
            if (r.Status == '?') todo.push_back(r);
        return todo;
    }

    // First pass: every block read whole is copied; where the medium fails
    // the pass skips ahead (leaving the stretch to do) so that a failing area
    // does not hold up the rest. A container taken in order cannot leave
    // gaps: there each failing block is read sector by sector at once.
    void Copy_FirstPass() {
        int64_t skip = kSkipFirst;
        for (const TMapRun& r : Todo()) {
            int64_t P = r.Pos;
            while (ok && P < r.Pos + r.Size) {
                if (Stop_Asked()) break;
                Send_Status();
                const int64_t want = std::min<int64_t>(kImageBlock, r.Pos + r.Size - P);
                if (sink->Ordered()) {
                    if (!Copy_Salvaged(P, want)) break;
                    P += want;
                    continue;
                }
                const int64_t n = h.Read_At(buf.data(), size_t(want), base + P);
                const int64_t good = n >= want ? want : n > 0 ? n / psb * psb : 0;
                if (good > 0 && !Put(buf.data(), good, P, '+')) break;
                if (good == want) {
                    skip = kSkipFirst;
                    P += want;
                    continue;
                }
                P = std::min(r.Pos + r.Size, P + good + skip);
                skip = std::min(skip * 2, kSkipLimit);
            }
            if (!ok || res.Stopped) break;
        }
    }

    // Later pass: what the first one skipped (and, on a resume, what was
    // unreadable before) is read block by block, sector by sector where it fails.
    void Copy_Skipped() {
        if (!ok || res.Stopped) return;
        for (const TMapRun& r : Todo()) {
            for (int64_t P = r.Pos; ok && P < r.Pos + r.Size;) {
                if (Stop_Asked()) break;
                Send_Status();
                const int64_t want = std::min<int64_t>(kImageBlock, r.Pos + r.Size - P);
                if (!Copy_Salvaged(P, want)) break;
                P += want;
            }
            if (!ok || res.Stopped) break;
        }
    }

    // The digests of the complete image: what a later pass filled in is read
    // back from the image. False (said in the log) when they do not cover it all.
    bool Finish_Digests() {
        if (digested < T && out) {
            auto back = Open_Source(out->Temp_Path().empty() ? out->Path() : out->Temp_Path());
            for (int64_t at = digested; back && at < T;) {
                const int64_t want = std::min<int64_t>(int64_t(buf.size()), T - at);
                if (back->Read_At(buf.data(), size_t(want), at) != want) break;
                digest.Update(buf.data(), size_t(want));
                at += want;
            }
            digested = digest.Fed();
        }
        res.Hashes = digest.Finish();
        if (digested != T || !res.Hashes.Ok()) {
            Send_Log(TSeverity::Error, Tr("错误类型:Image0003"), Tr("错误内容:写入哈希文件失败:") + target);
            return false;
        }
        return true;
    }

    // A raw image gets its name (<target>.partial when stopped); a complete
    // container is finished. False (said in the log) on a write error.
    bool Name_Image(bool complete) {
        if (out) {
            const bool named = res.Stopped ? out->Commit_As(target + ".partial", TTakenName::NextFree)
                                           : out->Commit_As(target, TTakenName::NextFree);
            if (!named) {
                Send_Log(TSeverity::Error, Tr("错误类型:Image0003"),
                         Tr("错误内容:写入镜像文件失败,程序将退出!"));
                return false;
            }
            res.WrittenPath = out->Path();
        }
        if (ewf && complete) {
            std::string why;
            if (!ewf->Finish(res.Hashes.Md5, res.Hashes.Sha1, &why)) {
                Send_Log(TSeverity::Error, Tr("错误类型:Image0003"),
                         Tr("错误内容:写入镜像文件失败,程序将退出!") + " " + why);
                return false;
            }
            res.WrittenPath = target;
            res.Segments = ewf->Segments();
        }
        return true;
    }

    // The final map beside the image (a stopped raw copy is continued from
    // it, and it lists what the stopped one read) and, for a complete image,
    // its digests. False (said in the log) on a write error.
    bool Save_Sidecars(bool complete) {
        std::string imageName = res.WrittenPath.empty() ? target : res.WrittenPath;
        if (res.Stopped && Ends_With(imageName, ".partial")) imageName.resize(imageName.size() - 8);
        map.Partial = res.Stopped && out ? Name_Of(res.WrittenPath) : "";
        res.MapPath = opts.ResumeMap.empty() ? imageName + ".map" : opts.ResumeMap;
        if (!Save_Map(res.MapPath)) {
            Send_Log(TSeverity::Error, Tr("错误类型:Image0003"),
                     Tr("错误内容:写入映射文件失败:") + res.MapPath);
            res.MapPath.clear();
            return false;
        }
        // The one kept while copying, under the name given up, goes.
        if (res.MapPath != liveMap && liveSaved) ::unlink(liveMap.c_str());
        return !complete || Save_Hashes(imageName);
    }

    bool Save_Hashes(const std::string& imageName) {
        res.HashesPath = imageName + ".hashes";
        Send_Log(Tr("镜像哈希值"), "MD5: " + res.Hashes.Md5);
        Send_Log(Tr("镜像哈希值"), "SHA1: " + res.Hashes.Sha1);
        Send_Log(Tr("镜像哈希值"), "SHA256: " + res.Hashes.Sha256);
        if (const TOutcome w = Write_Sidecar(res.HashesPath, Image_HashesText(res.Hashes), guard); !w.Is_Ok()) {
            Send_Log(TSeverity::Error, Tr("错误类型:Image0003"), Tr("错误内容:写入哈希文件失败:") + w.Why);
            res.HashesPath.clear();
            return false;
        }
        return true;
    }
};

} // namespace

TImageResult To_imageFrom(TOpState& st, TSource* h, const TTreeData& node, const std::string& targetIn,
                          int64_t start, int64_t end, const TGuardOptions& output,
                          const TImageOptions& opts) {
    const TOpBinding reporting(st);
    const auto t0 = std::chrono::system_clock::now();
    st.Set_StartTime(t0);
    if (!h) {
        Send_Log(TSeverity::Error, Tr("错误类型:Image0000"), Tr("错误内容:获取文件句柄出错，程序将退出!"));
        Finish_Image(false);
        return {};
    }
    // The range is checked before the target exists: a range that cannot be
    // copied must not leave a padded or empty image behind.
    const int64_t medium = h->Size();
    if (const TOutcome bad = Check_ImageBounds(node, start, end, medium); !bad.Is_Ok()) {
        Send_Log(TSeverity::Error, Tr("错误类型:Image0004"), Tr("错误内容:") + bad.Why);
        Finish_Image(false);
        return {};
    }
    TImagingRun run(st, *h, node, start, end, medium, output, opts, t0);
    if (!run.Open_Target(targetIn)) {
        Finish_Image(false);
        return run.res;
    }
    run.Prepare_Copy();
    run.Copy_FirstPass();
    run.Copy_Skipped();
    run.map.Pass = 2;

    // The image gets its name only when complete and flushed; a raw copy the
    // stop flag ended is kept as <target>.partial, with its map, for a later
    // resume; an unfinished container is not kept (its map is). After a
    // write error nothing new is kept (a resumed image stays as it was).
    // Targets are named after the time, so a taken one gives way to the next free name.
    const bool complete = run.ok && !run.res.Stopped;
    if (complete && !run.Finish_Digests()) run.ok = false;
    if (run.ok && !run.Name_Image(complete)) run.ok = false;
    if (run.out) run.out->Close();
    run.ewf.reset(); // an unfinished container's staged segments go with it

    // The map is saved in every outcome but a write error.
    if (run.ok && !run.Save_Sidecars(complete)) run.ok = false;
    TImageResult& res = run.res;
    if (!complete) res.Hashes = {};
    res.UnreadBytes = run.map.BadBytes();
    res.BytesWritten = run.settled;
    res.Ok = run.ok && run.mapOk;
    st.BytesTotal.store(0);
    Finish_Image(res.Ok, res, start, run.psb, run.map.Extent());
    return res;
}

TImageResult To_image(TOpState& op, const TTreeData& node, const std::string& target, int64_t start,
                      int64_t end, const TGuardOptions& output, const TImageOptions& opts) {
    auto h = Open_Source(Get_SourcePath(node));
    return To_imageFrom(op, h.get(), node, target, start, end, output, opts);
}

} // namespace qrv

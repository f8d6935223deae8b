#include "export/preview_sample.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "analysis/output.h"
#include "common/byte_order.h"
#include "common/language.h"
#include "common/op_state.h"
#include "common/text_format.h"
#include "common/ui_message.h"
#include "media/raw_access.h"
#include "platform/file_system.h"
#include "platform/output_guard.h"

namespace qrv {

const uint8_t kPreviewHead[28] = {
    0x00, 0x00, 0x00, 0x14, 'f', 't', 'y',  'p',  'q',  't',  ' ', ' ', 0x20, 0x07,
    0x09, 0x00, 'q',  't',  ' ', ' ', 0x00, 0x00, 0x00, 0x00, 'm', 'd', 'a',  't',
};

namespace {

// Source reads go in pieces of at most this size.
constexpr int64_t kReadPiece = 65536;
// Largest head part, movie header part or fill the builder writes outside the
// window. Real movie headers and heads are far smaller; a larger value comes
// from a damaged or forged result record and is refused rather than written.
constexpr int64_t kMaxPart = int64_t(64) << 20;

// A first box size above this is not believed; the ftyp box of the head
// template is assumed instead.
constexpr uint32_t kMaxFirstBox = 100;
constexpr uint32_t kAssumedFirstBox = 20;

std::mutex g_pathMu;
std::string g_previewPath;

// The entries a result really has: Fragmenum and the array length may differ
// in a record loaded from a file.
int64_t Entry_Count(const TRebuildResult& r) {
    return std::clamp<int64_t>(r.Fragmenum, 0, int64_t(r.FragmenArray.size()));
}

bool Is_Media(const TFragmenArr& e) {
    return !e.ChongHeFlag && (e.FragmenType == ENTRY_FILE_HEAD || e.FragmenType == ENTRY_DATA);
}

// Reads n bytes at off into dst in pieces; what cannot be read stays zero.
void Read_Into(TSource& src, int64_t off, uint8_t* dst, int64_t n) {
    for (int64_t done = 0; done < n;) {
        const int64_t k = std::min(n - done, kReadPiece);
        std::vector<uint8_t> piece = Get_Bytes(src, k, off + done);
        if (piece.size() == size_t(k)) std::memcpy(dst + done, piece.data(), size_t(k));
        done += k;
    }
}

// The 4 MiB media window, filled in array order and cut where it is full.
class TWindow {
  public:
    TWindow() : bytes_(size_t(kPreviewWindow), 0) {}
    bool Full() const { return pos_ >= kPreviewWindow; }
    void Copy(TSource& src, int64_t start, int64_t len) {
        const int64_t take = std::min(len, kPreviewWindow - pos_);
        if (take <= 0) return;
        Read_Into(src, start, bytes_.data() + pos_, take);
        pos_ += take;
    }
    void Skip(int64_t n) {
        if (n > 0) pos_ += std::min(n, kPreviewWindow - pos_);
    }
    uint8_t* Data() { return bytes_.data(); }

  private:
    std::vector<uint8_t> bytes_;
    int64_t pos_ = 0;
};

// True when part p of r's layout is media the window takes: for layout 2 the
// file head and data entries, for layout 0 the data entries.
bool Window_Part(const TRebuildResult& r, const TOutputPart& p) {
    if (p.Entry < 0) return false;
    const TFragmenArr& e = r.FragmenArray[size_t(p.Entry)];
    return Is_Media(e) && (r.CamerType != 0 || e.FragmenType == ENTRY_DATA);
}

// The movie header entry's part of the layout (nullptr when there is none).
const TOutputPart* Movie_Part(const TRebuildResult& r, const TOutputLayout& layout) {
    for (const TOutputPart& p : layout.Parts)
        if (p.Entry == 0 && r.FragmenArray[0].FragmenType == ENTRY_MOVIE) return &p;
    return nullptr;
}

// Fills the window from the media parts of the output layout, in file order:
// the copies and zero fills the export writes, so that every sample lands at
// the file offset the movie header gives it. False when a part reached before
// the window is full has an unusable copy start.
bool Fill_Window(const TRebuildResult& r, const TOutputLayout& layout, TSource& src, TWindow& w) {
    for (const TOutputPart& p : layout.Parts) {
        if (w.Full()) break;
        if (!Window_Part(r, p)) continue;
        if (!p.Usable) return false;
        for (const TOutputPiece& piece : p.Pieces) {
            if (piece.Mode == PIECE_COPY)
                w.Copy(src, piece.SrcOff, piece.Length);
            else
                w.Skip(piece.Length);
        }
    }
    // A movie header at the end whose copy starts at its sector boundary
    // carries the last bytes of media in front of the moov box: they end the
    // media here, and the movie header part starts at the box itself.
    const TOutputPart* movie = Movie_Part(r, layout);
    if (r.CamerType == 2 && movie && !movie->Pieces.empty() && movie->Pieces[0].Mode == PIECE_COPY) {
        const int64_t start = movie->Pieces[0].SrcOff, box = r.FragmenArray[0].FragmenSoff;
        if (start < box) w.Copy(src, start, box - start);
    }
    return true;
}

// Length of the synthesized head: where the first data entry's bytes land
// (HeadLenx, as the export writes it), or the first chunk's file offset when
// the record carries no head length. The two agree when the first sample
// starts on a sector boundary; when it does not, only HeadLenx puts it at its
// chunk offset.
int64_t Head_Length(const TRebuildResult& r) {
    return r.HeadLenx > 0 ? r.HeadLenx : int64_t(r.Video_FirLogSoff);
}

// The result is copied under the list's lock: the list may be cleared at any time.
void Copy_Result(TScanSession& session, TPreviewRequest& req, int64_t resultIndex) {
    std::optional<TRebuildResult> r = session.Rebuilds.Copy_At(resultIndex);
    req.HaveResult = r.has_value();
    if (r) req.Result = std::move(*r);
}

void Log_Error(const char* kind, const std::string& description) {
    Send_Log(TSeverity::Error, Tr(kind), description);
}

} // namespace

// ---- registry of files in use ----

void TInUseFiles::Mark(const std::string& path) {
    std::lock_guard<std::mutex> lk(mu_);
    ++marks_[path];
}

void TInUseFiles::Release(const std::string& path) {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = marks_.find(path);
    if (it != marks_.end() && --it->second <= 0) marks_.erase(it);
}

bool TInUseFiles::In_Use(const std::string& path) const {
    std::lock_guard<std::mutex> lk(mu_);
    return marks_.count(path) != 0;
}

std::string TInUseFiles::Reserve_First(const std::vector<std::string>& candidates,
                                       const std::function<void(const std::string&)>& drop) {
    std::lock_guard<std::mutex> lk(mu_);
    for (const auto& c : candidates)
        if (!marks_.count(c) && drop) drop(c);
    for (const auto& c : candidates)
        if (!marks_.count(c)) {
            ++marks_[c];
            return c;
        }
    return {};
}

TInUseFiles& Preview_InUse() {
    static TInUseFiles files;
    return files;
}

TInUseMark::TInUseMark(std::string path) : path_(std::move(path)) {
    if (!path_.empty()) Preview_InUse().Mark(path_);
}

TInUseMark TInUseMark::Adopt(std::string path) {
    TInUseMark m;
    m.path_ = std::move(path);
    return m;
}

TInUseMark& TInUseMark::operator=(TInUseMark&& o) noexcept {
    if (this != &o) {
        Release();
        path_ = std::move(o.path_);
        o.path_.clear();
    }
    return *this;
}

void TInUseMark::Release() {
    if (!path_.empty()) Preview_InUse().Release(path_);
    path_.clear();
}

// ---- paths ----

std::string Preview_TempFolder() { return Get_TempFolder(); }

std::string Preview_Path() {
    std::lock_guard<std::mutex> lk(g_pathMu);
    return g_previewPath;
}

void Set_PreviewPath(const std::string& path) {
    std::lock_guard<std::mutex> lk(g_pathMu);
    g_previewPath = path;
}

TPreviewOutput Default_PreviewOutput(const std::string& sourcePath) {
    TPreviewOutput o;
    auto guard = std::make_shared<const TOutputGuard>(std::vector<std::string>{sourcePath});
    o.Allowed = [guard](const std::string& path) { return guard->Check_File(path).Allowed(); };
    o.Create = [guard](const std::string& path) { return TOutputFile::Create(path, *guard); };
    return o;
}

TInUseMark Choose_PreviewPath(const std::string& folder, const TPreviewOutput& output) {
    std::vector<std::string> names;
    for (const char* n : kPreviewNames)
        names.push_back(folder + "/" + n);
    std::string chosen = Preview_InUse().Reserve_First(names, [&](const std::string& p) {
        // A file on a disk we may not write to is left alone: deleting it is a write too.
        if (!output.Allowed || output.Allowed(p)) Remove_File(p);
    });
    return TInUseMark::Adopt(std::move(chosen));
}

TPreviewRequest Start_Preview(TScanSession& session, int64_t resultIndex, const std::string& folder,
                              TPreviewOutput output) {
    TPreviewRequest req;
    req.SourcePath = session.SourcePath();
    req.Output = output.Create ? std::move(output) : Default_PreviewOutput(req.SourcePath);
    req.Sample = Choose_PreviewPath(folder, req.Output);
    Copy_Result(session, req, resultIndex);
    return req;
}

// ---- building ----

TPreviewOutcome Check_PreviewUsable(const TRebuildResult& r) {
    const int64_t n = Entry_Count(r);
    for (int64_t i = 0; i < n; ++i) {
        const TFragmenArr& e = r.FragmenArray[size_t(i)];
        if (!Is_Media(e) || e.FragmeSnum == -1) continue;
        if (e.FragmeSnum != 0) return PREVIEW_NOT_FROM_START;
        break;
    }
    if (r.CamerType != 0 && r.CamerType != 2) return PREVIEW_NO_MEDIA;
    for (int64_t i = 0; i < n; ++i)
        if (Is_Media(r.FragmenArray[size_t(i)])) return PREVIEW_BUILT;
    return PREVIEW_NO_MEDIA;
}

TPreviewOutcome Build_PreviewSample(const TRebuildResult& r, TSource& src, TOutputFile& out) {
    const TPreviewOutcome usable = Check_PreviewUsable(r);
    if (usable != PREVIEW_BUILT) return usable;
    const int64_t n = Entry_Count(r);
    const TOutputLayout layout = Output_Layout(r);
    const TOutputPart* movie = Movie_Part(r, layout);

    TWindow w;
    if (!Fill_Window(r, layout, src, w)) return PREVIEW_NO_MEDIA;

    if (r.CamerType == 2) {
        if (r.HeadFlag == 1) {
            const int64_t h = Head_Length(r);
            if (h < int64_t(sizeof kPreviewHead)) return PREVIEW_HEAD_TOO_SHORT;
            if (h > kMaxPart) return PREVIEW_NO_MEDIA;
            std::vector<uint8_t> head(size_t(h), 0);
            std::memcpy(head.data(), kPreviewHead, sizeof kPreviewHead);
            // The mdat box starts at byte 20 and ends with the window.
            Put_BE32(head.data() + 20, uint32_t(kPreviewWindow + h - 20));
            if (!out.Write(head.data(), head.size())) return PREVIEW_WRITE_FAILED;
        } else if (n > 1) {
            // The window starts with the recording's own head: its first box
            // is followed by the mdat box, which now ends with the window.
            const int64_t at = Get_CopyStart(r.FragmenArray[1]);
            uint32_t p = kAssumedFirstBox;
            if (at >= 0) {
                std::vector<uint8_t> b = Get_Bytes(src, 4, at);
                if (b.size() == 4) p = Get_BE32(b.data());
            }
            if (p > kMaxFirstBox) p = kAssumedFirstBox;
            Put_BE32(w.Data() + p, uint32_t(kPreviewWindow - p));
        }
        if (!out.Write(w.Data(), size_t(kPreviewWindow))) return PREVIEW_WRITE_FAILED;
        if (movie) {
            // The movie header in whole sectors: from its start to the end of
            // the sector holding its end (its box, without the media bytes the
            // export's copy carries in front of it).
            const TFragmenArr& m = r.FragmenArray[0];
            if (m.FragmenSoff < 0 || m.FragmenEoff < m.FragmenSoff || m.FragmenEoff > INT64_MAX - 512)
                return PREVIEW_NO_MEDIA;
            const int64_t end = m.FragmenEoff - m.FragmenEoff % 512 + 512;
            if (end - m.FragmenSoff > kMaxPart) return PREVIEW_NO_MEDIA;
            const TOutputPiece box{PIECE_COPY, out.Length(), end - m.FragmenSoff, m.FragmenSoff, 0};
            if (!Write_Piece(src, out, box, false)) return PREVIEW_WRITE_FAILED;
        }
        return PREVIEW_BUILT;
    }

    // Layout 0: the head part holds the ftyp box, the movie header and the
    // mdat header; it is the movie header entry's part of the layout, written
    // as the export writes it (copy range, then zero fill up to the first
    // data entry).
    if (movie) {
        if (!movie->Usable) return PREVIEW_NO_MEDIA;
        for (const TOutputPiece& p : movie->Pieces)
            if (p.Length > kMaxPart) return PREVIEW_NO_MEDIA;
        for (const TOutputPiece& p : movie->Pieces)
            if (!Write_Piece(src, out, p, false)) return PREVIEW_WRITE_FAILED;
    }
    if (!out.Write(w.Data(), size_t(kPreviewWindow))) return PREVIEW_WRITE_FAILED;
    return PREVIEW_BUILT;
}

TPreviewOutcome Try_Play(TPreviewRequest req) {
    const std::string path = req.Sample.Path();
    TPreviewOutcome outcome = req.HaveResult ? Check_PreviewUsable(req.Result) : PREVIEW_NO_MEDIA;
    if (outcome == PREVIEW_NOT_FROM_START) {
        Log_Error("错误[Play0002]", Tr("此文件需要保存后才能播放,请根据[级别]进行判断!"));
        return outcome;
    }
    if (outcome == PREVIEW_NO_MEDIA) {
        Log_Error("错误[Play0001]", Tr("末知原因播放失败!"));
        return outcome;
    }
    if (req.SourcePath.empty()) {
        Log_Error("错误[Play0000]", Tr("获取磁盘句柄出错，程序将退出!"));
        return PREVIEW_NO_SOURCE;
    }
    TSourcePtr src = Open_Source(req.SourcePath);
    if (!src) {
        Log_Error("错误[Play0000]", Tr("获取文件句柄出错，程序将退出!"));
        return PREVIEW_NO_SOURCE;
    }
    if (path.empty()) {
        Log_Error("错误[Play0003]", Tr("试用文件都在使用中,请稍后再试!"));
        return PREVIEW_NO_NAME;
    }
    if (!req.Output.Create) req.Output = Default_PreviewOutput(req.SourcePath);
    std::unique_ptr<TOutputFile> out = req.Output.Create(path);
    if (!out) {
        Log_Error("错误[Play0003]", Tr("创建文件出错") + ":" + path);
        return PREVIEW_WRITE_FAILED;
    }
    outcome = Build_PreviewSample(req.Result, *src, *out);
    // The sample is the program's own scratch file under a fixed name: a
    // finished one replaces the last in one rename, so the player never opens
    // a cut one; an unfinished one is discarded.
    const bool closed = outcome == PREVIEW_BUILT ? out->Commit_Replacing() : out->Close();
    if (outcome == PREVIEW_BUILT && !closed) outcome = PREVIEW_WRITE_FAILED;
    src.reset();
    if (outcome != PREVIEW_BUILT) {
        // An unfinished sample is never handed to the player.
        Remove_File(path);
        if (outcome == PREVIEW_NO_MEDIA) Log_Error("错误[Play0001]", Tr("末知原因播放失败!"));
        if (outcome == PREVIEW_WRITE_FAILED) Log_Error("错误[Play0003]", Tr("写入文件出错") + ":" + path);
        return outcome;
    }
    Set_PreviewPath(path);
    req.Sample.Release(); // written: the file is free for the player
    Send_UIMessage(MSG_START_PLAY, {path});
    return PREVIEW_BUILT;
}

TPreviewOutcome Try_Play(TScanSession& session, const std::string& path, int64_t resultIndex) {
    TPreviewRequest req;
    req.Sample = TInUseMark(path);
    req.SourcePath = session.SourcePath();
    Copy_Result(session, req, resultIndex);
    req.Output = Default_PreviewOutput(req.SourcePath);
    return Try_Play(std::move(req));
}

} // namespace qrv

// Records that carry the work of a scan and of reassembly: what the scan found
// (TScanResult), movie-box summaries (TAtom, TMoovCon, TAtoms, TmoovExt,
// Tmoovalule), the video sample tables (TVideo...), rebuilt recordings
// (TRebuildResult with its TFragmenArr entries) and frame anchors, and the
// list type a scan session keeps them in.
//
// Offsets on a source are signed 64-bit byte offsets; file offsets (positions
// inside the recording being rebuilt) are 64-bit as well.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qrv {

// ---- movie-box walk (Get_MoovInfo) ----

struct TAtom {
    int64_t AtomOff = 0; // offset of a trak box header
    int64_t AtomLen = 0; // its size field
};

struct TMoovCon {
    bool MoovGood = false;     // the walk reached the stop box (udta)
    uint32_t MoovFree_Len = 0; // size field of the stop box
    int64_t MoovFree_Soff = 0; // offset of the stop box
    int64_t MoovOff = 0;
    int64_t MoovLen = 0;
    int32_t trakcnt = 0;
    std::vector<TAtom> track;
    std::string CreateTime; // "yyyy-MM-dd hh:mm:ss"
    std::string Durting;    // seconds, "#.####" or "0"
    std::string CamerModel;
};

// ---- track tables (Get_MoovTracks) ----

enum TTrackType : uint8_t { TRACK_VIDEO = 0, TRACK_SOUND = 1, TRACK_OTHER = 2 };

// How a track's video samples are coded. The camera type (recovery type 0)
// always reads as NAL_CAMERA: H.264 whose slices carry the NAL header bytes
// the cameras write (65 for IDR, 41 or 01 otherwise). The generic type reads
// the sample entry: H.264 (avc1/avc3) with any reference priority, or H.265
// (hvc1/hev1).
enum TNalCodec : uint8_t { NAL_CAMERA = 0, NAL_H264 = 1, NAL_H265 = 2 };

struct TNalFormat {
    uint8_t Codec = NAL_CAMERA;
    uint8_t LengthSize = 4; // bytes of each NAL unit's length prefix (1, 2 or 4)
};

struct TAtoms {
    int32_t TrackID = 0;
    int64_t TrackOff = 0;
    int64_t TrackLen = 0;
    uint8_t TrackType = TRACK_OTHER;
    int64_t AtomStscOff = 0, AtomStscLen = 0;
    int32_t AtomStscNum = 0;
    int64_t AtomStszOff = 0, AtomStszLen = 0;
    int32_t AtomStszNum = 0;
    int64_t AtomSTSSOff = 0, AtomSTSSLen = 0;
    int32_t AtomStssNum = 0;
    bool AtomCo64 = false;
    int64_t AtomStcoOff = 0, AtomStcoLen = 0;
    int32_t AtomStcoNum = 0;
    TNalFormat Format; // read from the sample entry by the generic type only
};

struct TmoovExt {
    bool MoovGood = false;
    int64_t MoovOff = 0, MoovLen = 0;
    int32_t VmhdCnt = 0;
    int32_t Smhdcnt = 0;
    int32_t Trackcnt = 0;
    int64_t MdatLen = 0; // media end: largest file offset at which a track's last chunk ends
    std::vector<TAtoms> Atom;
};

struct Tmoovalule {
    int32_t VmhdCnt = 0;
    int32_t Smhdcnt = 0;
    int32_t TrackCnt = 0;
    std::vector<TAtoms> Track;
};

// ---- scan result ----

enum TFragmentKind : uint8_t {
    KIND_HEAD_MOOV = 0, // ftyp head whose walk reached the movie box
    KIND_HEAD_MDAT = 1, // ftyp head whose walk reached mdat first
    KIND_MOOV = 3,      // movie box found on its own
};

struct TScanResult {
    uint8_t CamerType = 0;
    uint8_t Fragmentype = 0;
    int64_t FragmentOff = 0;
    uint8_t FrammentFlag = 0;
    bool Head_Flag = false;
    int32_t MdatOFF = 0;
    int64_t MdatLen = 0;
    int64_t True_MdatLen = 0;
    int64_t MoovOff = 0;
    int64_t MoovLen = 0;
    int64_t MoovFreeSoff = 0;
    int32_t MoovFreeLen = 0;
    int32_t Next_AtomOff = 0;
    Tmoovalule moov;
    std::string CreateTime;
    std::string Durting;
    std::string CamerModel;
};

// ---- video sample tables (Get_MOOV_VideoAndSound) ----

struct TSTSZ {
    uint8_t STSZ_Type = 0;
    int64_t STSZ_Soff = 0; // sound sample's file offset
    uint32_t STSZ_Slen = 0;
};

struct TVideoSTSZ {
    int64_t STSZoff = 0;  // file offset of the sample
    uint32_t STSZlen = 0; // size from the sample size table
    bool STSSFlag = false;
    int32_t SoundSTSZ_Num = 0;
    std::vector<TSTSZ> SoundSTSZ_Arr; // sound samples between this video sample and the next
};

struct TVideoSTCO {
    int32_t STCOType = 0;
    int64_t STCOoff = 0; // chunk's file offset
    int64_t STCOLen = 0;
    int32_t STSZNum = 0; // samples in the chunk
    std::vector<TVideoSTSZ> STSZArr;
    int32_t Log_SNum = 0; // 1-based number of the chunk's first sample
    int32_t Log_Enum = 0;
};

struct TVideo {
    bool Ext_Flag = false;
    TNalFormat Format; // the video track's coding
    bool STSC_SubFlag = false;
    int32_t STCONum = 0;
    std::vector<TVideoSTCO> STCOArr;
    std::vector<uint32_t> STSSARR;
};

// ---- rebuild result ----

struct TChunkValue {
    int32_t ChunkType = 0;
    int64_t ChunkOff = 0;
    int32_t ChunkSuoShu = 0;
    uint32_t ChunkDword = 0;
};

struct TLastFragmen {
    std::optional<int64_t> FragmentLastErySoff; // copy start, when one was set
    int64_t FragmentLastSoff = 0;
    int64_t FragmentLastEoff = 0;
    int64_t FragmenSoff = 0;
    int64_t FragmenEoff = 0;
    int64_t FragmentUpFreeSpace = 0;
    int64_t FragmentDownFreeSpace = 0;
};

enum TEntryType : uint8_t {
    ENTRY_FILE_HEAD = 0, // separate file head (ftyp and the start of mdat)
    ENTRY_MOVIE = 1,     // movie header entry (entry 0 of every result)
    ENTRY_DATA = 2,      // media data fragment found by frame features
    ENTRY_PENDING = 255, // being grown, or rejected
};

struct TFragmenArr {
    bool Result_Good = false;
    bool ChongHeFlag = false; // overlaps an earlier fragment: not rated, not written
    bool IS_Ok = false;
    uint8_t FragmenType = 0;
    uint8_t FragmeSnumType = 0;
    int32_t FragmeSnum = -1;
    int32_t FragmeEnum = -1;
    int32_t FragmeSLnum = -1;
    int32_t FragmeELnum = -1;
    std::optional<int64_t> FragmentLastErySoff; // copy start, when one was set (see Get_CopyStart)
    int64_t FragmentLastSoff = 0;
    int64_t FragmentLastEoff = 0;
    int64_t FragmenSoff = 0;
    int64_t FragmenEoff = 0;
    int32_t FragmenSoffVideoCnt = 0, FragmenSoffVideoSuoShuClu = 0;
    std::vector<TChunkValue> FragmenSoffVideoArr;
    int32_t FragmenEoffVideoCnt = 0, FragmenEoffVideoSuoShuClu = 0;
    std::vector<TChunkValue> FragmenEoffVideoArr;
    int64_t FragmentFreeSpace = 0;
    int32_t LastFragmenum = 0;
    TLastFragmen LastFragmen;
    int32_t UpHeadNum = 0;
    int64_t UpHeadFreeSpace = 0;
    int32_t MdatOFF = 0;
    int64_t MdatLen = 0;
    // How the seam after this entry was decided (TSeamState: 0 fixed by the
    // tables, 1 verified by decoding, 2 a guess) and the file offset where its
    // undecided gap begins (-1: none). Kept in memory only, not in result files.
    uint8_t SeamState = 0;
    int64_t SeamFileOff = -1;
};

struct TRebuildResult {
    uint8_t CamerType = 0;
    std::string CreateTime;
    std::string Durting;
    std::string CarmerModel;
    int64_t LessByte = 0;
    uint8_t Leavelx = 0;
    int64_t MdatLenx = 0;
    uint8_t HeadFlag = 0;
    int64_t TrueFileLen = 0;
    int64_t HeadMdatLenx = 0;
    int32_t LastFragNumx = 0;
    int32_t Fragmenum = 0;
    std::vector<TFragmenArr> FragmenArray;
    bool SingleFram = false;
    int64_t MdatModSoff = 0;
    int32_t Video_FirLogSoff = 0;
    int64_t HeadLenx = 0;
    // Video samples of the tables that do not lie wholly in copied bytes
    // (counted by the analysis; kept in memory only, not in result files).
    int64_t SamplesMissing = 0;
};

struct TFrameAnchor {
    uint8_t AnchorUsed = 0;
    int64_t AnchorOff = 0; // offset of the 4-byte NAL length prefix
    uint8_t SliceByte = 0;
    int32_t AnchorSize = 0; // length prefix + 4
};

// ---- record lists (a scan session holds them, scan/scan_session.h) ----

// An ordered list of owned records with index access. Indexes handed out stay
// valid until the list is cleared. The lists are filled by one worker at a
// time; the mutex only protects the container itself (a window thread may
// read the count while a worker appends).
template <class T> class TRecordList {
  public:
    T& Get(int64_t i) {
        std::lock_guard<std::mutex> lk(mu_);
        return *items_.at(size_t(i));
    }
    // A copy of record i taken under the lock (nullopt when there is none), for
    // readers on another thread than the one that may clear the list.
    std::optional<T> Copy_At(int64_t i) const {
        std::lock_guard<std::mutex> lk(mu_);
        if (i < 0 || size_t(i) >= items_.size()) return std::nullopt;
        return *items_[size_t(i)];
    }
    // Appends and returns the record's index.
    int64_t Append(std::unique_ptr<T> rec) {
        std::lock_guard<std::mutex> lk(mu_);
        items_.push_back(std::move(rec));
        return int64_t(items_.size()) - 1;
    }
    int64_t Append(T rec) { return Append(std::make_unique<T>(std::move(rec))); }
    int64_t Count() const {
        std::lock_guard<std::mutex> lk(mu_);
        return int64_t(items_.size());
    }
    // Puts rec in place of record i, which is disposed.
    void Replace(int64_t i, std::unique_ptr<T> rec) {
        std::lock_guard<std::mutex> lk(mu_);
        items_.at(size_t(i)) = std::move(rec);
    }
    // Disposes every record for which drop is true; the others keep their
    // order (and take new indexes). Returns how many were disposed.
    template <class Pred> int64_t Drop_If(Pred drop) {
        std::lock_guard<std::mutex> lk(mu_);
        const auto kept =
            std::remove_if(items_.begin(), items_.end(), [&](const auto& r) { return drop(*r); });
        const int64_t n = int64_t(items_.end() - kept);
        items_.erase(kept, items_.end());
        return n;
    }
    // Disposes every record with everything it owns and empties the list.
    void Clear() {
        std::lock_guard<std::mutex> lk(mu_);
        items_.clear();
    }

  private:
    mutable std::mutex mu_;
    std::vector<std::unique_ptr<T>> items_;
};

} // namespace qrv

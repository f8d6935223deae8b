// Expert Witness (EnCase 6) evidence containers as acquisition targets,
// written through libewf. libewf creates the segment files (.E01, .E02 ...)
// itself, so the output guard is asked before it may: the folder, and every
// segment name the media can need, are checked first; the set is written into
// a fresh dot-folder beside the target (made through the guard) and each
// finished segment is checked again and moved to its name without replacing
// anything. A run that is killed or stopped leaves no segment under a final
// name that could be taken for a finished container.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/output_guard.h"

namespace qrv {

enum class TEwfCompression { None, Fast, Best };

struct TEwfSettings {
    int64_t SegmentBytes = 0; // 0: libewf's default
    TEwfCompression Compression = TEwfCompression::None;
    // Case data stored in the container's header.
    std::string CaseNumber, EvidenceNumber, Examiner, Description, Notes;
};

// "none", "fast", "best" -> the compression; false for anything else.
bool Parse_EwfCompression(const std::string& text, TEwfCompression& out);

// The segment file name number n (1-based) of the set whose first segment is
// first ("X.E01"): X.E01 ... X.E99, X.EAA ... X.EZZ, X.FAA ...; "" past ZZZ.
std::string Ewf_SegmentName(const std::string& first, int n);

class TEwfWriter {
  public:
    // Opens a new segment set whose first segment is target (ending in .E01)
    // for media of mediaBytes bytes in sectors of sectorBytes. nullptr with
    // the reason in *error; a refusal by the guard also in *refusal.
    static std::unique_ptr<TEwfWriter> Create(const std::string& target, int64_t mediaBytes, int64_t sectorBytes,
                                              const TEwfSettings& settings, const TOutputGuard& guard,
                                              std::string* error, TGuardVerdict* refusal = nullptr);
    // Unfinished: the staged segments and their folder are removed.
    ~TEwfWriter();
    TEwfWriter(const TEwfWriter&) = delete;
    TEwfWriter& operator=(const TEwfWriter&) = delete;

    // Appends the next len bytes of the media (the media is written in order).
    bool Write(const void* buf, size_t len);
    // Records sectors the medium could not deliver (they are zeros in the container).
    void Add_AcquiryError(int64_t firstSector, int64_t sectors);
    // Stores the digests (lower-case hex), finishes the set and moves every
    // segment to its final name beside target. False, with the reason in
    // *error, when anything fails (nothing is then left under a final name
    // that was not there before, except segments already moved).
    bool Finish(const std::string& md5, const std::string& sha1, std::string* error);
    // The segment files of the finished set.
    const std::vector<std::string>& Segments() const { return segments_; }
    int64_t Written() const { return written_; }

  private:
    explicit TEwfWriter(const TOutputGuard& guard);
    void Discard();
    struct THandle;
    std::unique_ptr<THandle> h_;
    TOutputGuard guard_;
    std::string target_, stage_;
    std::vector<std::string> segments_;
    int64_t written_ = 0;
};

} // namespace qrv

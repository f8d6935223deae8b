// Expert Witness (EnCase) evidence containers as sources: a segment set
// (.E01, .E02, ... or .Ex01, .Ex02, ...) read through libewf, read-only. The
// source's bytes are the acquired media, its size the container's media size,
// so every reader works on a container as on a raw image.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/source_io.h"

namespace qrv {

// What the container says about the acquired media.
struct TEwfInfo {
    int64_t MediaSize = 0;
    uint32_t BytesPerSector = 0;
    int Segments = 0;       // segment files found for the set
    std::string StoredMd5;  // lower-case hex, empty when the container holds none
    std::string StoredSha1; // lower-case hex, empty when the container holds none
};

// True when the first bytes of a file are an EWF segment file signature
// (EWF1 "EVF\t\r\n\xff\0" or EWF2 "EVF2\r\n\x81\0").
bool Is_EwfSignature(const uint8_t* head, size_t len);

// True when the file at path starts with an EWF segment signature.
bool Is_EwfFile(const std::string& path);

// Opens the segment set whose first segment is path, read-only. nullptr with
// the reason in *error (when given) for a missing, truncated or corrupt set.
TSourcePtr Open_EwfSource(const std::string& path, std::string* error = nullptr);

// The segment files of the set whose first segment is path (libewf's naming
// rules); empty when path is not an EWF segment file.
std::vector<std::string> Ewf_SegmentFiles(const std::string& path);

// True when name (a file name, no folder) is one the segment set whose first
// segment is named first could grow into: the same base name and an
// extension of the set's scheme, in the set's letter case, as libewf names
// further segments, within the set's first letter: an .E01 set goes on .E02
// ... .E99, .EAA ... .EZZ (libewf would go on with .FAA, but no card is
// acquired in 775 segments, and card.QRV is an examiner's own file); an .Ex01
// set .Ex02 ... .Ex99, .ExAA ... .ExZZ; .e01, .L01, .s01 and .Lx01 sets
// alike. False when first is not named as a first segment.
bool Ewf_IsSegmentName(const std::string& first, const std::string& name);

// The container facts of a source opened by Open_EwfSource; nullptr for any
// other source.
const TEwfInfo* Ewf_Info(const TSource& src);

// The libewf version text.
std::string Ewf_Version();

// Reads the whole media of an EWF source and compares its MD5 and SHA-1 with
// the ones stored in the container.
struct TVerifyResult {
    bool ReadOk = false;   // every byte of the media could be read
    std::string Error;     // why the media could not be read (empty when ReadOk)
    std::string Md5, Sha1; // computed, lower-case hex
    std::string StoredMd5, StoredSha1;
    bool Md5Match = false, Sha1Match = false;
    // Read completely, at least one stored hash, and every stored hash matches.
    bool Ok() const {
        return ReadOk && (!StoredMd5.empty() || !StoredSha1.empty()) && (StoredMd5.empty() || Md5Match) &&
               (StoredSha1.empty() || Sha1Match);
    }
};
// progress(done, total) is called after each block; returning false cancels.
TVerifyResult Verify_Ewf(TSource& src, const std::function<bool(int64_t, int64_t)>& progress = {});

} // namespace qrv

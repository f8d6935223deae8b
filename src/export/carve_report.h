// The carve report of an export: report.xml in DFXML (where every byte of
// every written file came from, its SHA-256, and the recording's level, camera
// model, shooting date and duration) and SHA256SUMS in the format
// `sha256sum -c` reads, both next to the exported files. Digests are computed
// while the files are written, from the bytes handed to the output file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/outcome.h"
#include "platform/output_file.h"
#include "platform/output_guard.h"

namespace qrv {

// One contiguous stretch of an exported file.
struct TReportRun {
    int64_t FileOffset = 0;
    int64_t Length = 0;
    int64_t ImgOffset = -1; // source offset for RUN_SOURCE and RUN_UNREAD runs, -1 otherwise
    int Kind = TWriteTap::RUN_SOURCE;
};

// A seam of a rebuilt file whose split between two pieces had to be decided.
struct TReportSeam {
    int64_t FileOffset = 0; // where the gap between the pieces begins in the file
    bool Verified = false;  // decided by the tables or by decoding; false: a guess
    std::string By;         // "tables", "decoding" or "guess"
};

struct TReportFile {
    std::string Path; // full path as written
    std::string Name; // path relative to the report's folder
    int64_t Size = 0;
    std::string Sha256; // lower-case hex
    std::vector<TReportRun> Runs;
    bool Complete = true; // false: the export was stopped inside this file, or bytes of it could not be read
    // The recording as the results list shows it; the duration in seconds.
    std::string Level, Model, Date, Duration;
    int64_t ResultIndex = -1;
    std::string Number; // the row's number in the results list
    std::vector<TReportSeam> Seams;
    // The decode check of the written file (every video sample, with its
    // references): samples that failed, -1 when the check did not run; the
    // first failing sample's file offset and time in the recording.
    int64_t DecodeErrors = -1;
    int64_t FirstErrorOffset = -1;
    double FirstErrorSeconds = -1;
};

struct TCarveReport {
    std::string Folder;     // where report.xml and SHA256SUMS go
    std::string SourcePath; // the image file or device the bytes were read from
    int64_t SourceSize = 0;
    int32_t SectorSize = 512;
    std::string StoredMd5, StoredSha1; // the container's own hashes, when it has them
    std::string StartTime, EndTime;    // ISO 8601, UTC
    std::vector<TReportFile> Files;
};

// Hashes every byte written to one output file (SHA-256 through OpenSSL's EVP
// interface) and collects the runs its writer declares, merging neighbours.
class TFileRecorder final : public TWriteTap {
  public:
    TFileRecorder();
    ~TFileRecorder() override;
    TFileRecorder(const TFileRecorder&) = delete;
    TFileRecorder& operator=(const TFileRecorder&) = delete;
    void On_Write(const void* buf, size_t len, int64_t off) override;
    void On_Run(int64_t fileOff, int64_t len, int64_t srcOff, int kind) override;
    // Fills Size, Sha256 and Runs. False when the writes were not one
    // sequential stream (the digest would not be the file's) or hashing failed.
    bool Finish(TReportFile& into);

  private:
    struct TCtx;
    std::unique_ptr<TCtx> ctx_;
    int64_t hashed_ = 0;
    bool ok_ = true;
    std::vector<TReportRun> runs_;
};

// Bytes of the file that are zeros in place of source bytes that could not be read.
int64_t Unread_Bytes(const TReportFile& file);

// Text made safe for XML character data and attribute values: markup
// characters escaped, bytes that are not valid UTF-8 and characters XML 1.0
// cannot carry replaced by U+FFFD.
std::string Xml_Text(const std::string& text);

// The report as DFXML.
std::string Carve_ReportXml(const TCarveReport& report);
// The SHA256SUMS text: one "<hash>  <name>" line per file (names holding a
// backslash or a line break are escaped the way sha256sum -c expects).
std::string Sha256Sums_Text(const TCarveReport& report);

inline constexpr const char* kReportXmlName = "report.xml";
inline constexpr const char* kSha256SumsName = "SHA256SUMS";

// The SHA256SUMS text of a folder after one more export: the lines of
// existing kept (less any for a name report lists again), report's added.
std::string Merged_Sha256Sums(const std::string& existing, const TCarveReport& report);

// Writes this run's report into report.Folder through the guard, under
// report.xml or, when an earlier run took that name, the next free one
// (report-2.xml, report-3.xml ...), and adds the run's files to the folder's
// SHA256SUMS, which is replaced as a whole (the one output that is replaced).
// Ok with the path of the report written in *written; Refused when the guard
// refused a file, Io_Error when one could not be created, read or written,
// with the reason and the path in Why.
TOutcome Write_CarveReport(const TCarveReport& report, const TOutputGuard& guard,
                           std::string* written = nullptr);

// The report of the last export of this process (kept so it can be written again).
void Set_LastCarveReport(const TCarveReport& report);
std::optional<TCarveReport> Last_CarveReport();

} // namespace qrv

// Export: writes every checked row of the results list as an .mp4 file,
// rebuilt piece by piece from the source (read-only, by the current source
// path), into "QRV_凯墨视频恢复文件夹/QRV_File_<n>/" under the chosen folder,
// at most 2,000 files per subfolder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/outcome.h"
#include "export/carve_report.h"
#include "platform/output_file.h"
#include "platform/output_guard.h"
#include "platform/source_io.h"
#include "results/results_model.h"

namespace qrv {

// Files per subfolder.
inline constexpr int64_t kFilesPerFolder = 2000;

// Writes one part of a result's output layout into an open output file in
// place of the layout's own pieces (a test's stand-in for the disk): the
// synthesized head (head = true, entry = -1) or entry `entry` of result
// `result`. Returns false when the part could not be written (or was not
// started because of a stop).
using TPieceWriter =
    std::function<bool(int64_t result, int64_t entry, TSource& source, bool head, TOutputFile& out)>;

// The recovery folder name in the interface language (the default text when
// the lookup gives nothing).
std::string Recovery_FolderName();

// The text with the eleven characters / \ ? < > " | * : space - removed.
std::string Clean_NameText(const std::string& text);

// "FILE-" + cleaned date + "-" + row number (+ "-" + cleaned model) + ".mp4".
std::string Export_FileName(const std::string& date, const std::string& caption, const std::string& model);

// The checks made before an export starts. Ok when the export may start, else
// Refused with the message to show in Why: no folder "请指定保存路径!", no checked
// row "请选择要保存文件!", free bytes (-1: unknown, treated as enough) below the
// sum of MdatLenx of the checked rows "目标盘可用空间不够,无法保存!", and the
// output guard's refusal of the folder for the source (the source itself, a
// block device, the disk that holds a device source, a disk that cannot be
// determined).
TOutcome Check_SaveTarget(TScanSession& session, const TResultsModel& model, const std::string& folder,
                          const std::string& sourcePath, int64_t freeBytes, const TGuardOptions& output = {});
// Same, asking the platform for the folder's free bytes.
TOutcome Check_SaveTarget(TScanSession& session, const TResultsModel& model, const std::string& folder,
                          const std::string& sourcePath, const TGuardOptions& output = {});

struct TSaveSummary {
    bool Started = false;           // the source was opened and the rows were walked
    int64_t Saved = 0;              // files written completely
    int64_t Failed = 0;             // files that could not be created or written
    bool Stopped = false;           // the stop flag ended the export
    int64_t WithUnread = 0;         // files holding zeros in place of bytes that could not be read
    int64_t WithDecodeErrors = 0;   // files whose video does not decode cleanly
    std::vector<std::string> Files; // paths of the files written completely
    // The carve report of the files written (report.xml and SHA256SUMS in the
    // recovery folder); ReportPath is empty when none was written, with the
    // reason in ReportError when writing it failed.
    TCarveReport Report;
    std::string ReportPath, ReportError;
    bool Ok() const { return Started && Failed == 0 && !Stopped && ReportError.empty(); }
};

// The worker. Writes the checked rows (indexes into session.Rebuilds) in list
// order from the session's source path, unchecks each row written, and reports through the message channel.
// The caller clears the stop flag before it starts the worker; the flag is read
// before each row and by the piece writer before each block. A file that cannot
// be created or fully written is logged with its path, removed, not counted and
// its row stays checked. Each file is written from its output layout
// (Output_Layout), part by part through the piece writer when one is given. The folder
// (with missing parents), its subfolders and files are opened through an output
// guard for the current source path; what it refuses is logged with the reason.
TSaveSummary Save_ToFile_One(TScanSession& session, TResultsModel& model, const std::string& folder,
                             const TPieceWriter& writer = {}, const TGuardOptions& output = {});

} // namespace qrv

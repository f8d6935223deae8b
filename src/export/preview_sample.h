// Preview samples: a short playable file built from one rebuilt recording so
// that the user can judge a result before exporting it. The sample holds the
// recording's head (its own, or a synthesized one), at most 4 MiB of its media
// data and, for recordings whose movie header comes last, the movie header.
//
// Samples live in the temporary folder under three fixed names used in
// rotation, so that a new sample never overwrites the file the player still
// holds. Linux has no "open without sharing" test, so the program keeps its
// own registry of sample files in use: the player marks the file it holds, and
// a sample being written is marked by the name choice until it is finished.
//
// A row click runs: stop the player; Start_Preview (window thread: name
// choice, copies of the result and the source path); Try_Play on a worker
// thread of its own. The handler of message 9 plays Preview_Path(). The
// builder reads neither the stop flag nor the progress counters, so it can
// run beside a long operation.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/output_file.h"
#include "platform/source_io.h"
#include "scan/records.h"
#include "scan/scan_session.h"

namespace qrv {

// Bytes of media data a sample holds (always written in full, zero-filled
// after the media found).
inline constexpr int64_t kPreviewWindow = 4 * 1024 * 1024;

// The head written in front of the media of a recording whose head was lost:
// an ftyp box of 20 bytes ("qt  ") and the header of an mdat box whose 32-bit
// size occupies bytes 20 to 23.
extern const uint8_t kPreviewHead[28];

// The sample names, in the order they are tried.
inline constexpr const char* kPreviewNames[3] = {"JN0A0928", "JN0B0928", "JN0C0928"};

// Paths of sample files in use (held by the player, or being written). A path
// may be marked more than once; it is in use until every mark is released.
class TInUseFiles {
  public:
    void Mark(const std::string& path);
    void Release(const std::string& path);
    bool In_Use(const std::string& path) const;
    // Under one lock: calls drop(path) for every candidate not in use, then
    // marks and returns the first candidate not in use ("" when all are).
    std::string Reserve_First(const std::vector<std::string>& candidates,
                              const std::function<void(const std::string&)>& drop);

  private:
    mutable std::mutex mu_;
    std::map<std::string, int> marks_;
};

// The process-wide registry of sample files.
TInUseFiles& Preview_InUse();

// One mark in the registry, released when the object goes away.
class TInUseMark {
  public:
    TInUseMark() = default;
    // Marks path (nothing for an empty path).
    explicit TInUseMark(std::string path);
    // Takes over a mark that was already made (by Reserve_First).
    static TInUseMark Adopt(std::string path);
    ~TInUseMark() { Release(); }
    TInUseMark(TInUseMark&& o) noexcept : path_(std::move(o.path_)) { o.path_.clear(); }
    TInUseMark& operator=(TInUseMark&& o) noexcept;
    TInUseMark(const TInUseMark&) = delete;
    TInUseMark& operator=(const TInUseMark&) = delete;
    void Release();
    const std::string& Path() const { return path_; }
    bool Empty() const { return path_.empty(); }

  private:
    std::string path_;
};

// The user's temporary folder (TMPDIR, else /tmp), without a trailing slash.
std::string Preview_TempFolder();

// The path of the last sample built ("" until one was built).
std::string Preview_Path();
void Set_PreviewPath(const std::string& path);

// What the sample builder may write. The program's output guard is wired in
// here: Allowed says whether a file may be created or deleted at a path,
// Create opens a sample file for writing (nullptr when refused or failed).
struct TPreviewOutput {
    std::function<bool(const std::string& path)> Allowed;
    std::function<std::unique_ptr<TOutputFile>(const std::string& path)> Create;
};

// The default: refuses any path on the disk that holds the source (a block
// device source); otherwise creates the file with TOutputFile.
TPreviewOutput Default_PreviewOutput(const std::string& sourcePath);

// The name choice of a row click: deletes every sample file not in use (where
// output allows it), then reserves the first name not in use. The mark stays
// with the sample until it is written. Empty when all three names are in use
// (two samples are still being written and the player holds the third).
TInUseMark Choose_PreviewPath(const std::string& folder, const TPreviewOutput& output);

// Everything a sample is built from, copied when the preview starts: a load of
// a result file may clear the result list while the sample is being built.
struct TPreviewRequest {
    TInUseMark Sample; // the reserved sample path
    bool HaveResult = false;
    TRebuildResult Result;
    std::string SourcePath;
    TPreviewOutput Output;
};

// The core part of a row click (on the window thread): the name choice and a
// copy of result resultIndex and of the current source path. The output
// defaults to Default_PreviewOutput of the source path.
TPreviewRequest Start_Preview(TScanSession& session, int64_t resultIndex,
                              const std::string& folder = Preview_TempFolder(), TPreviewOutput output = {});

enum TPreviewOutcome : int {
    PREVIEW_BUILT = 0,      // sample written, preview path set, message 9 sent
    PREVIEW_NOT_FROM_START, // Play0002: the media does not start with the first chunk
    PREVIEW_NO_MEDIA,       // Play0001: nothing usable (also: unusable record values)
    PREVIEW_NO_SOURCE,      // Play0000: no source path, or it cannot be opened
    PREVIEW_HEAD_TOO_SHORT, // synthesized head shorter than its template: abandoned silently
    PREVIEW_WRITE_FAILED,   // Play0003: the sample could not be created or written
    PREVIEW_NO_NAME,        // Play0003: every sample name is in use
};

// Writes the sample of r into out from src. Does not log and does not close
// out. The outcome tells what stopped it; PREVIEW_BUILT when every byte was
// written.
TPreviewOutcome Build_PreviewSample(const TRebuildResult& r, TSource& src, TOutputFile& out);

// The sample checks that need no source: Play0002, then Play0001.
TPreviewOutcome Check_PreviewUsable(const TRebuildResult& r);

// The worker: builds the sample of the request, logs failures through the
// message channel, removes a sample that could not be completed, and on
// success sets the preview path and sends message 9 with the path.
TPreviewOutcome Try_Play(TPreviewRequest req);

// The same for a path and a result index: copies the result and the current
// source path at its start and marks the path while it writes.
TPreviewOutcome Try_Play(TScanSession& session, const std::string& path, int64_t resultIndex);

} // namespace qrv

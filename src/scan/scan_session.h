// One scan session: everything one scan, or one loaded result file, owns: the
// source path, the scan's settings, the scan's records, the frame anchors of
// the last analysed header, the rebuilt recordings, the frame-feature index
// the scan built for its analysis, the stretches of the medium it could not
// read, and the state of the operation running on it (scan, load, save,
// export, preview sample). A session is made by its front
// end (the window keeps the one it shows, and runs a new scan in a new one;
// each qrv-cli command makes its own) and handed by reference to every step
// that reads or fills it; nothing of a scan is kept anywhere else.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "common/op_state.h"
#include "platform/source_io.h"
#include "scan/feature_index.h"
#include "scan/records.h"
#include "scan/scan_settings.h"
#include "scan/unread_map.h"

namespace qrv {

class TScanSession {
  public:
    TScanSession() = default;
    TScanSession(const TScanSession&) = delete;
    TScanSession& operator=(const TScanSession&) = delete;

    TRecordList<TScanResult> Scans;       // what the block classifier found, in medium order
    TRecordList<TRebuildResult> Rebuilds; // the rebuilt recordings (a loaded result file's records)
    TRecordList<TFrameAnchor> Anchors;    // frame anchors of the header analysed last
    TUnreadMap Unread;                    // stretches of the medium the scan could not read
    TOpState Op;                          // the operation running on the session

    // The settings of the scan that filled the session (set when it starts).
    void Set_Settings(const TScanSettings& settings);
    TScanSettings Settings() const;

    // The medium the records belong to: the path the scan opened, or the
    // source a result file was loaded for ("" when none). Export, preview and
    // the output guard of every file written for the session read it.
    void Set_SourcePath(std::string path);
    std::string SourcePath() const;

    // The frame-feature index of the scan whose completion stage is running,
    // for the source handle that scan opened: the analysis asks with the
    // handle it was given, so another source never gets it. Withdrawn (and its
    // temporary file removed) when the completion stage ends.
    void Set_FeatureIndex(const TSource* source, std::shared_ptr<const TFeatureIndex> index);
    std::shared_ptr<const TFeatureIndex> Feature_Index(const TSource& source) const;

    // Empties the lists and the unread map (the start of a scan).
    void Clear_Records();

  private:
    mutable std::mutex mu_;
    TScanSettings settings_;
    std::string sourcePath_;
    mutable std::mutex featureMu_;
    const TSource* featureSource_ = nullptr;
    std::shared_ptr<const TFeatureIndex> features_;
};

} // namespace qrv

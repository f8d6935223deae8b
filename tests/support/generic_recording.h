// Recordings of other makers' kind, as the generic recovery type meets them:
// MP4 and QuickTime files written by the ffmpeg program itself (its mov/mp4
// muxer, libx264 or libx265 video, AAC sound), not by the camera-format
// writer of recording_writer.h. Made at test time in a scratch folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qrv::test {

struct TGenericPlan {
    std::string Name;           // file name in the folder ("intra.mp4")
    std::string Video = "h264"; // "h264" (libx264) or "h265" (libx265, tagged hvc1)
    double Seconds = 2.0;
    int Gop = 25;                                      // -g
    int BFrames = 0;                                   // -bf (h264 only)
    bool Sound = true;                                 // an AAC track
    bool SecondVideo = false;                          // a second video track (-map 0 -map 1 ...)
    bool QuickTime = false;                            // -f mov ("qt  " brand)
    bool FastStart = false;                            // movie box ahead of the media data
    std::string Make, Model;                           // QuickTime user-data strings, when not empty
    std::string CreationTime = "2024-03-01T09:05:07Z"; // mvhd creation time (UTC)
    // As other makers write it: mvhd rewritten as version 1 (64-bit times) and
    // the movie box's children reordered so that udta comes first. Only for
    // a movie box at the end (no chunk offset moves).
    bool OtherMaker = false;
};

// Runs ffmpeg for plan into folder and returns the file's bytes. Throws
// std::runtime_error when ffmpeg is missing or fails.
std::vector<uint8_t> Make_GenericRecording(const std::string& folder, const TGenericPlan& plan);

} // namespace qrv::test

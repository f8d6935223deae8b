// Recovery-quality scenarios: camera recordings laid on media the way an
// examiner meets them (raw media, FAT32, exFAT and NTFS volumes, an MBR disk),
// each scenario aimed at one way a rebuild can go wrong:
//   A  movie box at the front of the file, the head anywhere on the medium
//   B  recordings cut at arbitrary cluster boundaries, frames larger than a
//      cluster (seams that span several clusters)
//   C  first frames that open with SEI / SPS / PPS NAL units (a movie box at
//      the front, parameter sets ahead of every IDR frame, a head overwritten)
//   D  pieces of a recording outside the default search window
//   E  seams across several clusters: 4 KiB clusters, recordings in 10 to 16
//      pieces cut inside large frames, clusters of another recording's frames
//      (live or deleted) on either side of every seam, a piece that holds no
//      sample start, a recording past 4 GiB, and the boundaries no other
//      scenario reaches (see Seam_Table)
// Every placement is recorded byte for byte (which file bytes lie where on the
// image), so the outcome of a whole scan can be judged against the originals:
// byte equality, recovered samples, zero fill only where bytes are gone, and a
// clean decode.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/disk_image.h"
#include "support/recording_writer.h"

namespace qrv::test {

enum class TMedium { Raw, Fat32, Exfat, Ntfs, MbrDisk, RawPast4G };
enum class TFaultClass { A, B, C, D, Mixed, E };

const char* Medium_Name(TMedium m);
const char* Class_Name(TFaultClass c);
// A scenario's name, e.g. "B/NTFS 4K"; class E names its media with their
// 4 KiB clusters ("E/FAT32 4K").
std::string Scenario_Name(TFaultClass c, TMedium m);

// A stretch of the recording that lies on the image.
struct TExtent {
    int64_t FileOff = 0;
    int64_t DiskOff = 0;
    int64_t Length = 0;
};

struct TPlacedRecording {
    std::string Name;
    TRecording Rec;
    std::vector<TExtent> Extents; // file bytes in no extent are not on the medium
    int64_t HeaderDisk = -1;      // where its rebuild result's movie header entry starts
    bool OutsideWindow = false;   // a piece lies outside the default window of its header

    // Disk offset of a file byte, -1 when that byte is not on the medium.
    int64_t Disk_Of(int64_t fileOff) const;
    // Every byte of the file is on the medium.
    bool Whole() const;
};

struct TQualityScenario {
    std::string Name; // e.g. "B/NTFS 4K"
    TFaultClass Class = TFaultClass::A;
    TMedium Medium = TMedium::Raw;
    TDiskImage Img;
    TTreeData Node; // what the scan is given
    int64_t StartSec = 0, EndSec = 0;
    std::vector<TPlacedRecording> Recs;
};

// Builds the image of one scenario under folder dir. Throws std::runtime_error
// when a tool fails; returns false with *skip set when a tool is missing.
bool Build_QualityScenario(TFaultClass cls, TMedium medium, const std::string& dir, TQualityScenario& out,
                           std::string* skip);

// Every scenario of the quality table: classes A to D on each medium, and the
// MBR disk with one recording of each class.
std::vector<std::pair<TFaultClass, TMedium>> Quality_Table();

// The seam scenarios (class E), kept apart from the quality table: 4 KiB
// clusters on raw media, FAT32, exFAT and NTFS volumes, and a raw medium whose
// recordings lie past 4 GiB (a sparse image scanned from the mark on). Every
// volume uses 4 KiB clusters whatever Medium_Name says of the quality table.
std::vector<std::pair<TFaultClass, TMedium>> Seam_Table();

// How one recording came back.
struct TRecordingOutcome {
    std::string Name;
    bool Found = false;       // a rebuild result exists for its movie header
    int Level = -1;           // its level, -1 when not found
    bool Whole = false;       // every byte of the original is on the medium
    bool Exact = false;       // the rebuilt file equals the original
    bool PresentKept = false; // same length, and every byte that is on the medium is in place
    bool GoneZero =
        false; // every byte that is not on the medium is zero (past a synthesized head's 48 bytes)
    int64_t SamplesOk = 0; // video samples whose bytes are all in place
    int64_t SamplesTotal = 0;
    int64_t FirstWrong = -1;  // first file offset on the medium whose byte is not in place
    std::string DecodeErrors; // ffmpeg's complaints (checked for whole recordings only)
    bool Widened = false;     // the log says the wider pass was used for its header
    // Rated level 0 (nothing missing, as far as the analysis knows), yet a byte
    // that is on the medium is out of place or the length differs: the worst
    // outcome, a file reported complete that does not decode.
    bool Level0Wrong = false;
    std::string Entries; // the rebuild result's entries and the placement, with TEvalOptions::Dump
};

struct TScenarioOutcome {
    std::vector<TRecordingOutcome> Recs;
    int Levels[4] = {0, 0, 0, 0};
    int Missing = 0;
    int64_t Exact = 0, SamplesOk = 0, SamplesTotal = 0;
    int Level0Wrong = 0;  // recordings with TRecordingOutcome::Level0Wrong
    int DecodeFailed = 0; // whole recordings whose rebuilt file ffmpeg complains about
    // Seams whose split had several candidates: decided by decoding, or left a guess.
    int SeamsVerified = 0, SeamsUnverified = 0;
    double Seconds = 0;   // scan and analysis
};

struct TEvalOptions {
    int Scheme = 0;
    int Interleave = 0;
    bool Widen = true;  // second pass for incomplete results
    bool Decode = true; // run ffmpeg over every whole recording's rebuilt file
    bool Dump = false;  // describe each result's entries in TRecordingOutcome::Entries
    bool Index = true;  // the scan collects the frame-feature index for the analysis
};

// Scans the scenario's image with the real pipeline, writes every recording's
// rebuild result into dir and judges it against the original.
TScenarioOutcome Evaluate_Scenario(const TQualityScenario& s, const std::string& dir,
                                   const TEvalOptions& opt);

} // namespace qrv::test

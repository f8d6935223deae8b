// Recordings as the body-worn cameras write them, made from real H.264 (libx264
// through the ffmpeg program) and AAC sound, with the writer's own ground truth.
//
// File layout:
//   "tail":  ftyp, free, mdat, moov        "front": ftyp, moov, free, mdat
// mdat holds 4-byte-length-prefixed H.264 samples, each one slice NAL unit
// (IDR 65 88 ..., P 41 9A ...), optionally preceded inside the same sample by
// the parameter sets and the encoder's SEI as cameras write them (see
// SeiFirst, ParamsFirst, ParamsEveryIdr), interleaved with AAC chunks: every video
// chunk (SamplesPerChunk video samples) is followed by the sound samples whose
// time falls before the next video chunk (the last chunk takes the rest).
// moov: mvhd (version 0, 108 bytes), the video trak (tkhd, mdia/mdhd/hdlr/minf
// with vmhd, stbl: stsd avc1/avcC, stts, stss, stsc, stsz, stco or co64), the
// sound trak (smhd, mp4a/esds, its own tables), and as last child a udta box
// holding the item A9 69 6E 66 whose payload, after 4 bytes, is the model text.
//
// The elementary streams are cached under <temp>/qrv-stream-cache (or the
// folder named by QRV_STREAM_CACHE) by their parameters, so the ffmpeg program runs once per distinct stream.
// The box writer is self-contained: it uses none of the project's parsers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qrv::test {

enum class TLayout { Tail, Front };

struct TRecordingPlan {
    uint32_t Seed = 1;    // varies the picture noise and the sound
    double Seconds = 1.0; // length of the streams
    int Fps = 25;
    int Width = 160, Height = 120; // multiples of 16 keep x264 simple
    int Gop = 25;                  // distance between IDR frames
    bool Sound = true;             // AAC track present
    int SoundRate = 16000;         // mono AAC-LC
    int SamplesPerChunk = 1;       // video samples per video chunk
    bool Co64 = false;             // 64-bit chunk offsets (both tracks)
    bool Stss = true;              // sync sample table in the video track
    bool LargeMdat = false;        // mdat with a 64-bit size (size field 1)
    TLayout Layout = TLayout::Tail;
    uint32_t FreeSize = 8;               // size of the free box (>= 8)
    uint32_t CreationTime = 3600000000u; // mvhd creation time, seconds since 1904
    std::string Model = "DSJ-T9";        // raw model bytes (may be GB18030)
    bool WithModel = true;               // false: udta without the model item
    uint32_t Timescale = 1000;           // mvhd time scale
    int64_t Duration = -1;               // mvhd duration; -1: the video length in Timescale units
    int Quality = 30;                    // x264 constant quantizer (lower: larger samples)
    // NAL units ahead of the slice inside a sample, each with its own 4-byte
    // length, in the order SPS, PPS, SEI, slice:
    bool SeiFirst = false;       // the encoder's SEI (x264's version text) in the first sample
    bool ParamsFirst = false;    // SPS and PPS in the first sample
    bool ParamsEveryIdr = false; // SPS and PPS in every sync sample
};

struct TSoundTruth {
    int64_t Offset = 0; // file offset of the AAC sample
    uint32_t Size = 0;
};

struct TVideoTruth {
    int64_t Offset = 0;             // file offset of the sample (its first 4-byte length prefix)
    uint32_t Size = 0;              // the whole sample: every length prefix and NAL unit
    uint32_t Lead = 0;              // bytes of the NAL units (with prefixes) ahead of the slice
    bool Sync = false;              // IDR slice
    int32_t Chunk = 0;              // 0-based video chunk index
    std::vector<TSoundTruth> Sound; // sound samples between this sample and the next video sample
};

struct TBoxTruth {
    int64_t Offset = 0;
    int64_t Size = 0;
};

struct TRecording {
    std::vector<uint8_t> Bytes; // the whole file

    std::vector<TVideoTruth> Video;
    std::vector<int64_t> VideoChunkOffsets;
    std::vector<int64_t> SoundChunkOffsets;
    std::vector<uint32_t> SoundChunkSamples; // sound samples per sound chunk
    std::vector<uint32_t> SoundSizes;        // every sound sample, in order

    int64_t FtypOff = 0;
    int64_t FreeOff = 0;
    int64_t MdatOff = 0;     // mdat box header
    int64_t MdatSize = 0;    // mdat box size (header included)
    int64_t MdatDataOff = 0; // first byte after the mdat header
    int64_t MoovOff = 0;
    int64_t MoovLen = 0;
    int64_t MvhdOff = 0;
    std::vector<TBoxTruth> Traks; // video first, then sound
    int64_t UdtaOff = 0;
    int64_t UdtaLen = 0;
    int64_t MediaEnd = 0; // largest end of any track's last chunk

    // Tables as written (for tests of the table readers).
    TBoxTruth VideoStsc, VideoStsz, VideoStco, VideoStss;
    TBoxTruth SoundStsc, SoundStsz, SoundStco;

    uint32_t Timescale = 0;
    uint32_t Duration = 0;
    uint32_t CreationTime = 0;
    std::vector<uint8_t> Sps, Pps; // as stored in avcC
};

// Makes a recording; throws std::runtime_error when ffmpeg is missing or fails.
TRecording Make_Recording(const TRecordingPlan& plan);

// Writes rec.Bytes to path.
void Save_Recording(const TRecording& rec, const std::string& path);

} // namespace qrv::test

// Decode checks of H.264 video through libavcodec (public API only).
//
//   Find_AvcConfig     the avcC payload (SPS/PPS) of the first video track of
//                      a movie box given as bytes; every box is walked against
//                      the budget its parent has left.
//   TSampleDecoder     judges ONE video sample as stored in mdat (length-
//                      prefixed NAL units), alone, without its reference
//                      frames: Clean only when the NAL units tile the sample
//                      exactly and the decoder decodes every macroblock of the
//                      picture from exactly the slice's bits - no error, no
//                      concealment, no bits left over at the end of the slice.
//                      Seam resolution asks it which candidate split of a gap
//                      gives straddling samples that decode cleanly.
//                      libavcodec tells neither how many macroblocks a slice
//                      covered nor where its bits ended, so two signals stand
//                      in: a slice that ends before the picture does leaves
//                      macroblocks to error concealment, which marks the
//                      picture (FF_DECODE_ERROR_CONCEALMENT_ACTIVE); a slice
//                      whose bits go on past the picture's last macroblock is
//                      an error under AV_EF_AGGRESSIVE. Both hold for CAVLC
//                      slices (the cameras' baseline streams, and the tests');
//                      for CABAC slices only the first is known to hold.
//   Decode_Check_File  decodes every video sample of a whole rebuilt file in
//                      order, with its references, and counts the samples that
//                      fail (H.264, or H.265 through the hevc decoder).
//
// H.265 samples are not judged alone: FFmpeg's hevc decoder decodes a slice
// whose second half is foreign bytes without an error or a concealment mark
// (its CABAC reads any bits), so it cannot vouch for a split. Find_AvcConfig
// finds no avcC in an H.265 track, no judge is made, and a seam of an H.265
// recording that the tables leave open stays unverified (never level 0).
//
// FFmpeg's own messages about these decoders are kept off the terminal: a
// process-wide log callback drops messages whose context belongs to this
// module (marked through the context's opaque pointer) and hands every other
// message to FFmpeg's default callback.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace qrv {

// The payload of the avcC box (the AVCDecoderConfigurationRecord) of the first
// video track of the movie box moov (its bytes from its own header on, or only
// its children); empty when there is none or the boxes on the way are malformed.
std::vector<uint8_t> Find_AvcConfig(std::span<const uint8_t> moov);

struct TSampleVerdict {
    bool Clean = false;
    std::string Reason; // why not clean, in short English; "clean" when clean
};

class TSampleDecoder {
  public:
    // avcC: the payload of the track's avcC box (its SPS/PPS and NAL length size).
    explicit TSampleDecoder(std::span<const uint8_t> avcC);
    ~TSampleDecoder();
    TSampleDecoder(const TSampleDecoder&) = delete;
    TSampleDecoder& operator=(const TSampleDecoder&) = delete;

    // False when the configuration cannot be parsed or no decoder opens with it.
    bool Ok() const;

    // Judges one sample, key frame or not, with the strictest error detection.
    // Not thread-safe per object: use one decoder per thread.
    TSampleVerdict Judge(std::span<const uint8_t> sample);

  private:
    struct TImpl;
    std::unique_ptr<TImpl> impl_;
};

struct TDecodeCheck {
    bool Opened = false;              // the file could be opened and has an H.264 or H.265 video stream
    int64_t Samples = 0;              // video samples sent to the decoder
    int64_t Errors = 0;               // samples with a decode error or concealment
    int64_t FirstErrorOffset = -1;    // file offset of the first failing sample, -1 when none
    double FirstErrorSeconds = -1.0;  // its presentation time, -1 when none
    std::string FirstErrorReason;     // short English reason of the first failure
};

// Decodes every video sample of the file at path (mov/mp4 demuxer) with its
// references and strict error detection. Only reads the file.
TDecodeCheck Decode_Check_File(const std::string& path);

} // namespace qrv

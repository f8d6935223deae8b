// The generic recovery type (type 1): MP4 and QuickTime movie boxes as any
// maker writes them, beside the camera family's fixed layout.
//
// The camera type recognises a movie box by one signature (a 108-byte mvhd
// right after the moov header) and stops its walk at the closing udta box.
// Other writers put mvhd version 1 (64-bit times), start the movie box with
// udta, meta or iods, leave udta out or put it anywhere, and code the video
// as H.264 or H.265. The readers here work on bytes already read from the
// medium and check every field against the buffer they were given: a
// malformed structure is "not found", never a read outside the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/op_state.h"
#include "platform/source_io.h"
#include "scan/records.h"

namespace qrv {

// True when the 12 bytes at p (p[0..3] == "moov") continue as a movie box
// header: the box type's next four bytes name a box a movie box may start
// with (mvhd, udta, meta, iods, trak, free, skip, wide, uuid, prfl).
// sizeKnown: the four size bytes before p are in the buffer (p[-4..-1]); the
// size must then be at least 16 and the size field not 1 (a 64-bit movie box
// size is not written by anyone).
bool Is_GenericMovieAt(const uint8_t* p, bool sizeKnown);

// First position i in [from, to) with Is_GenericMovieAt(buf + i, i >= 4);
// buf must be readable up to to + 11. Returns to when there is none.
int64_t Find_GenericMovie(const uint8_t* buf, int64_t from, int64_t to);

// Fields of a movie header box's payload (after its 8-byte header): version 0
// holds 32-bit creation time, modification time, time scale and duration;
// version 1 64-bit times, a 32-bit time scale and a 64-bit duration.
struct TMvhdFields {
    bool Ok = false;
    uint64_t Created = 0; // seconds since 1904-01-01 00:00:00 UTC
    uint32_t Scale = 0;
    uint64_t Duration = 0;
};
TMvhdFields Parse_Mvhd(std::span<const uint8_t> payload);

// Camera maker and model from a udta box's payload: the QuickTime user-data
// strings A9 "mak" and A9 "mod" (16-bit length, 16-bit language, text),
// joined by a blank, or else the camera family's A9 "inf" item. Empty when
// neither is there or the boxes are malformed.
std::string Udta_Model(std::span<const uint8_t> payload);

// Coding of a video sample entry read from a stsd box's payload (after its
// 8-byte header): avc1/avc3 with avcC give H.264, hvc1/hev1 with hvcC H.265,
// with the NAL length size of the configuration record. ok is false for any
// other entry or a malformed one.
TNalFormat Parse_SampleEntry(std::span<const uint8_t> stsdPayload, bool& ok);

// Walks the generic movie box at moovOff into out (the same fields the camera
// walk fills): trak boxes, creation time and duration from mvhd (v0 or v1),
// the camera model from udta. out.MoovGood when the children tile the box
// exactly, it ends before scanEnd, and it holds mvhd and a trak.
// The box has no closing box of its own: out.MoovFree_Soff is the box's end
// and out.MoovFree_Len 0, so a file head holding it ends where it ends.
void Get_MoovInfo_Generic(TSource& h, TMoovCon& out, int64_t scanEnd, int64_t moovOff,
                          int timeStandard = TIMESTD_UTC);

// The major brand of the ftyp box at ftypOff ("isom", "qt"), trailing blanks
// dropped; empty when there is no ftyp box there.
std::string Ftyp_Brand(TSource& h, int64_t ftypOff);

} // namespace qrv

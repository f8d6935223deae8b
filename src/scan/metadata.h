// Movie metadata: the box-level readers applied to every recording head the
// scan meets.
//
//   Get_HeadAtom   walks the top-level boxes of a file head from its ftyp box
//                  and tells whether the head continues with mdat or moov;
//   Get_MoovInfo   walks a moov box: trak boxes, date and duration from mvhd,
//                  camera model from the closing udta box (TMoovCon);
//   Get_CamerModel reads the camera model item of a udta box;
//   Get_LocalTime  converts recorder seconds to a local date-time value;
//   Check_DateRange tests a shooting-date text against the scan's date window.
//
// Date-time values (TDateTime) are days since 1899-12-30 with the time of day
// as fraction; 1970-01-01 00:00:00 is 25569.0.
//
// Every read goes through Get_Bytes and is bounds-checked: a malformed or
// truncated structure gives -1 / not good / an empty model, never a read
// outside a buffer, and every walk terminates.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/op_state.h"
#include "media/tree_data.h"
#include "platform/source_io.h"
#include "scan/records.h"

namespace qrv {

// Walks the top-level boxes from the ftyp box at headOff for at most 4 x unit
// bytes. Returns 0 when it reaches an mdat box (pos = its offset relative to
// headOff, size = its size, the 64-bit one for a large box), 1 when it reaches
// a moov box (pos = its relative offset), -1 otherwise. generic: the boxes
// other writers put between them (wide, skip, uuid, meta, ...) are walked over.
int Get_HeadAtom(TSource& h, int64_t unit, int64_t& pos, int64_t& size, int64_t headOff,
                 bool generic = false);

// Walks the moov box at moovOff (the walk also reads the header of the box
// right after it) and fills out; out.MoovGood tells whether the closing udta
// box was reached. Nothing that would end beyond scanEnd is accepted. The
// shooting time is given in timeStandard (TTimeStandard).
void Get_MoovInfo(const TTreeData& node, TSource& h, int mode, TMoovCon& out, int64_t scanEnd,
                  int64_t moovOff, int timeStandard = TIMESTD_UTC);

// Camera model of the udta box at udtaOff that ends at udtaEnd: the text of the
// item A9 69 6E 66 after its 4 leading bytes, decoded (UTF-8 when valid, else
// GB18030) and trimmed of blanks and control characters. Empty when absent or
// malformed.
std::string Get_CamerModel(TSource& h, int64_t udtaEnd, int64_t udtaOff);

// (seconds - zone bias x 60) / 86400 + 25569, with the zone's base bias
// (Get_TimeZoneBias; daylight saving not applied).
double Get_LocalTime(int64_t secondsSince1970);

// False for an empty or unreadable text; otherwise whether the date window
// [from, to] (date-time values) holds the date-time read from the text's
// fixed positions.
bool Check_DateRange(const std::string& createTime, double from, double to);

// Date-time value of a calendar date and time of day (no range checks beyond
// what the calendar arithmetic needs).
double Encode_DateTime(int y, int mo, int d, int h, int mi, int s);

// "yyyy-MM-dd hh:mm:ss", rounded to the nearest second.
std::string Format_DateTime(double dt);

// Reads a "yyyy-MM-dd hh:mm:ss" text by character positions (year 1-4, month
// 6-7, day 9-10, hour 12-13, minute 15-16, second 18-19, 1-based); nullopt
// when the text is too short, a field is not a number or out of range.
std::optional<double> Parse_DateTime(const std::string& text);

// Decodes camera model bytes (UTF-8 when valid, else GB18030) and trims
// leading and trailing blanks and control characters.
std::string Decode_ModelText(const uint8_t* bytes, size_t len);

} // namespace qrv

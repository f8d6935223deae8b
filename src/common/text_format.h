// Text helpers shared by every operation: the log line's date and time, the
// byte-count texts of the results list, of region capacities and of the
// progress dialog, and the elapsed-time text.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "common/ui_message.h"

namespace qrv {

// "Now": the current local date in the locale's short date format, a space, and
// the current local time in its long time format. Under the C/POSIX locale (no
// real locale chosen) the text is "yyyy-mm-dd hh:mm:ss".
std::string Now_Text();

// A file name stamped with a date and time: text + "-" + yyyymmdd + " " + the
// locale's long time, then every : / \ ? < > " | * and blank removed, then ext
// ("E:", 1 March 2024 09:05:07, ".QRV" -> "E-20240301090507.QRV").
std::string Stamped_FileName(const std::string& text, const std::tm& localTime, const std::string& ext);

// Sends a log line (message type 0): kind, Now_Text(), description, with the
// severity the window's icon and qrv-cli's error count follow (Info when not
// given). The texts are sent as given: callers translate their pieces with
// Tr() first.
void Send_Log(const std::string& kind, const std::string& description);
void Send_Log(TSeverity severity, const std::string& kind, const std::string& description);

// Name of a file the program generates for a source (an image, a scan-result
// file): name + "-" + the date as yyyymmdd + " " + the locale's long time,
// with every : / \ ? < > " | * and blank removed, then the extension
// ("/dev/sdb1", 5 March 2024 14:03:27, ".img" -> "devsdb1-20240305140327.img").
std::string Stamped_FileName(const std::string& name, const std::tm& localTime, const std::string& extension);

// Duration text: seconds with at most four decimals, no trailing zeros, no
// decimal point for whole values, no digit before the point below 1 (".5");
// 0 gives "0". The point is "." whatever the locale.
std::string Format_Duration(long double seconds);

// x rounded to two decimals; a value exactly halfway goes to the even
// hundredth (0.125 -> 0.12, 0.135 -> 0.14).
long double Round2_Even(long double x);

// bytes / divisor in hundredths, rounded half to even, computed exactly on
// integers (divisor > 0). Round2_Hundredths(1536, 1024) == 150.
int64_t Round2_Hundredths(int64_t bytes, int64_t divisor);

// A hundredths count as fixed-point text with two decimals, using the decimal
// separator of the current numeric locale: 150 -> "1.50".
std::string Hundredths_Text(int64_t hundredths);

// Size text of the results list, the selection totals and the export checks:
// GB, else MB, else KB, each value rounded to two decimals (halves to even)
// and compared with 1 after rounding; below 1 KB the plain byte count with
// "Byte". 0 -> "0Byte", 1019 -> "1.00 KB", 2^41 -> "2048.00 GB".
std::string Size_Text(int64_t bytes);

// Capacity text of images and regions: GB; when that rounds to exactly 0, MB;
// when that is 0 too, KB. 0 -> "0.00 KB", 512 -> "0.50 KB".
std::string Format_Size(int64_t bytes);

// The progress dialog's written amount, chosen by the number of decimal digits
// n of the count: n < 4 "999Byte", n 4..6 KB, 7..9 MB, 10 and more GB.
std::string Written_Text(int64_t bytes);

// Elapsed-time text of the progress dialog:
// "已用时:" h "小时" m "分" s "秒", whole days dropped (hours restart at 0
// after 24). Labels pass through the language lookup.
std::string Elapsed_Text(int64_t seconds);

// The progress dialog's panel 3 at a refresh: "已判断块数:" + count when judged
// blocks are counted, else "已写入:" + written amount when bytes were written,
// else empty.
std::string Progress_CounterText(int64_t writtenBytes, int64_t judgedBlocks);

// Play position text "hh:mm:ss.mmm" of a position in microseconds; hours are
// not wrapped at 24 and take more digits when needed. 3,723,004,000 ->
// "01:02:03.004". A negative position shows as 0.
std::string Position_Text(int64_t microseconds);

} // namespace qrv

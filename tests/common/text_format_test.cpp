#include <gtest/gtest.h>

#include <clocale>
#include <regex>

#include "common/text_format.h"

using namespace qrv;

TEST(DurationText, FourDecimalsAtMostWithoutTrailingZeros) {
    EXPECT_EQ(Format_Duration(61500.0L / 1000.0L), "61.5");
    EXPECT_EQ(Format_Duration(2700000.0L / 90000.0L), "30");
    EXPECT_EQ(Format_Duration(0.5L), ".5");
    EXPECT_EQ(Format_Duration(0.0L), "0");
    EXPECT_EQ(Format_Duration(10.0L / 3.0L), "3.3333");
    EXPECT_EQ(Format_Duration(2.0L / 3.0L), ".6667");
    EXPECT_EQ(Format_Duration(59.99999L), "60");
}

TEST(Rounding, HalvesGoToTheEvenHundredth) {
    EXPECT_EQ(Round2_Even(0.125L), 0.12L);
    EXPECT_EQ(Round2_Even(0.375L), 0.38L);
    EXPECT_EQ(Round2_Even(0.625L), 0.62L);
    EXPECT_EQ(Round2_Even(-0.125L), -0.12L);
    EXPECT_EQ(Round2_Even(0.1251L), 0.13L);
    EXPECT_EQ(Round2_Even(2.0L), 2.0L);
    // The exact integer form agrees and needs no floating point.
    EXPECT_EQ(Round2_Hundredths(128, 1024), 12);  // 0.125
    EXPECT_EQ(Round2_Hundredths(384, 1024), 38);  // 0.375
    EXPECT_EQ(Round2_Hundredths(1152, 1024), 112); // 1.125
    EXPECT_EQ(Round2_Hundredths(INT64_MAX, 1073741824), 858993459200); // no overflow
    EXPECT_EQ(Hundredths_Text(5), "0.05");
    EXPECT_EQ(Hundredths_Text(204800), "2048.00");
}

TEST(SizeText, ResultsListUnitsCompareTheRoundedValue) {
    EXPECT_EQ(Size_Text(0), "0Byte");
    EXPECT_EQ(Size_Text(1018), "1018Byte");
    EXPECT_EQ(Size_Text(1019), "1.00 KB"); // 0.995 rounds to 1.00
    EXPECT_EQ(Size_Text(1048575), "1.00 MB");
    EXPECT_EQ(Size_Text(int64_t(1) << 30), "1.00 GB");
    EXPECT_EQ(Size_Text(int64_t(1) << 41), "2048.00 GB");
    EXPECT_EQ(Size_Text((int64_t(1) << 30) + (int64_t(1) << 29)), "1.50 GB");
    EXPECT_EQ(Size_Text(1152), "1.12 KB"); // 1.125: even neighbour
    EXPECT_EQ(Size_Text(1408), "1.38 KB"); // 1.375
    EXPECT_EQ(Size_Text(1073741823), "1.00 GB");
    EXPECT_EQ(Size_Text(1063256064), "1014.00 MB"); // 0.99 GB stays in MB
}

TEST(SizeText, CapacityTextFallsBackOnlyOnZero) {
    EXPECT_EQ(Format_Size(0), "0.00 KB");
    EXPECT_EQ(Format_Size(512), "0.50 KB");
    EXPECT_EQ(Format_Size(128), "0.12 KB");
    EXPECT_EQ(Format_Size(1536), "1.50 KB");
    EXPECT_EQ(Format_Size(5 * 1048576), "5.00 MB");   // 0.0049 GB rounds to 0
    EXPECT_EQ(Format_Size(6 * 1048576), "0.01 GB");   // 0.0059 GB does not
    EXPECT_EQ(Format_Size(int64_t(3) << 29), "1.50 GB");
    EXPECT_EQ(Format_Size(int64_t(64) << 30), "64.00 GB");
}

TEST(SizeText, WrittenAmountByDigitCount) {
    EXPECT_EQ(Written_Text(999), "999Byte");
    EXPECT_EQ(Written_Text(1536), "1.50 KB");
    EXPECT_EQ(Written_Text(5368709120), "5.00 GB");
    EXPECT_EQ(Written_Text(1000), "0.98 KB");         // four digits: KB even below 1 KiB
    EXPECT_EQ(Written_Text(999999), "976.56 KB");
    EXPECT_EQ(Written_Text(1000000), "0.95 MB");
    EXPECT_EQ(Written_Text(999999999), "953.67 MB");
    EXPECT_EQ(Written_Text(1000000000), "0.93 GB");
}

TEST(ElapsedText, WholeDaysAreDropped) {
    EXPECT_EQ(Elapsed_Text(25 * 3600 + 3 * 60 + 4), "已用时:1小时3分4秒");
    EXPECT_EQ(Elapsed_Text(59), "已用时:0小时0分59秒");
    EXPECT_EQ(Elapsed_Text(24 * 3600), "已用时:0小时0分0秒");
    EXPECT_EQ(Elapsed_Text(23 * 3600 + 59 * 60 + 59), "已用时:23小时59分59秒");
    EXPECT_EQ(Elapsed_Text(-5), "已用时:0小时0分0秒");
}

TEST(ElapsedText, JudgedBlocksReplaceTheWrittenAmount) {
    EXPECT_EQ(Progress_CounterText(0, 0), "");
    EXPECT_EQ(Progress_CounterText(1536, 0), "已写入:1.50 KB");
    EXPECT_EQ(Progress_CounterText(1536, 7), "已判断块数:7");
}

TEST(NowText, IsoDateAndTimeUnderThePlainLocales) {
    // The plain locale in each spelling a system gives it (LANG=C.UTF-8 is the
    // usual one on servers): never "%x", whose year has two digits.
    const std::string saved = std::setlocale(LC_TIME, nullptr);
    int tried = 0;
    for (const char* name : {"C", "POSIX", "C.UTF-8", "C.utf8"}) {
        if (!std::setlocale(LC_TIME, name)) continue;
        ++tried;
        const std::string s = Now_Text();
        EXPECT_TRUE(std::regex_match(s, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})")))
            << name << ": " << s;
    }
    std::setlocale(LC_TIME, saved.c_str());
    EXPECT_GE(tried, 2);
}

TEST(PositionText, HoursAreNotWrappedAndMillisecondsAreTruncated) {
    const std::pair<int64_t, const char*> cases[] = {
        {3723004000LL, "01:02:03.004"},
        {0, "00:00:00.000"},
        {999, "00:00:00.000"},          // below a millisecond
        {59999999, "00:00:59.999"},     // truncated, never rounded up to a minute
        {86400000000LL, "24:00:00.000"}, // a day: hours go on
        {360000000000000LL, "100000:00:00.000"},
        {-5, "00:00:00.000"},
    };
    for (const auto& [us, text] : cases)
        EXPECT_EQ(Position_Text(us), text) << us;
}

#include <gtest/gtest.h>

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

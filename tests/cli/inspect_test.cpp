// qrv-cli inspect on writer-made recordings: what it prints and its exit codes.
#include <gtest/gtest.h>

#include "support/recording_writer.h"
#include "support/test_env.h"

namespace qrv::test {
namespace {

std::string Cli() {
    return Bin_Dir() + "/qrv-cli";
}

TEST(CliInspect, ShowsHeadWalkAndMovieMetadata) {
    TTempDir dir("qrv-inspect");
    TRecordingPlan s;
    s.Model = "DSJ-C3";
    TRecording tail = Make_Recording(s);
    s.Layout = TLayout::Front;
    TRecording front = Make_Recording(s);
    // The tail recording sits at 4096 of a small image.
    const std::string img = dir.File("card.img");
    Write_At(img, 4096, tail.Bytes);
    Save_Recording(front, dir.File("front.mp4"));

    std::string out;
    ASSERT_EQ(Run_Command("TZ=UTC " + Cli() + " inspect '" + img + "' --offset 4096", &out), 0) << out;
    EXPECT_NE(out.find("head walk at 4096: 0 (mdat at +" + std::to_string(tail.MdatOff) + ", size " +
                       std::to_string(tail.MdatSize) + ")"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("movie box at " + std::to_string(4096 + tail.MoovOff) + ":"), std::string::npos)
        << out;
    EXPECT_NE(out.find("model: DSJ-C3\n"), std::string::npos) << out;
    EXPECT_NE(out.find("shooting date: 2018-01-28 08:00:00\n"), std::string::npos) << out;
    EXPECT_NE(out.find("duration: 1 s\n"), std::string::npos) << out;
    EXPECT_NE(out.find("trak boxes: 2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("trak 2: offset " + std::to_string(4096 + tail.Traks[1].Offset) + ", length " +
                       std::to_string(tail.Traks[1].Size)),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("udta: offset " + std::to_string(4096 + tail.UdtaOff) + ", length " +
                       std::to_string(tail.UdtaLen)),
              std::string::npos)
        << out;

    ASSERT_EQ(Run_Command("TZ=UTC " + Cli() + " inspect '" + dir.File("front.mp4") + "' --china-time", &out),
              0);
    EXPECT_NE(out.find("head walk at 0: 1 (moov at +" + std::to_string(front.MoovOff) + ")"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("shooting date: 2018-01-28 16:00:00\n"), std::string::npos) << out;

    // The offset of the movie box itself.
    ASSERT_EQ(
        Run_Command(Cli() + " inspect '" + img + "' --offset " + std::to_string(4096 + tail.MoovOff), &out),
        0);
    EXPECT_NE(out.find("model: DSJ-C3\n"), std::string::npos) << out;

    // Nothing at the offset, an offset outside the file, a missing file.
    EXPECT_EQ(Run_Command(Cli() + " inspect '" + img + "' --offset 100", &out), 1);
    EXPECT_NE(out.find(": -1"), std::string::npos) << out;
    EXPECT_EQ(Run_Command(Cli() + " inspect '" + img + "' --offset 99999999 2>&1", &out), 2);
    EXPECT_NE(out.find("outside"), std::string::npos) << out;
    EXPECT_EQ(Run_Command(Cli() + " inspect '" + img + "' --offset -1 2>/dev/null"), 2);
    EXPECT_EQ(Run_Command(Cli() + " inspect '" + dir.File("missing.mp4") + "' 2>&1", &out), 1);
    EXPECT_NE(out.find("cannot open"), std::string::npos) << out;
}

} // namespace
} // namespace qrv::test

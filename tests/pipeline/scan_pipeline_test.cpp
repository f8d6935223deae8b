// The scan pipeline as both front ends run it: a recording on a raw card image
// is found, analysed, listed as a row and saved in the scan-result file, and
// the result file obeys the output rules it is given.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/ui_message.h"
#include "pipeline/scan_pipeline.h"
#include "results/result_file.h"
#include "scan/records.h"
#include "support/disk_image.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

namespace qrv {
namespace {

TEST(ScanPipeline, RowsAndResultFileUnderTheOutputRules) {
    test::TTempDir dir;
    const test::TDiskImage img = test::Make_RawImage(dir.File("card.img"), 8 << 20, 32768);
    const test::TRecording rec = test::Make_Recording({.Seed = 7, .Seconds = 2.0});
    img.Write_Contiguous(8, rec.Bytes);
    const std::vector<uint8_t> card = test::Read_File(img.Path);

    struct TCase {
        const char* Name;
        std::string ResultPath;
        bool Written;
    };
    const TCase cases[] = {
        {"beside the source", dir.File("found.QRV"), true},
        {"over the source itself", img.Path, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        auto sink = std::make_shared<TRecordingSink>();
        Set_UISink(sink);
        TScanSession session;
        Prepare_ScanRun(session);
        TScanParams p;
        p.Node = img.Node();
        p.EndSec = img.VolumeBytes / 512;
        p.SaveResults = true;
        p.ResultPath = c.ResultPath;
        Run_ScanPipeline(session, p);
        Set_UISink(nullptr);

        ASSERT_EQ(session.Rebuilds.Count(), 1);
        const auto rows = sink->OfType(MSG_ADD_ROW);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].P[6], "DSJ-T9");
        EXPECT_EQ(sink->OfType(MSG_SHOW_RESULTS).size(), 1u);
        EXPECT_EQ(test::Read_File(img.Path), card); // the source is evidence: never written
        if (c.Written) {
            TScanSession loaded;
            ASSERT_TRUE(Load_To_List(loaded, c.ResultPath, &p.Node));
            ASSERT_EQ(loaded.Rebuilds.Count(), 1);
            EXPECT_EQ(loaded.Rebuilds.Get(0).CarmerModel, "DSJ-T9");
        } else {
            bool told = false;
            for (const auto& m : sink->OfType(MSG_LOG))
                told = told || m.P[2].find(c.ResultPath) != std::string::npos;
            EXPECT_TRUE(told) << "no log line names the refused result file";
        }
    }
}

} // namespace
} // namespace qrv

#include <gtest/gtest.h>

#include <filesystem>

#include "analysis/records.h"
#include "cli/common_cli.h"
#include "cli/source_pick.h"
#include "common/ui_message.h"
#include "results/result_file.h"
#include "support/test_env.h"

using namespace qrv;
using namespace qrv::cli;
using qrv::test::Bin_Dir;
using qrv::test::Run_Command;
using qrv::test::TTempDir;
using qrv::test::Write_File;

namespace {

TRebuildResult Listed(const std::string& date, const std::string& model) {
    TRebuildResult r;
    r.CreateTime = date;
    r.CarmerModel = model;
    r.Durting = "12.5";
    r.Leavelx = 1;
    r.MdatLenx = 1536;
    r.TrueFileLen = 1024;
    r.FragmenArray.resize(2);
    r.FragmenArray[0].FragmenType = 1;
    r.FragmenArray[1].FragmenType = 2;
    r.Fragmenum = 2;
    return r;
}

void Add_Row(TResultsModel& m, const std::string& caption, const std::string& date,
             const std::string& model) {
    TUiMessage msg;
    msg.MsgType = MSG_ADD_ROW;
    msg.P = {caption, "0", date, "", "", "0", model, ""};
    m.Apply_Message(msg);
}

std::vector<bool> Checks(const TResultsModel& m) {
    std::vector<bool> out;
    for (const auto& r : m.Rows())
        out.push_back(r.Checked);
    return out;
}

} // namespace

TEST(CliResults, RowSelection) {
    TResultsModel m;
    for (int i = 1; i <= 6; ++i)
        Add_Row(m, std::to_string(i), "2019-05-1" + std::to_string(i) + " 10:00:00", i % 2 ? "DV-A8" : "XQ");
    std::string err;
    ASSERT_TRUE(Select_Rows(m, TArgs({"--rows", "1,3-5"}, {}), err)) << err;
    EXPECT_EQ(Checks(m), (std::vector<bool>{true, false, true, true, true, false}));
    ASSERT_TRUE(Select_Rows(m, TArgs({}, {}), err));
    EXPECT_EQ(Checks(m), std::vector<bool>(6, true));
    Set_UISink(nullptr);
    ASSERT_TRUE(Select_Rows(m, TArgs({"--date-from", "2019-05-12", "--date-to", "2019-05-14"}, {}), err));
    EXPECT_EQ(Checks(m), (std::vector<bool>{false, true, true, true, false, false}));
    ASSERT_TRUE(Select_Rows(m, TArgs({"--model", "dv"}, {}), err));
    EXPECT_EQ(Checks(m), (std::vector<bool>{true, false, true, false, true, false}));
    ASSERT_TRUE(Select_Rows(m, TArgs({"--date-from", "2019-05-13"}, {}), err));
    EXPECT_EQ(Checks(m), (std::vector<bool>{false, false, true, false, false, false}));
    for (auto bad : {"x", "3-1", "0", "1,,2", "2-"})
        EXPECT_FALSE(Select_Rows(m, TArgs({"--rows", bad}, {}), err)) << bad;
    EXPECT_FALSE(Select_Rows(m, TArgs({"--date-from", "May 12"}, {}), err));
    EXPECT_FALSE(Select_Rows(m, TArgs({"--rows", "1", "--model", "x"}, {}), err));
}

TEST(CliResults, TextWidthCountsWideCharactersTwice) {
    EXPECT_EQ(Text_Width("abc"), 3u);
    EXPECT_EQ(Text_Width("编号"), 4u);
    EXPECT_EQ(Text_Width("61.5秒"), 6u);
    EXPECT_EQ(Json_Text("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
}

TEST(CliResults, LoadChecksTheSourceAndListsTheResults) {
    TTempDir dir;
    const std::string image = dir.File("card.img");
    Write_File(image, std::vector<uint8_t>(1 << 16, 0));
    std::string err;
    auto node = Source_Node(image, err);
    ASSERT_TRUE(node) << err;
    EXPECT_EQ(node->Hddtype, HDD_IMAGE);
    EXPECT_EQ(node->TotalSpace, 1 << 16);
    EXPECT_FALSE(Source_Node(dir.File("missing.img"), err));

    RebuildResultList.Clear();
    RebuildResultList.Append(Listed("2019-05-12 10:33:21", "DV-A8"));
    RebuildResultList.Append(TRebuildResult{}); // not listed
    RebuildResultList.Append(Listed("2019-05-13 08:00:00", "执法仪"));
    ASSERT_TRUE(Result_To_Disk(dir.File("scan.QRV"), *node));
    RebuildResultList.Clear();

    const std::string cli = Bin_Dir() + "/qrv-cli";
    std::string out;
    ASSERT_EQ(Run_Command(
                  cli + " load " + dir.File("scan.QRV") + " --source " + image + " --json 2>/dev/null", &out),
              0);
    EXPECT_NE(out.find("\"model\": \"DV-A8\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"model\": \"执法仪\", \"date\": \"2019-05-13 08:00:00\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"result_index\": 2"), std::string::npos) << out;
    EXPECT_NE(out.find("\"real_length_bytes\": 1024"), std::string::npos) << out;

    ASSERT_EQ(
        Run_Command(cli + " load " + dir.File("scan.QRV") + " --source " + image + " 2>/dev/null", &out), 0);
    EXPECT_NE(out.find("编号"), std::string::npos);
    EXPECT_NE(out.find("文件实际长度"), std::string::npos);
    EXPECT_NE(out.find("12.5秒"), std::string::npos);
    EXPECT_NE(out.find("1.50 KB"), std::string::npos);

    // Another image name: refused, non-zero exit, the reason on stderr.
    std::filesystem::copy_file(image, dir.File("other.img"));
    EXPECT_NE(
        Run_Command(cli + " load " + dir.File("scan.QRV") + " --source " + dir.File("other.img") + " 2>&1",
                    &out),
        0);
    EXPECT_NE(out.find("文件标识00不正常"), std::string::npos) << out;
    EXPECT_NE(Run_Command(cli + " load " + dir.File("scan.QRV") + " --source " + dir.File("missing.img") +
                          " 2>/dev/null"),
              0);
    EXPECT_NE(Run_Command(cli + " load " + dir.File("scan.QRV") + " 2>/dev/null"), 0);
}

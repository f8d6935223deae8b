#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <filesystem>
#include <regex>

#include "cli/common_cli.h"
#include "cli/source_pick.h"
#include "common/op_state.h"
#include "common/text_format.h"
#include "common/ui_message.h"
#include "results/result_file.h"
#include "scan/records.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

using namespace qrv;
using namespace qrv::cli;
using qrv::test::Bin_Dir;
using qrv::test::Run_Command;
using qrv::test::TTempDir;
using qrv::test::Write_File;
namespace test = qrv::test;

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
    msg.P = {caption, "0", date, "", "", "", model, ""};
    msg.Number = 0;
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

    TScanSession session;
    session.Rebuilds.Append(Listed("2019-05-12 10:33:21", "DV-A8"));
    session.Rebuilds.Append(TRebuildResult{}); // not listed
    session.Rebuilds.Append(Listed("2019-05-13 08:00:00", "执法仪"));
    ASSERT_TRUE(Result_To_Disk(session, dir.File("scan.QRV"), *node).Is_Ok());
    session.Rebuilds.Clear();

    const std::string cli = Bin_Dir() + "/qrv-cli";
    std::string out;
    ASSERT_EQ(Run_Command(
                  cli + " load " + dir.File("scan.QRV") + " --source " + image + " --json 2>/dev/null", &out),
              0);
    // Numbers as numbers, the date in ISO 8601, the list's texts beside them.
    EXPECT_EQ(out.rfind("{\"damaged\": false, \"loaded\": 3, \"results\": [", 0), 0u) << out;
    EXPECT_NE(out.find("\"model\": \"DV-A8\""), std::string::npos) << out;
    EXPECT_NE(
        out.find("  {\"number\": 2, \"level\": 1, \"model\": \"执法仪\", \"date\": \"2019-05-13T08:00:00\", "
                 "\"duration\": 12.5, \"length\": 1536, \"real_length\": 1024, \"result_index\": 2, "
                 "\"checked\": false, \"level_text\": \"1\", \"date_text\": \"2019-05-13 08:00:00\", "
                 "\"duration_text\": \"12.5秒\", \"length_text\": \"1.50 KB\", \"real_length_text\": "
                 "\"1.00 KB\"}"),
        std::string::npos)
        << out;

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

TEST(CliProgress, ThroughputAndTimeLeft) {
    struct TCase {
        int64_t Done, Total;
        double Seconds;
        const char* Want;
    };
    const TCase cases[] = {
        {0, int64_t(6) << 30, 0, "0.0 KB / 6.00 GB"},
        {int64_t(3) << 30, int64_t(6) << 30, 30, "3.00 GB / 6.00 GB  102.4 MB/s  00:00:30 left"},
        {int64_t(1) << 30, int64_t(6) << 30, 10.24, "1.00 GB / 6.00 GB  100.0 MB/s  00:00:51 left"},
        {512 << 20, int64_t(2) << 40, 10, "512.0 MB / 2048.00 GB  51.2 MB/s  11:22:30 left"},
        {0, 100 << 20, 5, "0.0 KB / 100.0 MB  0.0 MB/s"},
        {200 << 20, 100 << 20, 1, "100.0 MB / 100.0 MB  100.0 MB/s  00:00:00 left"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Throughput_Text(c.Done, c.Total, c.Seconds), c.Want) << c.Done << "/" << c.Total;
}

// A scan of a 6 GiB image sends one status per 512 KiB block: the bar is
// redrawn at most ten times a second, and shows bytes, rate and time left.
TEST(CliProgress, RedrawsAtMostTenTimesASecond) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    TCliSink sink(nullptr, false, out, 1, [&] { return now; });
    auto op = std::make_shared<TOpState>();
    sink.Set_Op(op);
    TOpState& st = *op;
    const int64_t blocks = 12288, block = 512 << 10; // 6 GiB
    st.BytesTotal = blocks * block;
    TUiMessage m;
    m.MsgType = MSG_PROGRESS_START;
    m.P[0] = std::to_string(blocks);
    m.P[1] = "总块数:";
    sink.Handle_UIMessage(m);
    m.MsgType = MSG_PROGRESS_STATUS;
    for (int64_t b = 0; b < blocks; ++b) {
        now += std::chrono::microseconds(2500); // 200 MB/s: the whole image in about 31 s
        st.Progress1 = int32_t(b);
        st.BytesDone = (b + 1) * block;
        m.P[1] = "已扫描块数:" + std::to_string(b);
        sink.Handle_UIMessage(m);
    }
    EXPECT_GE(sink.Redraws(), 300);
    EXPECT_LE(sink.Redraws(), 310 + 1); // 30.7 s at ten a second, and the first draw
    std::fflush(out);
    std::rewind(out);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, out)) > 0)
        text.append(buf, n);
    std::fclose(out);
    const std::string last = text.substr(text.rfind('\r'));
    EXPECT_TRUE(std::regex_match(
        last, std::regex("\r\033\\[K\\[#{29}\\.\\]  99%  6\\.00 GB / 6\\.00 GB  200\\.0 MB/s  "
                         "00:00:00 left  已扫描块数:122\\d\\d")))
        << last;
    st.Reset_Counters();
}

// Under a locale whose decimal separator is a comma, every number written for
// programs (the result file, --json, report.xml) keeps its point, and the
// result file loads again; what a person reads may follow the locale. Result
// files of other writers load too: durations with a comma, model names in
// GBK. A model that is neither UTF-8 nor GBK is still damage.
TEST(CliResults, NumbersForProgramsIgnoreTheLocaleAndOtherWritersFilesLoad) {
    const char* kLocale = "de_DE.UTF-8";
    if (!std::setlocale(LC_ALL, kLocale)) {
        Run_Command(std::string("localedef -i de_DE -f UTF-8 ") + kLocale + " 2>/dev/null");
        if (!std::setlocale(LC_ALL, kLocale)) QRV_SKIP_WITHOUT("no de_DE.UTF-8 locale (package locales, localedef)");
    }
    EXPECT_EQ(Format_Duration(61.5L), "61.5");
    EXPECT_EQ(Format_Duration(4.0L), "4");
    EXPECT_EQ(Format_Duration(0.25L), ".25");
    EXPECT_EQ(Hundredths_Text(150), "1,50"); // a person's text follows the locale
    std::setlocale(LC_ALL, "C");

    TTempDir dir;
    const std::string image = dir.File("card.img");
    Write_File(image, std::vector<uint8_t>(8 << 20, 0));
    for (const auto& [seconds, at] : {std::pair{2.0, 1 << 20}, std::pair{1.52, 4 << 20}}) {
        test::TRecordingPlan plan;
        plan.Seconds = seconds;
        plan.Seed = uint32_t(at >> 20);
        test::Write_At(image, at, test::Make_Recording(plan).Bytes);
    }
    const std::string cli = "LC_ALL=" + std::string(kLocale) + " " + Bin_Dir() + "/qrv-cli";
    std::string out;
    ASSERT_EQ(Run_Command(cli + " scan " + image + " --save " + dir.File("scan.QRV") + " --export " +
                              dir.File("out") + " --json 2>/dev/null",
                          &out),
              0)
        << out;
    for (const char* d : {"\"duration\": 2,", "\"duration\": 1.52,", "\"duration_text\": \"2秒\"",
                          "\"duration_text\": \"1.52秒\""})
        EXPECT_NE(out.find(d), std::string::npos) << d << "\n" << out;
    std::string report;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir.File("out")))
        if (e.path().filename() == "report.xml") Run_Command("cat '" + e.path().string() + "'", &report);
    EXPECT_NE(report.find("duration_seconds=\"2\""), std::string::npos) << report;
    EXPECT_NE(report.find("duration_seconds=\"1.52\""), std::string::npos) << report;

    ASSERT_EQ(Run_Command(cli + " load " + dir.File("scan.QRV") + " --source " + image + " --json 2>/dev/null", &out),
              0);
    EXPECT_EQ(out.rfind("{\"damaged\": false, \"loaded\": 2, \"results\": [", 0), 0u) << out;
    EXPECT_NE(out.find("\"duration\": 1.52,"), std::string::npos) << out;

    // Files of other writers: a comma in the duration, the model in GBK.
    std::string err;
    auto node = Source_Node(image, err);
    ASSERT_TRUE(node) << err;
    struct TCase {
        std::string Duration, Model;
        const char* Json; // what --json shows of the record; nullptr: the file is damaged
    };
    const std::string gbk = "\xD6\xB4\xB7\xA8\xBC\xC7\xC2\xBC\xD2\xC7 X1"; // 执法记录仪 X1
    const TCase cases[] = {
        {"4,", "DV-A8", "\"model\": \"DV-A8\", \"date\": \"2019-05-12T10:33:21\", \"duration\": 4,"},
        {"12,48", gbk, "\"model\": \"执法记录仪 X1\", \"date\": \"2019-05-12T10:33:21\", \"duration\": 12.48,"},
        {",5", "执法仪", "\"model\": \"执法仪\", \"date\": \"2019-05-12T10:33:21\", \"duration\": 0.5,"},
        {"12.5", "\xFF\xFE X1", nullptr},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Duration);
        TScanSession session;
        TRebuildResult r = Listed("2019-05-12 10:33:21", c.Model);
        r.Durting = c.Duration;
        session.Rebuilds.Append(r);
        const std::string file = dir.File("other" + std::to_string(&c - cases) + ".QRV");
        ASSERT_TRUE(Result_To_Disk(session, file, *node).Is_Ok());
        session.Rebuilds.Clear();
        Run_Command(cli + " load " + file + " --source " + image + " --json 2>/dev/null", &out);
        if (c.Json) {
            EXPECT_EQ(out.rfind("{\"damaged\": false, \"loaded\": 1, ", 0), 0u) << out;
            EXPECT_NE(out.find(c.Json), std::string::npos) << out;
        } else {
            EXPECT_EQ(out.rfind("{\"damaged\": true, ", 0), 0u) << out;
            EXPECT_NE(out.find("\"damage\": \"机型文字不正常\", \"loaded\": 0,"), std::string::npos) << out;
        }
    }
}

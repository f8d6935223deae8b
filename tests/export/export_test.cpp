#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "common/op_state.h"
#include "common/ui_message.h"
#include "export/export_job.h"
#include "scan/records.h"
#include "support/test_env.h"

using namespace qrv;
using qrv::test::Read_File;
using qrv::test::TTempDir;
using qrv::test::Write_File;
namespace fs = std::filesystem;

namespace {

TFragmenArr Entry(uint8_t type, int64_t soff, int64_t eoff, bool dup = false) {
    TFragmenArr f;
    f.FragmenType = type;
    f.FragmenSoff = soff;
    f.FragmenEoff = eoff;
    f.FragmentLastErySoff = soff;
    f.ChongHeFlag = dup;
    return f;
}

// A writer that copies each entry's FragmenSoff..FragmenEoff and writes "HEAD"
// for a synthesized head; it records the order of the parts.
struct TCopyWriter {
    TScanSession* session;
    std::vector<std::pair<int64_t, int64_t>>* order;
    bool operator()(int64_t ri, int64_t entry, TSource& src, bool head, TOutputFile& out) const {
        if (order) order->push_back({ri, head ? -1 : entry});
        if (head) return out.Write("HEAD", 4);
        const TFragmenArr& f = session->Rebuilds.Get(ri).FragmenArray[size_t(entry)];
        std::vector<uint8_t> buf(size_t(f.FragmenEoff - f.FragmenSoff));
        if (src.Read_At(buf.data(), buf.size(), f.FragmenSoff) != int64_t(buf.size())) return false;
        return out.Write(buf.data(), buf.size());
    }
};

class Export : public ::testing::Test {
  protected:
    void SetUp() override {
        rec = std::make_shared<TRecordingSink>();
        model = std::make_shared<TResultsModel>();
        model->Set_Session(shared);
        Set_UISink(std::make_shared<TResultsSink>(model, rec));
        std::mt19937 rng(5);
        media.resize(64 * 1024);
        for (auto& b : media)
            b = uint8_t(rng());
        Write_File(dir.File("card.img"), media);
        session.Set_SourcePath(dir.File("card.img"));
        fs::create_directory(out());
    }
    void TearDown() override {
        Set_UISink(nullptr);
        session.Set_SourcePath("");
    }
    std::shared_ptr<TScanSession> shared = std::make_shared<TScanSession>();
    TScanSession& session = *shared;
    std::string out() const { return dir.File("target"); }
    std::string Sub(int n) const { return out() + "/QRV_凯墨视频恢复文件夹/QRV_File_" + std::to_string(n); }
    // Adds a result and its row.
    void Add(const TRebuildResult& r, const std::string& date, const std::string& modelText,
             bool checked = true) {
        int64_t idx = session.Rebuilds.Append(r);
        TUiMessage m;
        m.MsgType = MSG_ADD_ROW;
        m.P = {std::to_string(model->Count() + 1),
               "0",
               date,
               "1秒",
               "1 KB",
               std::to_string(idx),
               modelText,
               "1 KB"};
        m.Number = idx;
        model->Apply_Message(m);
        model->Set_Checked(model->Count() - 1, checked);
    }
    std::vector<uint8_t> Bytes(int64_t a, int64_t b) const { return {media.begin() + a, media.begin() + b}; }
    bool Logged(const std::string& kindPart, const std::string& descPart) const {
        for (const auto& m : rec->OfType(MSG_LOG))
            if (m.P[0].find(kindPart) != std::string::npos && m.P[2].find(descPart) != std::string::npos)
                return true;
        return false;
    }
    TTempDir dir;
    std::vector<uint8_t> media;
    std::shared_ptr<TRecordingSink> rec;
    std::shared_ptr<TResultsModel> model;
};

} // namespace

TEST(ExportNames, CleanedDateRowNumberAndModel) {
    EXPECT_EQ(Export_FileName("2019-05-12 10:33:21", "7", "DV-A8"), "FILE-20190512103321-7-DVA8.mp4");
    EXPECT_EQ(Export_FileName("2019/05/12 10:33:21", "3", "A:B|C"), "FILE-20190512103321-3-ABC.mp4");
    EXPECT_EQ(Export_FileName("2019/05/12 10:33:21", "3", ""), "FILE-20190512103321-3.mp4");
    EXPECT_EQ(Export_FileName("2019/05/12 10:33:21", "3", " -:"), "FILE-20190512103321-3.mp4");
    EXPECT_EQ(Clean_NameText("/\\?<>\"|*: -x"), "x");
    EXPECT_EQ(Recovery_FolderName(), "QRV_凯墨视频恢复文件夹");
}

TEST_F(Export, PreChecks) {
    TRebuildResult r;
    r.FragmenArray.resize(1);
    r.FragmenArray[0].FragmenType = ENTRY_DATA; // media data was found: exportable
    r.MdatLenx = 1000;
    Add(r, "2019-05-12", "A", false);
    r.MdatLenx = 500;
    Add(r, "2019-05-12", "B", false);
    auto refusal = [](const TOutcome& o) {
        return o.Kind == TOutcomeKind::Refused ? o.Why : "(" + o.Why + ")";
    };
    EXPECT_EQ(refusal(Check_SaveTarget(session, *model, "", dir.File("card.img"), 1 << 20)), "请指定保存路径!");
    EXPECT_EQ(refusal(Check_SaveTarget(session, *model, out(), dir.File("card.img"), 1 << 20)),
              "请选择要保存文件!");
    model->Check_All();
    EXPECT_EQ(refusal(Check_SaveTarget(session, *model, out(), dir.File("card.img"), 1499)),
              "目标盘可用空间不够,无法保存!");
    EXPECT_TRUE(Check_SaveTarget(session, *model, out(), dir.File("card.img"), 1500).Is_Ok()); // equal is enough
    EXPECT_TRUE(Check_SaveTarget(session, *model, out(), dir.File("card.img"), -1).Is_Ok()); // unknown: enough
    EXPECT_TRUE(Check_SaveTarget(session, *model, out(), dir.File("card.img")).Is_Ok());
}

TEST_F(Export, WritesCheckedRowsInLayoutOrderAndUnchecksThem) {
    // Layout 0: header entry first; layout 2: header entry last; duplicates never.
    TRebuildResult a;
    a.CamerType = 0;
    a.FragmenArray = {Entry(1, 0, 100), Entry(2, 1000, 1500), Entry(2, 1200, 1300, true),
                      Entry(2, 4000, 4100)};
    a.Fragmenum = 4;
    a.TrueFileLen = 700;
    TRebuildResult b;
    b.CamerType = 2;
    b.HeadFlag = 1;
    b.FragmenArray = {Entry(1, 9000, 9050), Entry(0, 8000, 8010), Entry(2, 8500, 8600)};
    b.Fragmenum = 3;
    TRebuildResult c = a;
    c.CamerType = 5; // unknown layout: only the head part
    c.HeadFlag = 1;
    Add(a, "2019-05-12 10:33:21", "DV-A8");
    Add(a, "2019-05-12 10:33:22", "DV-A8", false);
    Add(b, "2019/05/13 08:00:00", "X:Y");
    Add(c, "2019-05-14 00:00:00", "");
    std::vector<std::pair<int64_t, int64_t>> order;
    TSaveSummary s = Save_ToFile_One(session, *model, out(), TCopyWriter{&session, &order});
    EXPECT_TRUE(s.Ok());
    EXPECT_EQ(s.Saved, 3);
    EXPECT_EQ(order, (std::vector<std::pair<int64_t, int64_t>>{
                         {0, 0}, {0, 1}, {0, 3}, {2, -1}, {2, 1}, {2, 2}, {2, 0}, {3, -1}}));
    auto expectA = Bytes(0, 100);
    for (auto part : {Bytes(1000, 1500), Bytes(4000, 4100)})
        expectA.insert(expectA.end(), part.begin(), part.end());
    EXPECT_EQ(Read_File(Sub(0) + "/FILE-20190512103321-1-DVA8.mp4"), expectA);
    std::vector<uint8_t> expectB = {'H', 'E', 'A', 'D'};
    for (auto part : {Bytes(8000, 8010), Bytes(8500, 8600), Bytes(9000, 9050)})
        expectB.insert(expectB.end(), part.begin(), part.end());
    EXPECT_EQ(Read_File(Sub(0) + "/FILE-20190513080000-3-XY.mp4"), expectB);
    EXPECT_EQ(Read_File(Sub(0) + "/FILE-20190514000000-4.mp4"), (std::vector<uint8_t>{'H', 'E', 'A', 'D'}));
    EXPECT_FALSE(fs::exists(Sub(0) + "/FILE-20190512103322-2-DVA8.mp4"));
    EXPECT_EQ(std::distance(fs::directory_iterator(Sub(0)), fs::directory_iterator()), 3);
    for (int64_t i = 0; i < 4; ++i)
        EXPECT_FALSE(model->Checked(i));

    // Every row is selected and counted in the status text, checked or not.
    auto sel = rec->OfType(MSG_SELECT_ROW);
    ASSERT_EQ(sel.size(), 4u);
    EXPECT_EQ(sel[1].P[0], "1");
    auto status = rec->OfType(MSG_STATUS2);
    ASSERT_EQ(status.size(), 4u);
    EXPECT_EQ(status[1].P[1], "已保存文件数量:1");
    auto start = rec->OfType(MSG_PROGRESS_START);
    ASSERT_EQ(start.size(), 1u);
    EXPECT_EQ(start[0].P[0], "3");
    EXPECT_EQ(start[0].P[1], "保存总数量:");
    EXPECT_EQ(rec->OfType(MSG_GAUGE2_RANGE).size(), 3u);
    EXPECT_TRUE(Logged("保存开始", "保存路径:" + out()));
    EXPECT_TRUE(Logged("保存完成", "保存结果完毕!"));
    EXPECT_EQ(rec->Messages().back().MsgType, MSG_PROGRESS_END);

    // Exporting again reuses subfolder 0; a file of the same name is kept
    // and the new one takes the next free name.
    model->Check_All();
    Write_File(Sub(0) + "/FILE-20190512103321-1-DVA8.mp4", std::vector<uint8_t>(9999, 1));
    s = Save_ToFile_One(session, *model, out(), TCopyWriter{&session, nullptr});
    EXPECT_EQ(s.Saved, 4);
    EXPECT_EQ(Read_File(Sub(0) + "/FILE-20190512103321-1-DVA8.mp4"), std::vector<uint8_t>(9999, 1));
    EXPECT_EQ(Read_File(Sub(0) + "/FILE-20190512103321-1-DVA8-2.mp4"), expectA);
    EXPECT_FALSE(fs::exists(Sub(1)));
}

TEST_F(Export, TwoThousandFilesPerSubfolder) {
    TRebuildResult r;
    r.FragmenArray = {Entry(1, 0, 16), Entry(2, 512, 520)};
    r.Fragmenum = 2;
    session.Rebuilds.Append(r);
    for (int i = 0; i < 2001; ++i) {
        TUiMessage m;
        m.MsgType = MSG_ADD_ROW;
        m.P = {std::to_string(i + 1), "0", "2019-05-12 10:33:21", "1秒", "", "", "DV", ""};
        m.Number = 0;
        model->Apply_Message(m);
    }
    model->Check_All();
    TSaveSummary s = Save_ToFile_One(session, *model, out(), TCopyWriter{&session, nullptr});
    EXPECT_EQ(s.Saved, 2001);
    EXPECT_EQ(std::distance(fs::directory_iterator(Sub(0)), fs::directory_iterator()), 2000);
    EXPECT_EQ(std::distance(fs::directory_iterator(Sub(1)), fs::directory_iterator()), 1);
    EXPECT_TRUE(fs::exists(Sub(1) + "/FILE-20190512103321-2001-DV.mp4"));
    EXPECT_EQ(fs::file_size(Sub(1) + "/FILE-20190512103321-2001-DV.mp4"), 24u);
}

// Names already taken in the folder (a link to another file, a folder) are
// left as they are and the files take the next free names; a file whose writing
// fails is reported, not counted, and leaves nothing behind in the folder.
TEST_F(Export, TakenNamesAreKeptAndAFailedFileLeavesNothing) {
    TRebuildResult r;
    r.FragmenArray = {Entry(1, 0, 4096), Entry(2, 8192, 16384)};
    r.Fragmenum = 2;
    Add(r, "2019-05-12 10:33:21", "A");
    Add(r, "2019-05-12 10:33:21", "B");
    Add(r, "2019-05-12 10:33:21", "C/D"); // the slash is cleaned away
    Add(r, "2019-05-12 10:33:21", "E");
    fs::create_directories(Sub(0));
    const std::string link = Sub(0) + "/FILE-20190512103321-1-A.mp4";
    Write_File(dir.File("elsewhere.bin"), {'k', 'e', 'e', 'p'});
    ASSERT_EQ(symlink(dir.File("elsewhere.bin").c_str(), link.c_str()), 0);
    const std::string blocked = Sub(0) + "/FILE-20190512103321-2-B.mp4";
    fs::create_directory(blocked);
    auto writer = [this](int64_t ri, int64_t entry, TSource& src, bool head, TOutputFile& o) {
        if (o.Path().find("-4-E") != std::string::npos && entry >= 0) return false; // the disk fails
        return TCopyWriter{&session, nullptr}(ri, entry, src, head, o);
    };
    TSaveSummary s = Save_ToFile_One(session, *model, out(), writer);
    EXPECT_FALSE(s.Ok());
    EXPECT_EQ(s.Saved, 3);
    EXPECT_EQ(s.Failed, 1);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Read_File(dir.File("elsewhere.bin")), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_TRUE(fs::is_directory(blocked));
    const std::vector<std::string> want = {Sub(0) + "/FILE-20190512103321-1-A-2.mp4",
                                           Sub(0) + "/FILE-20190512103321-2-B-2.mp4",
                                           Sub(0) + "/FILE-20190512103321-3-CD.mp4"};
    EXPECT_EQ(s.Files, want);
    for (const auto& f : want)
        EXPECT_EQ(fs::file_size(f), 4096u + 8192u) << f;
    EXPECT_TRUE(Logged("错误", Sub(0) + "/FILE-20190512103321-4-E.mp4"));
    EXPECT_TRUE(Logged("保存完成", "保存结果未能完成!")); // a lost file is not "saved"
    EXPECT_TRUE(model->Checked(3));
    // Nothing but the three files and the two taken names: no temporary file is left.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(Sub(0)))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(names.size(), 5u);
    for (const auto& n : names)
        EXPECT_EQ(n.find("qrv-part"), std::string::npos) << n;
}

TEST_F(Export, StopEndsTheFileAndLeavesLaterRowsChecked) {
    TRebuildResult r;
    r.FragmenArray = {Entry(1, 0, 100), Entry(2, 200, 300), Entry(2, 400, 500)};
    r.Fragmenum = 3;
    for (int i = 0; i < 4; ++i)
        Add(r, "2019-05-12 10:33:21", "M");
    int calls = 0;
    auto writer = [&](int64_t ri, int64_t entry, TSource& src, bool head, TOutputFile& o) {
        if (++calls == 5) { // second file, second part: the stop button is pressed
            Bound_OpState()->StopFlag = true;
            return true;
        }
        return TCopyWriter{&session, nullptr}(ri, entry, src, head, o);
    };
    TSaveSummary s = Save_ToFile_One(session, *model, out(), writer);
    EXPECT_TRUE(s.Stopped);
    EXPECT_EQ(s.Saved, 1);
    EXPECT_EQ(calls, 5);
    EXPECT_FALSE(model->Checked(0));
    EXPECT_FALSE(model->Checked(1)); // started, incomplete, unchecked
    EXPECT_TRUE(model->Checked(2));
    EXPECT_TRUE(model->Checked(3));
    EXPECT_EQ(fs::file_size(Sub(0) + "/FILE-20190512103321-2-M.mp4"), 100u);
    EXPECT_EQ(rec->Messages().back().MsgType, MSG_PROGRESS_END);
    std::vector<std::string> closing;
    for (const auto& m : rec->OfType(MSG_LOG))
        if (m.P[0] == "保存完成") closing.push_back(m.P[2]);
    // The pieces this writer makes are not video: the decode check says so too.
    EXPECT_EQ(closing, (std::vector<std::string>{"保存结果已停止! 已保存文件数量:1 解码有错误的文件数量:1"}));
}

TEST_F(Export, NoSourcePathOrAnUnopenableSource) {
    TRebuildResult r;
    r.FragmenArray = {Entry(1, 0, 100), Entry(2, 200, 300)};
    r.Fragmenum = 2;
    Add(r, "2019-05-12 10:33:21", "M");
    session.Set_SourcePath("");
    TSaveSummary s = Save_ToFile_One(session, *model, out(), TCopyWriter{&session, nullptr});
    EXPECT_FALSE(s.Started);
    ASSERT_EQ(rec->Messages().size(), 1u);
    EXPECT_EQ(rec->Messages()[0].P[0], "错误类型:Save[0000]");
    EXPECT_EQ(rec->Messages()[0].P[2], "错误内容:获取磁盘句柄出错，程序将退出!");

    rec->Clear();
    session.Set_SourcePath(dir.File("gone.img"));
    s = Save_ToFile_One(session, *model, out(), TCopyWriter{&session, nullptr});
    EXPECT_FALSE(s.Ok());
    EXPECT_TRUE(Logged("错误类型:Scan0000", "错误内容:获取文件句柄出错，程序将退出!"));
    EXPECT_TRUE(Logged("保存完成", "保存结果未能完成!"));
    EXPECT_FALSE(Logged("保存完成", "保存结果完毕!"));
    EXPECT_EQ(rec->Messages().back().MsgType, MSG_PROGRESS_END);
    EXPECT_TRUE(model->Checked(0));
}

#include <gtest/gtest.h>

#include <filesystem>

#include <cstdlib>
#include <random>
#include <unistd.h>

#include "common/byte_order.h"
#include "common/op_state.h"
#include "common/ui_message.h"
#include "results/result_file.h"
#include "support/test_env.h"

using namespace qrv;
using qrv::test::Read_File;
using qrv::test::TTempDir;
using qrv::test::Write_File;

namespace {

TTreeData Image_Node(const std::string& path) {
    TTreeData n;
    n.Level = 1;
    n.Hddtype = HDD_IMAGE;
    n.HddNumber = "Image File";
    n.HddModel = path;
    n.HddLable = "镜像文件";
    n.HddFs = "FAT32";
    n.PerSecBytes = 512;
    n.TotalSpace = 64 << 20;
    return n;
}

TTreeData Volume_Node(const std::string& dev, const std::string& fs) {
    TTreeData n;
    n.Level = 2;
    n.Hddtype = HDD_VOLUME;
    n.HddNumber = "1";
    n.HddModel = dev;
    n.HddFs = fs;
    n.PerSecBytes = 512;
    n.TotalSpace = 1 << 30;
    return n;
}

TTreeData Disk_Node(const std::string& dev) {
    TTreeData n;
    n.Level = 1;
    n.Hddtype = HDD_PHYSICAL;
    n.HddNumber = dev;
    n.HddModel = "SD Card Reader";
    n.HddFs = "RAW";
    n.PerSecBytes = 512;
    n.TotalSpace = 1 << 30;
    return n;
}

// A rebuild result with every stored field set to a random value.
TRebuildResult Random_Result(std::mt19937_64& rng, int frags) {
    auto i64 = [&] { return int64_t(rng()) >> (rng() % 40); };
    auto i32 = [&] { return int32_t(int64_t(rng()) >> 32) >> (rng() % 20); };
    auto u8 = [&] { return uint8_t(rng()); };
    TRebuildResult r;
    r.CamerType = u8();
    r.CreateTime = "2019-05-12 10:33:" + std::to_string(10 + rng() % 50);
    r.Durting = "61.5";
    r.CarmerModel = rng() % 2 ? "DV-A8" : "执法记录仪 X1";
    r.LessByte = i64();
    r.Leavelx = u8() % 4;
    r.MdatLenx = i64();
    r.HeadFlag = u8() % 2;
    r.TrueFileLen = std::abs(i64() / 2);
    r.HeadMdatLenx = i64();
    r.LastFragNumx = i32();
    r.Fragmenum = frags;
    r.SingleFram = rng() % 2;
    r.MdatModSoff = i64();
    r.Video_FirLogSoff = i32();
    r.HeadLenx = i64();
    for (int j = 0; j < frags; ++j) {
        TFragmenArr f;
        f.ChongHeFlag = rng() % 2;
        f.IS_Ok = rng() % 2;
        f.FragmenType = u8();
        f.FragmeSnumType = u8();
        f.FragmeSnum = i32();
        f.FragmeEnum = i32();
        f.FragmeSLnum = i32();
        f.FragmeELnum = i32();
        f.FragmentLastSoff = i64();
        f.FragmentLastErySoff = f.FragmentLastSoff;
        f.FragmentLastEoff = i64();
        f.FragmenSoff = std::abs(i64() / 2);
        f.FragmenEoff = std::abs(i64() / 2);
        f.FragmentFreeSpace = i64();
        f.LastFragmenum = (j % 2) ? 1 + int32_t(rng() % 3) : 0;
        if (f.LastFragmenum > 0) {
            f.LastFragmen.FragmentLastSoff = i64();
            f.LastFragmen.FragmentLastErySoff = f.LastFragmen.FragmentLastSoff;
            f.LastFragmen.FragmentLastEoff = i64();
            f.LastFragmen.FragmentUpFreeSpace = i64();
            f.LastFragmen.FragmentDownFreeSpace = i64();
        }
        f.UpHeadFreeSpace = i64();
        f.MdatOFF = i32();
        f.MdatLen = i64();
        r.FragmenArray.push_back(f);
    }
    return r;
}

void Expect_Same(const TRebuildResult& a, const TRebuildResult& b) {
    EXPECT_EQ(a.CamerType, b.CamerType);
    EXPECT_EQ(a.CreateTime, b.CreateTime);
    EXPECT_EQ(a.Durting, b.Durting);
    EXPECT_EQ(a.CarmerModel, b.CarmerModel);
    EXPECT_EQ(a.LessByte, b.LessByte);
    EXPECT_EQ(a.Leavelx, b.Leavelx);
    EXPECT_EQ(a.MdatLenx, b.MdatLenx);
    EXPECT_EQ(a.HeadFlag, b.HeadFlag);
    EXPECT_EQ(a.TrueFileLen, b.TrueFileLen);
    EXPECT_EQ(a.HeadMdatLenx, b.HeadMdatLenx);
    EXPECT_EQ(a.LastFragNumx, b.LastFragNumx);
    EXPECT_EQ(a.Fragmenum, b.Fragmenum);
    EXPECT_EQ(a.SingleFram, b.SingleFram);
    EXPECT_EQ(a.MdatModSoff, b.MdatModSoff);
    EXPECT_EQ(a.Video_FirLogSoff, b.Video_FirLogSoff);
    EXPECT_EQ(a.HeadLenx, b.HeadLenx);
    ASSERT_EQ(a.FragmenArray.size(), b.FragmenArray.size());
    for (size_t j = 0; j < a.FragmenArray.size(); ++j) {
        const auto &f = a.FragmenArray[j], &g = b.FragmenArray[j];
        EXPECT_EQ(f.ChongHeFlag, g.ChongHeFlag);
        EXPECT_EQ(f.IS_Ok, g.IS_Ok);
        EXPECT_EQ(f.FragmenType, g.FragmenType);
        EXPECT_EQ(f.FragmeSnumType, g.FragmeSnumType);
        EXPECT_EQ(f.FragmeSnum, g.FragmeSnum);
        EXPECT_EQ(f.FragmeEnum, g.FragmeEnum);
        EXPECT_EQ(f.FragmeSLnum, g.FragmeSLnum);
        EXPECT_EQ(f.FragmeELnum, g.FragmeELnum);
        EXPECT_EQ(f.FragmentLastErySoff, g.FragmentLastErySoff);
        EXPECT_EQ(f.FragmentLastSoff, g.FragmentLastSoff);
        EXPECT_EQ(f.FragmentLastEoff, g.FragmentLastEoff);
        EXPECT_EQ(f.FragmenSoff, g.FragmenSoff);
        EXPECT_EQ(f.FragmenEoff, g.FragmenEoff);
        EXPECT_EQ(f.FragmentFreeSpace, g.FragmentFreeSpace);
        EXPECT_EQ(f.LastFragmenum, g.LastFragmenum);
        EXPECT_EQ(f.UpHeadFreeSpace, g.UpHeadFreeSpace);
        EXPECT_EQ(f.MdatOFF, g.MdatOFF);
        EXPECT_EQ(f.MdatLen, g.MdatLen);
        EXPECT_EQ(f.LastFragmen.FragmentLastErySoff, g.LastFragmen.FragmentLastErySoff);
        EXPECT_EQ(f.LastFragmen.FragmentLastSoff, g.LastFragmen.FragmentLastSoff);
        EXPECT_EQ(f.LastFragmen.FragmentLastEoff, g.LastFragmen.FragmentLastEoff);
        EXPECT_EQ(f.LastFragmen.FragmentUpFreeSpace, g.LastFragmen.FragmentUpFreeSpace);
        EXPECT_EQ(f.LastFragmen.FragmentDownFreeSpace, g.LastFragmen.FragmentDownFreeSpace);
    }
}

// Hand-made result files, for the damaged cases.
TBytes Entry(uint8_t tag, const std::string& text) {
    TBytes s = *Encrypt_FieldText(text);
    TBytes e = {tag, uint8_t(s.size())};
    e.insert(e.end(), s.begin(), s.end());
    return e;
}
TBytes Block(uint8_t type, const std::vector<TBytes>& entries) {
    TBytes body;
    for (const auto& e : entries)
        body.insert(body.end(), e.begin(), e.end());
    TBytes b = {type, uint8_t(body.size()), uint8_t(body.size() >> 8)};
    b.insert(b.end(), body.begin(), body.end());
    return b;
}
TBytes Record(const std::vector<TBytes>& blocks) {
    TBytes body;
    for (const auto& b : blocks)
        body.insert(body.end(), b.begin(), b.end());
    TBytes r = {0xAA, 0, 0, 0, 0};
    Put_LE32(r.data() + 1, uint32_t(body.size()));
    r.insert(r.end(), body.begin(), body.end());
    return r;
}
TBytes Result_Block(int frags, const std::string& model = "DV") {
    return Block(0xBB, {Entry(0, "2019-05-12 10:33:21"), Entry(9, std::to_string(frags)), Entry(12, model)});
}
TBytes Fragment_Block(const std::string& soff = "4096") {
    return Block(0xCC, {Entry(11, "2"), Entry(17, soff), Entry(26, soff)});
}
TBytes File_Of(const TTreeData& node, const std::vector<TBytes>& records) {
    TBytes info = Build_InfoContent(node);
    TBytes f = {'Q', 'R', 'V', 'L', 1, 14, 0, 0, 0, 0, 0, 0, 'I', 'N', 'F', 'O', 0, 0, 0, 0};
    Put_LE32(f.data() + 16, uint32_t(info.size()));
    f.insert(f.end(), info.begin(), info.end());
    TBytes list = {'L', 'I', 'S', 'T', 0, 0, 0, 0};
    f.insert(f.end(), list.begin(), list.end());
    for (const auto& r : records)
        f.insert(f.end(), r.begin(), r.end());
    return f;
}

class ResultFile : public ::testing::Test {
  protected:
    void SetUp() override {
        sink = std::make_shared<TRecordingSink>();
        Set_UISink(sink);
        node = Image_Node(dir.File("card.img"));
    }
    void TearDown() override { Set_UISink(nullptr); }
    // Description texts of the log lines whose kind is k.
    std::vector<std::string> Logs(const std::string& k) const {
        std::vector<std::string> out;
        for (const auto& m : sink->OfType(MSG_LOG))
            if (m.P[0] == k) out.push_back(m.P[2]);
        return out;
    }
    bool Has_Log(const std::string& k, const std::string& part) const {
        for (const auto& d : Logs(k))
            if (d.find(part) != std::string::npos) return true;
        return false;
    }
    // Puts one marker result in the list, to see whether a failed load kept it.
    void Put_Marker() {
        TRebuildResult m;
        m.CarmerModel = "marker";
        session.Rebuilds.Append(m);
    }
    TTempDir dir;
    std::shared_ptr<TRecordingSink> sink;
    TTreeData node;
    TScanSession session;
};

} // namespace

TEST_F(ResultFile, RoundTripKeepsEveryStoredField) {
    std::mt19937_64 rng(7);
    std::vector<TRebuildResult> made;
    for (int i = 0; i < 25; ++i)
        made.push_back(Random_Result(rng, i % 6));
    made[3].CarmerModel = std::string(240, 'M'); // the longest text a field holds
    // A long recording in many pieces: its record outgrows 64 KiB, which a
    // length read as 16 bits would cut.
    made[4] = Random_Result(rng, 700);
    for (auto& r : made)
        session.Rebuilds.Append(r);
    const std::string path = dir.File("scan.QRV");
    ASSERT_TRUE(Result_To_Disk(session, path, node).Is_Ok());
    EXPECT_TRUE(Has_Log("保存完成", "保存结果完毕!"));
    ASSERT_GT(std::filesystem::file_size(path), 70'000u);

    session.Rebuilds.Clear();
    sink->Clear();
    ASSERT_TRUE(Load_To_List(session, path, &node));
    ASSERT_EQ(session.Rebuilds.Count(), 25);
    for (int i = 0; i < 25; ++i) {
        SCOPED_TRACE(i);
        Expect_Same(session.Rebuilds.Get(i), made[size_t(i)]);
    }
    EXPECT_EQ(sink->OfType(MSG_VIEW_AFTER_LOAD).size(), 1u);
    EXPECT_EQ(session.SourcePath(), node.HddModel);
    EXPECT_TRUE(Has_Log("加载结果", "加载结果完成!"));
    // Closing steps: progress start with 0, then progress end.
    auto msgs = sink->Messages();
    ASSERT_GE(msgs.size(), 2u);
    EXPECT_EQ(msgs[msgs.size() - 3].MsgType, MSG_PROGRESS_START);
    EXPECT_EQ(msgs[msgs.size() - 3].P[0], "0");
    EXPECT_EQ(msgs[msgs.size() - 2].MsgType, MSG_PROGRESS_END);
}

TEST_F(ResultFile, HeaderInfoAndListBytes) {
    TRebuildResult r;
    r.Fragmenum = 0;
    session.Rebuilds.Append(r);
    node.HddModel = "/images/sub/card.img";
    node.TotalSpace = 123456;
    const std::string path = dir.File("h.QRV");
    ASSERT_TRUE(Result_To_Disk(session, path, node).Is_Ok());
    TBytes f = Read_File(path);
    ASSERT_GT(f.size(), 40u);
    EXPECT_EQ(TBytes(f.begin(), f.begin() + 8), TBytes({'Q', 'R', 'V', 'L', 1, 14, 0, 0}));
    EXPECT_EQ(Get_LE32(&f[8]), f.size() - 12);
    EXPECT_EQ(std::string(f.begin() + 12, f.begin() + 16), "INFO");
    const uint32_t N = Get_LE32(&f[16]);
    TBytes expectInfo = {0xFC, 0, 20, 0};
    std::string t0 = "/images/sub/card.img", t1 = "card.img", t2 = "123456";
    expectInfo.insert(expectInfo.end(), t0.begin(), t0.end());
    for (auto [tag, t] : {std::pair{1, t1}, std::pair{2, t2}}) {
        expectInfo.push_back(uint8_t(tag));
        expectInfo.push_back(uint8_t(t.size()));
        expectInfo.push_back(0);
        expectInfo.insert(expectInfo.end(), t.begin(), t.end());
    }
    ASSERT_EQ(N, expectInfo.size());
    EXPECT_EQ(TBytes(f.begin() + 20, f.begin() + 20 + N), expectInfo);
    EXPECT_EQ(std::string(f.begin() + 20 + N, f.begin() + 24 + N), "LIST");
    EXPECT_EQ(Get_LE32(&f[24 + N]), f.size() - (28 + N));
    // One record holding only its result block.
    const size_t rec = 28 + N;
    EXPECT_EQ(f[rec], 0xAA);
    EXPECT_EQ(Get_LE32(&f[rec + 1]), f.size() - rec - 5);
    EXPECT_EQ(f[rec + 5], 0xBB);
    EXPECT_EQ(Get_LE16(&f[rec + 6]) + 3u, f.size() - rec - 5);
    // Empty texts are stored as length 0; a fragment count of 0 reads back as an empty array.
    EXPECT_EQ(f[rec + 8], 0);
    EXPECT_EQ(f[rec + 9], 0);
    ASSERT_TRUE(Load_To_List(session, path, &node));
    ASSERT_EQ(session.Rebuilds.Count(), 1);
    EXPECT_TRUE(session.Rebuilds.Get(0).FragmenArray.empty());
}

TEST_F(ResultFile, FragmentsWithoutTrailingPieceHaveNoTrailingEntries) {
    std::mt19937_64 rng(3);
    TRebuildResult a = Random_Result(rng, 1), b = a;
    a.FragmenArray[0].LastFragmenum = 0;
    b.FragmenArray[0].LastFragmenum = 2;
    b.FragmenArray[0].LastFragmen.FragmentLastErySoff = 1;
    for (auto* r : {&a, &b}) {
        session.Rebuilds.Clear();
        session.Rebuilds.Append(*r);
        std::filesystem::remove(dir.File("t.QRV"));
        ASSERT_TRUE(Result_To_Disk(session, dir.File("t.QRV"), node).Is_Ok());
        TBytes f = Read_File(dir.File("t.QRV"));
        // Walk to the fragment block and collect its tags.
        size_t p = 28 + Get_LE32(&f[16]) + 5;
        p += 3 + Get_LE16(&f[p + 1]);
        ASSERT_EQ(f[p], 0xCC);
        size_t end = p + 3 + Get_LE16(&f[p + 1]);
        std::vector<int> tags;
        for (size_t e = p + 3; e < end; e += 2 + f[e + 1])
            tags.push_back(f[e]);
        EXPECT_EQ(tags.front(), 10);
        EXPECT_EQ(tags.back(), r == &a ? 27 : 32);
    }
}

TEST_F(ResultFile, LongTextsAreCutOnACharacterBoundary) {
    TRebuildResult r;
    std::string model;
    for (int i = 0; i < 81; ++i)
        model += "中"; // 243 bytes
    r.CarmerModel = model;
    session.Rebuilds.Append(r);
    ASSERT_TRUE(Result_To_Disk(session, dir.File("l.QRV"), node).Is_Ok());
    ASSERT_TRUE(Load_To_List(session, dir.File("l.QRV"), &node));
    EXPECT_EQ(session.Rebuilds.Get(0).CarmerModel, model.substr(0, 240));
    EXPECT_EQ(Cut_Utf8("a中", 2), "a");
    EXPECT_EQ(Cut_Utf8("a中", 3), "a");
    EXPECT_EQ(Cut_Utf8("a中", 4), "a中");
}

TEST_F(ResultFile, IdentityChecks) {
    // A renamed image fails, a moved one passes.
    node.HddModel = "/a/card.img";
    session.Rebuilds.Append(TRebuildResult{});
    const std::string path = dir.File("i.QRV");
    ASSERT_TRUE(Result_To_Disk(session, path, node).Is_Ok());
    TTreeData moved = Image_Node("/elsewhere/card.img");
    EXPECT_TRUE(Load_To_List(session, path, &moved));
    TTreeData renamed = Image_Node("/a/card2.img");
    Put_Marker();
    EXPECT_FALSE(Load_To_List(session, path, &renamed));
    EXPECT_TRUE(Has_Log("加载错误", "文件标识00不正常,无法加载扫描结果!"));
    EXPECT_EQ(session.Rebuilds.Get(session.Rebuilds.Count() - 1).CarmerModel, "marker");
    // A region of an image is checked like the image.
    TTreeData region = Image_Node("/b/card.img");
    region.Hddtype = HDD_REGION;
    EXPECT_TRUE(Load_To_List(session, path, &region));

    // Volumes: only the file-system name is compared.
    TTreeData v1 = Volume_Node("/dev/sdb1", "FAT32"), v2 = Volume_Node("/dev/sdc1", "FAT32"),
              v3 = Volume_Node("/dev/sdb1", "exFAT");
    std::filesystem::remove(path); // a result file is never replaced
    ASSERT_TRUE(Result_To_Disk(session, path, v1).Is_Ok());
    EXPECT_TRUE(Load_To_List(session, path, &v2));
    EXPECT_FALSE(Load_To_List(session, path, &v3));
    // The message names the kind found in the file.
    sink->Clear();
    TTreeData disk = Disk_Node("/dev/sdb");
    EXPECT_FALSE(Load_To_List(session, path, &disk));
    EXPECT_TRUE(Has_Log("加载错误", "逻辑盘类型标识不正常,无法加载扫描结果!"));
    EXPECT_FALSE(Load_To_List(session, path, &node));
    EXPECT_TRUE(Has_Log("加载错误", "逻辑盘类型标识不正常,无法加载扫描结果!"));
    std::filesystem::remove(path); // a result file is never replaced
    ASSERT_TRUE(Result_To_Disk(session, path, disk).Is_Ok());
    EXPECT_FALSE(Load_To_List(session, path, &v1));
    EXPECT_TRUE(Has_Log("加载错误", "物理盘类型标识不正常,无法加载扫描结果!"));
    std::filesystem::remove(path); // a result file is never replaced
    ASSERT_TRUE(Result_To_Disk(session, path, node).Is_Ok());
    EXPECT_FALSE(Load_To_List(session, path, &disk));
    EXPECT_TRUE(Has_Log("加载错误", "镜像类型标识不正常,无法加载扫描结果!"));
    // A disk node is identified by its model.
    TTreeData other = disk;
    other.HddModel = "Other Reader";
    std::filesystem::remove(path); // a result file is never replaced
    ASSERT_TRUE(Result_To_Disk(session, path, disk).Is_Ok());
    EXPECT_FALSE(Load_To_List(session, path, &other));
}

TEST_F(ResultFile, NoSourceChosenIsRefused) {
    session.Rebuilds.Append(TRebuildResult{});
    ASSERT_TRUE(Result_To_Disk(session, dir.File("n.QRV"), node).Is_Ok());
    Put_Marker();
    EXPECT_FALSE(Load_To_List(session, dir.File("n.QRV"), nullptr));
    EXPECT_FALSE(Load_To_List(session, dir.File("n.QRV"), std::optional<TTreeData>{}));
    EXPECT_EQ(session.Rebuilds.Count(), 2);
    EXPECT_FALSE(Logs("加载错误").empty());
    EXPECT_TRUE(sink->OfType(MSG_VIEW_AFTER_LOAD).empty());
}

TEST_F(ResultFile, HeaderAndInfoDamageLeavesTheListsAlone) {
    session.Rebuilds.Append(TRebuildResult{});
    const std::string path = dir.File("d.QRV");
    ASSERT_TRUE(Result_To_Disk(session, path, node).Is_Ok());
    const TBytes good = Read_File(path);
    struct TCase {
        size_t off;
        uint8_t value;
        std::string message;
    };
    std::vector<TCase> cases = {{0, 'X', "文件头和标识不正常"}, {1, 'X', "文件头和标识不正常"},
                                {2, 'X', "文件头和标识不正常"}, {3, 'X', "文件头和标识不正常"},
                                {5, 13, "文件头和标识不正常"},  {12, 'X', "1标识不正常"},
                                {20, 0x12, "类型标识不正常"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.off);
        TBytes f = good;
        f[c.off] = c.value;
        Write_File(path, f);
        session.Rebuilds.Clear();
        Put_Marker();
        sink->Clear();
        EXPECT_FALSE(Load_To_List(session, path, &node));
        EXPECT_TRUE(Has_Log("加载错误", c.message));
        EXPECT_EQ(session.Rebuilds.Count(), 1);
        EXPECT_TRUE(sink->OfType(MSG_VIEW_AFTER_LOAD).empty());
        EXPECT_EQ(sink->Messages().back().MsgType, MSG_PROGRESS_END);
    }
    // INFO lengths of 0, above 996, or past the end of the file.
    for (uint32_t N : {0u, 997u, 100000u, 0xFFFFFFFFu}) {
        TBytes f = good;
        Put_LE32(&f[16], N);
        Write_File(path, f);
        EXPECT_FALSE(Load_To_List(session, path, &node));
        EXPECT_TRUE(Has_Log("加载错误", "INFO长度不正常"));
    }
    // An INFO entry whose length runs past the content.
    TBytes f = good;
    f[22] = 0xFF;
    Write_File(path, f);
    EXPECT_FALSE(Load_To_List(session, path, &node));
    EXPECT_TRUE(Has_Log("加载错误", "INFO内容不正常"));
    // A missing file fails the header check.
    EXPECT_FALSE(Load_To_List(session, dir.File("missing.QRV"), &node));
    // A missing LIST mark comes after the lists were emptied.
    f = good;
    f[20 + Get_LE32(&f[16])] = 'X';
    Write_File(path, f);
    Put_Marker();
    EXPECT_FALSE(Load_To_List(session, path, &node));
    EXPECT_TRUE(Has_Log("加载错误", "标识2错误无法正常加载!"));
    EXPECT_EQ(session.Rebuilds.Count(), 0);
}

TEST_F(ResultFile, InfoWithoutIdentityEntryPasses) {
    TBytes f = {'Q', 'R', 'V', 'L', 1,    14, 0, 0, 0,   0,   0,   0,   'I', 'N', 'F', 'O',
                4,   0,   0,   0,   0xFC, 0,  0, 0, 'L', 'I', 'S', 'T', 0,   0,   0,   0};
    TBytes rec = Record({Result_Block(0)});
    f.insert(f.end(), rec.begin(), rec.end());
    Write_File(dir.File("x.QRV"), f);
    EXPECT_TRUE(Load_To_List(session, dir.File("x.QRV"), &node));
    EXPECT_EQ(session.Rebuilds.Count(), 1);
}

TEST_F(ResultFile, FileCutBetweenRecordsLoadsTheRecordsBefore) {
    std::mt19937_64 rng(11);
    for (int i = 0; i < 4; ++i)
        session.Rebuilds.Append(Random_Result(rng, 3));
    const std::string path = dir.File("c.QRV");
    ASSERT_TRUE(Result_To_Disk(session, path, node).Is_Ok());
    TBytes f = Read_File(path);
    // Find the start of the third record.
    size_t p = 28 + Get_LE32(&f[16]);
    for (int i = 0; i < 2; ++i)
        p += 5 + Get_LE32(&f[p + 1]);
    TBytes cut(f.begin(), f.begin() + long(p));
    Write_File(path, cut);
    sink->Clear();
    ASSERT_TRUE(Load_To_List(session, path, &node));
    EXPECT_EQ(session.Rebuilds.Count(), 2);
    EXPECT_TRUE(Logs("加载错误").empty());
    // Cut inside the third record: the two before are kept and the damage is logged.
    for (size_t extra : {1u, 4u, 5u, 20u}) {
        TBytes c2(f.begin(), f.begin() + long(p + extra));
        Write_File(path, c2);
        sink->Clear();
        ASSERT_TRUE(Load_To_List(session, path, &node));
        EXPECT_EQ(session.Rebuilds.Count(), 2);
        EXPECT_TRUE(Has_Log("加载错误", "扫描结果文件已损坏"));
    }
    // A record that does not start with 0xAA is damage too: the writer fills
    // the list with records to the end of the file.
    f[p] = 0x00;
    Write_File(path, f);
    sink->Clear();
    TLoadReport report;
    ASSERT_TRUE(Load_To_List(session, path, &node, &report));
    EXPECT_EQ(session.Rebuilds.Count(), 2);
    EXPECT_EQ(report.Outcome.Kind, TOutcomeKind::Corrupt);
    EXPECT_EQ(report.Outcome.Offset, int64_t(p));
    EXPECT_TRUE(Has_Log("加载错误", "记录标记不正常"));
    EXPECT_TRUE(Has_Log("加载结果", "加载结果未能完成!"));
    EXPECT_FALSE(Has_Log("加载结果", "加载结果完成!"));
}

// The stop button during a load: the records read before it stay loaded,
// and the closing line says it was stopped, never "加载结果完成!".
TEST_F(ResultFile, StopDuringALoadKeepsTheRecordsBeforeAndSaysSo) {
    std::mt19937_64 rng(12);
    for (int i = 0; i < 4; ++i)
        session.Rebuilds.Append(Random_Result(rng, 3));
    const std::string path = dir.File("s.QRV");
    ASSERT_TRUE(Result_To_Disk(session, path, node).Is_Ok());
    class TStopAfterTwo : public TRecordingSink {
        void Handle_UIMessage(const TUiMessage& m) override {
            TRecordingSink::Handle_UIMessage(m);
            if (m.MsgType == MSG_PROGRESS_STATUS && ++seen_ == 2) Bound_OpState()->StopFlag = true;
        }
        int seen_ = 0;
    };
    auto stopper = std::make_shared<TStopAfterTwo>();
    Set_UISink(stopper);
    session.Op.StopFlag = false;
    TLoadReport report;
    ASSERT_TRUE(Load_To_List(session, path, &node, &report));
    session.Op.StopFlag = false;
    Set_UISink(sink);
    EXPECT_TRUE(report.Stopped);
    EXPECT_EQ(report.Loaded, 2);
    EXPECT_EQ(session.Rebuilds.Count(), 2);
    std::vector<std::string> closing;
    for (const auto& m : stopper->OfType(MSG_LOG))
        if (m.P[0] == "加载结果") closing.push_back(m.P[2]);
    ASSERT_FALSE(closing.empty());
    EXPECT_EQ(closing.back(), "加载结果已停止! 已加载记录数量:2");
}

TEST_F(ResultFile, DamagedRecordsAreCutCleanly) {
    const TBytes good = Record({Result_Block(1), Fragment_Block()});
    TBytes wrongFrame = Block(0xBB, {Entry(9, "0"), TBytes{12, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}});
    TBytes unknownBlockType = Fragment_Block();
    unknownBlockType[0] = 0xDD;
    TBytes blockPastRecord = Record({Result_Block(0)});
    Put_LE16(&blockPastRecord[6], uint16_t(Get_LE16(&blockPastRecord[6]) + 10));
    TBytes entryPastBlock = Block(0xBB, {Entry(9, "0"), TBytes{12, 200, 1, 2}});
    struct TCase {
        const char* name;
        TBytes bad;
        bool logged;
    };
    std::vector<TCase> cases = {
        {"more fragment blocks than Fragmenum", Record({Result_Block(1), Fragment_Block(), Fragment_Block()}),
         true},
        {"fewer fragment blocks than Fragmenum", Record({Result_Block(2), Fragment_Block()}), true},
        {"fragment block before the result block", Record({Fragment_Block(), Result_Block(1)}), true},
        {"number that does not convert", Record({Result_Block(1), Fragment_Block("12x")}), true},
        {"text in a number field", Record({Block(0xBB, {Entry(9, "zero")})}), true},
        {"count out of range", Record({Block(0xBB, {Entry(9, "0"), Entry(3, "256")})}), true},
        {"negative Fragmenum", Record({Block(0xBB, {Entry(9, "-1")})}), true},
        {"huge Fragmenum", Record({Block(0xBB, {Entry(9, "2147483647")})}), true},
        {"cipher frame of the wrong length", Record({wrongFrame}), true},
        {"entry past its block", Record({entryPastBlock}), true},
        {"block past its record", blockPastRecord, true},
        {"record without result block", Record({}), true},
        {"two result blocks", Record({Result_Block(0), Result_Block(0)}), true},
        {"unknown block type", Record({Result_Block(1), unknownBlockType}), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TBytes file = File_Of(node, {good, c.bad, good});
        Write_File(dir.File("r.QRV"), file);
        sink->Clear();
        TLoadReport report;
        ASSERT_TRUE(Load_To_List(session, dir.File("r.QRV"), &node, &report));
        // The record before the damage stays, the damaged one and what follows are dropped;
        // the report names the damaged record and where it starts.
        EXPECT_EQ(report.Damaged(), c.logged);
        EXPECT_EQ(report.Loaded, 1);
        if (c.logged) {
            EXPECT_EQ(report.DamagedRecord, 2);
            EXPECT_EQ(report.Outcome.Offset, int64_t(file.size() - good.size() - c.bad.size()));
            EXPECT_FALSE(report.Outcome.Why.empty());
        }
        ASSERT_EQ(session.Rebuilds.Count(), 1);
        EXPECT_EQ(session.Rebuilds.Get(0).FragmenArray.size(), 1u);
        EXPECT_EQ(session.Rebuilds.Get(0).FragmenArray[0].FragmentLastErySoff, std::optional<int64_t>(4096));
        if (c.logged) {
            EXPECT_TRUE(Has_Log("加载错误", "扫描结果文件已损坏"));
        }
    }
    // "12x" as the copy start text is kept as text (it is a text field); as a number it is damage.
    Write_File(dir.File("r.QRV"),
               File_Of(node, {Record({Result_Block(1), Block(0xCC, {Entry(26, "12x")})})}));
    sink->Clear();
    ASSERT_TRUE(Load_To_List(session, dir.File("r.QRV"), &node));
    EXPECT_EQ(session.Rebuilds.Count(), 0);
    EXPECT_TRUE(Has_Log("加载错误", "标签26"));
}

TEST_F(ResultFile, WriterFailuresAreReportedWithThePath) {
    session.Rebuilds.Append(TRebuildResult{});
    const std::string missing = dir.File("no/such/folder/x.QRV");
    EXPECT_FALSE(Result_To_Disk(session, missing, node).Is_Ok());
    bool named = false;
    for (const auto& m : sink->OfType(MSG_LOG))
        if (m.P[0].find("错误") != std::string::npos && m.P[2].find(missing) != std::string::npos)
            named = true;
    EXPECT_TRUE(named);

    // A name that is taken (here a link to the full device) is refused before
    // anything is written, and not reported as saved.
    if (access("/dev/full", W_OK) == 0) {
        const std::string link = dir.File("full.QRV");
        ASSERT_EQ(symlink("/dev/full", link.c_str()), 0);
        sink->Clear();
        EXPECT_FALSE(Result_To_Disk(session, link, node).Is_Ok());
        EXPECT_FALSE(Has_Log("保存完成", "保存结果完毕!"));
        named = false;
        for (const auto& m : sink->OfType(MSG_LOG))
            if (m.P[0].find("错误") != std::string::npos && m.P[2].find(link) != std::string::npos)
                named = true;
        EXPECT_TRUE(named);
        EXPECT_TRUE(sink->OfType(MSG_PROGRESS_START).empty());
    }
}

TEST_F(ResultFile, CountAndArrayThatDisagreeAreWrittenAsTheArrayHoldsThem) {
    std::mt19937_64 rng(5);
    TRebuildResult r = Random_Result(rng, 2);
    r.Fragmenum = 3; // never read past the array
    session.Rebuilds.Append(r);
    ASSERT_TRUE(Result_To_Disk(session, dir.File("m.QRV"), node).Is_Ok());
    ASSERT_TRUE(Load_To_List(session, dir.File("m.QRV"), &node));
    ASSERT_EQ(session.Rebuilds.Count(), 1);
    EXPECT_EQ(session.Rebuilds.Get(0).Fragmenum, 2);
    EXPECT_EQ(session.Rebuilds.Get(0).FragmenArray.size(), 2u);
}

namespace {

// The recording of the committed known-answer file tests/data/known_answer.QRV:
// one result with a fragment that has a last piece and one without.
TRebuildResult Known_Result() {
    TRebuildResult r;
    r.CamerType = 2;
    r.CreateTime = "2021-07-04 18:30:05";
    r.Durting = "12.48";
    r.CarmerModel = "执法记录仪 DSJ-V9";
    r.LessByte = 1048576;
    r.Leavelx = 1;
    r.MdatLenx = 2097152;
    r.HeadFlag = 1;
    r.HeadLenx = 40;
    r.HeadMdatLenx = 2097112;
    r.LastFragNumx = -1;
    r.Fragmenum = 2;
    r.SingleFram = false;
    r.TrueFileLen = 1048576;
    r.MdatModSoff = 131072;
    r.Video_FirLogSoff = 4096;
    TFragmenArr a;
    a.FragmenType = ENTRY_MOVIE;
    a.FragmeSnum = 0;
    a.FragmeEnum = 299;
    a.FragmeSLnum = 1;
    a.FragmeELnum = 300;
    a.FragmentLastErySoff = 65536;
    a.FragmentLastSoff = 65536;
    a.FragmentLastEoff = 98304;
    a.FragmenSoff = 65536;
    a.FragmenEoff = 98304;
    a.MdatOFF = 32;
    a.MdatLen = 1048576;
    TFragmenArr b;
    b.FragmenType = ENTRY_DATA;
    b.IS_Ok = true;
    b.FragmeSnumType = 7;
    b.FragmentLastErySoff = 131072;
    b.FragmentLastSoff = 131072;
    b.FragmentLastEoff = 1179648;
    b.FragmenSoff = 131072;
    b.FragmenEoff = 1179648;
    b.FragmentFreeSpace = -512;
    b.UpHeadFreeSpace = 4096;
    b.LastFragmenum = 1;
    b.LastFragmen.FragmentLastErySoff = 1179648;
    b.LastFragmen.FragmentLastSoff = 1179648;
    b.LastFragmen.FragmentLastEoff = 1183744;
    b.LastFragmen.FragmentUpFreeSpace = 0;
    b.LastFragmen.FragmentDownFreeSpace = 8192;
    r.FragmenArray = {a, b};
    return r;
}

TTreeData Known_Node() {
    TTreeData n = Image_Node("/evidence/card.img");
    n.TotalSpace = 8 << 20;
    return n;
}

std::string Known_AnswerPath() {
    return std::string(QRV_SOURCE_DIR_DEFAULT) + "/tests/data/known_answer.QRV";
}

// Offsets of stored cipher bytes of every field entry of the file's records:
// each byte of the length header and the first and last byte of each block.
std::vector<size_t> Cipher_Bytes(const TBytes& f) {
    std::vector<size_t> out;
    size_t p = 28 + Get_LE32(&f[16]);
    while (p + 5 <= f.size()) {
        const size_t end = p + 5 + Get_LE32(&f[p + 1]);
        for (size_t b = p + 5; b + 3 <= end;) {
            const size_t bend = b + 3 + Get_LE16(&f[b + 1]);
            for (size_t e = b + 3; e + 2 <= bend; e += 2 + f[e + 1])
                for (size_t k = 0; k < f[e + 1]; ++k)
                    if (k < 8 || (k - 8) % 16 == 0 || (k - 8) % 16 == 15) out.push_back(e + 2 + k);
            b = bend;
        }
        p = end;
    }
    return out;
}

} // namespace

// The on-disk format is fixed: a committed file loads as the known result, and
// the writer reproduces it byte for byte (a changed mask byte, key, cipher or
// field order fails here).
TEST_F(ResultFile, KnownAnswerFileReadsAndWritesByteForByte) {
    const TTreeData known = Known_Node();
    const TBytes committed = Read_File(Known_AnswerPath());
    ASSERT_FALSE(committed.empty()) << Known_AnswerPath();

    Write_File(dir.File("known.QRV"), committed);
    TLoadReport report;
    ASSERT_TRUE(Load_To_List(session, dir.File("known.QRV"), &known, &report));
    EXPECT_TRUE(report.Outcome.Is_Ok());
    ASSERT_EQ(session.Rebuilds.Count(), 1);
    Expect_Same(session.Rebuilds.Get(0), Known_Result());

    session.Rebuilds.Clear();
    session.Rebuilds.Append(Known_Result());
    ASSERT_TRUE(Result_To_Disk(session, dir.File("again.QRV"), known).Is_Ok());
    EXPECT_EQ(Read_File(dir.File("again.QRV")), committed);
}

// One damaged byte anywhere in the stored values never loads as a different
// value: the record is reported damaged, or it loads unchanged.
TEST_F(ResultFile, AnyFlippedCipherByteIsDamageNeverAWrongValue) {
    const TBytes committed = Read_File(Known_AnswerPath());
    ASSERT_FALSE(committed.empty());
    const TTreeData known = Known_Node();
    const std::vector<size_t> cipher = Cipher_Bytes(committed);
    ASSERT_GT(cipher.size(), 500u);
    int damaged = 0;
    for (size_t at : cipher) {
        TBytes f = committed;
        f[at] ^= at % 2 ? 0x01 : 0x80;
        Write_File(dir.File("flip.QRV"), f);
        sink->Clear();
        TLoadReport report;
        ASSERT_TRUE(Load_To_List(session, dir.File("flip.QRV"), &known, &report));
        if (report.Damaged()) {
            ++damaged;
            EXPECT_EQ(session.Rebuilds.Count(), 0) << at;
            EXPECT_TRUE(Has_Log("加载结果", "加载结果未能完成!")) << at;
        } else {
            SCOPED_TRACE(at);
            ASSERT_EQ(session.Rebuilds.Count(), 1);
            Expect_Same(session.Rebuilds.Get(0), Known_Result());
        }
    }
    // Only a length that still covers the same blocks and zero filling can flip unnoticed.
    EXPECT_GT(damaged, int(cipher.size()) * 9 / 10);
}

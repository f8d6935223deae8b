#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "common/op_state.h"
#include "common/ui_message.h"
#include "sources/imaging.h"
#include "support/test_env.h"

using namespace qrv;
using qrv::test::TTempDir;

namespace {

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> b(n);
    uint32_t x = 0x12345678;
    for (auto& v : b) {
        x = x * 1103515245u + 12345u;
        v = uint8_t(x >> 16);
    }
    return b;
}

// A memory source whose reads at chosen offsets fail after scribbling on the buffer.
class TFailingSource : public TSource {
  public:
    explicit TFailingSource(std::vector<uint8_t> b) : mem_(std::move(b)) {}
    int64_t Read_At(void* buf, size_t len, int64_t off) override {
        if (off == FailAt) {
            std::memset(buf, 0xEE, len);
            return -1;
        }
        if (off == ShortAt) {
            int64_t n = mem_.Read_At(buf, len, off);
            return n > 1000 ? 1000 : n; // stops inside the medium
        }
        return mem_.Read_At(buf, len, off);
    }
    int64_t Size() override { return mem_.Size(); }
    const std::string& Path() const override { return mem_.Path(); }
    int64_t FailAt = -1, ShortAt = -1;

  private:
    TMemorySource mem_;
};

// Records messages and lets a test act on each one (to press "stop").
class THookSink : public TRecordingSink {
  public:
    std::function<void(const TUiMessage&)> Hook;
    void Handle_UIMessage(const TUiMessage& m) override {
        TRecordingSink::Handle_UIMessage(m);
        if (Hook) Hook(m);
    }
};

struct TImagingFixture : ::testing::Test {
    TTempDir Dir{"qrv-img"};
    std::shared_ptr<THookSink> Sink = std::make_shared<THookSink>();
    std::shared_ptr<TUiSink> Prev;
    TTreeData Node;
    void SetUp() override {
        Prev = Set_UISink(Sink);
        Node.Level = 2, Node.Hddtype = HDD_VOLUME, Node.HddModel = "/dev/sdq1", Node.PerSecBytes = 512;
    }
    void TearDown() override { Set_UISink(Prev); }
    TOpState Op; // the state of the imaging runs
    std::vector<std::string> Blocks() const {
        std::vector<std::string> out;
        for (const auto& m : Sink->OfType(MSG_PROGRESS_STATUS)) out.push_back(m.P[2]);
        return out;
    }
    std::vector<std::string> LogDescriptions() const {
        std::vector<std::string> out;
        for (const auto& m : Sink->OfType(MSG_LOG)) out.push_back(m.P[0] + "|" + m.P[2]);
        return out;
    }
};

} // namespace

TEST_F(TImagingFixture, TwoFullBlocksExactly) {
    auto src = Pattern(1049600 + 4096);
    TMemorySource h(src);
    const auto r = To_imageFrom(Op, &h, Node, Dir.File("a.img"), 0, 2050);
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(r.BytesWritten, 1049600);
    EXPECT_EQ(test::Read_File(Dir.File("a.img")), std::vector<uint8_t>(src.begin(), src.begin() + 1049600));
    EXPECT_EQ(Blocks(), (std::vector<std::string>{"已镜像块数:0", "已镜像块数:1"}));
    const auto starts = Sink->OfType(MSG_PROGRESS_START);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0].P[0], "2");
    EXPECT_EQ(starts[0].P[1], "镜像总块数:");
    EXPECT_EQ(starts[1].P[0], "0");
    EXPECT_EQ(starts[1].P[2], "0");
    EXPECT_EQ(Sink->OfType(MSG_PROGRESS_END).size(), 1u);
    const auto logs = LogDescriptions();
    ASSERT_EQ(logs.size(), 5u);
    EXPECT_EQ(logs[0], "镜像开始|开始镜像,镜像源:/dev/sdq1;镜像目标:" + Dir.File("a.img"));
    // The three digests of the image, before the closing line.
    EXPECT_EQ(logs[1].rfind("镜像哈希值|MD5: ", 0), 0u) << logs[1];
    EXPECT_EQ(logs[2].rfind("镜像哈希值|SHA1: ", 0), 0u) << logs[2];
    EXPECT_EQ(logs[3].rfind("镜像哈希值|SHA256: ", 0), 0u) << logs[3];
    EXPECT_EQ(logs[4], "镜像完成|镜像成功完成!");
    EXPECT_EQ(Sink->Messages().back().MsgType, MSG_PROGRESS_END);
}

TEST_F(TImagingFixture, ShortRangesAndRangesWithARemainderCopyByteForByte) {
    auto src = Pattern(2 * 1024 * 1024);
    TMemorySource h(src);
    // 1000 sectors: less than one block, N = 0.
    auto r = To_imageFrom(Op, &h, Node, Dir.File("b.img"), 0, 1000);
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(Sink->OfType(MSG_PROGRESS_START)[0].P[0], "0");
    EXPECT_EQ(test::Read_File(Dir.File("b.img")), std::vector<uint8_t>(src.begin(), src.begin() + 512000));
    EXPECT_EQ(Blocks(), (std::vector<std::string>{"已镜像块数:0"}));

    // 3000 sectors from sector 7: two full blocks and 486,400 bytes.
    Sink->Clear();
    r = To_imageFrom(Op, &h, Node, Dir.File("c.img"), 7, 3007);
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(r.BytesWritten, 2 * 524800 + 486400);
    EXPECT_EQ(Sink->OfType(MSG_PROGRESS_START)[0].P[0], "2");
    EXPECT_EQ(Blocks(), (std::vector<std::string>{"已镜像块数:0", "已镜像块数:1", "已镜像块数:2"}));
    EXPECT_EQ(test::Read_File(Dir.File("c.img")),
              std::vector<uint8_t>(src.begin() + 7 * 512, src.begin() + 3007 * 512));

    // 4096-byte sectors count in their own unit.
    Sink->Clear();
    Node.PerSecBytes = 4096;
    r = To_imageFrom(Op, &h, Node, Dir.File("d.img"), 1, 301);
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(test::Read_File(Dir.File("d.img")), std::vector<uint8_t>(src.begin() + 4096, src.begin() + 301 * 4096));
}

TEST_F(TImagingFixture, StopEndsAfterTheCurrentBlockAndSaysWhereTheImageEnds) {
    auto src = Pattern(5 * 524800);
    TMemorySource h(src);
    Sink->Hook = [](const TUiMessage& m) {
        if (m.MsgType == MSG_PROGRESS_STATUS && m.P[2] == "已镜像块数:1")
            Bound_OpState()->StopFlag.store(true);
    };
    const auto r = To_imageFrom(Op, &h, Node, Dir.File("s.img"), 0, 5 * 1025);
    EXPECT_TRUE(r.Stopped);
    EXPECT_EQ(r.BytesWritten, 2 * 524800);
    // What was copied is kept beside the target as .partial, never under the image's name.
    EXPECT_EQ(r.WrittenPath, Dir.File("s.img.partial"));
    EXPECT_FALSE(std::filesystem::exists(Dir.File("s.img")));
    EXPECT_EQ(test::Read_File(Dir.File("s.img.partial")),
              std::vector<uint8_t>(src.begin(), src.begin() + 2 * 524800));
    // Never "镜像成功完成!": the last sector written is 2 x 1025 - 1, and the map to continue from is named.
    EXPECT_EQ(LogDescriptions().back(),
              "镜像完成|镜像已停止! 最后写入的扇区:2049 映射文件已保存:" + Dir.File("s.img.map"));
    EXPECT_EQ(Sink->OfType(MSG_PROGRESS_END).size(), 1u);
}

TEST_F(TImagingFixture, OnlyUnreadableSectorsBecomeZerosWithAnErrorLineNeverOldBytes) {
    auto src = Pattern(4 * 524800);
    TFailingSource h(src);
    h.FailAt = 524800;      // the second block's read fails, and so does its first sector
    h.ShortAt = 2 * 524800; // the third stops after 1000 bytes; read again, all of it comes back
    const auto r = To_imageFrom(Op, &h, Node, Dir.File("e.img"), 0, 4 * 1025);
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(r.UnreadBlocks, 1);
    EXPECT_EQ(r.UnreadBytes, 512);
    const auto img = test::Read_File(Dir.File("e.img"));
    ASSERT_EQ(img.size(), src.size());
    auto want = src;
    std::fill(want.begin() + 524800, want.begin() + 524800 + 512, 0);
    EXPECT_EQ(img, want);
    std::vector<std::string> errors;
    for (const auto& m : Sink->OfType(MSG_LOG))
        if (m.P[0] == "错误类型:Image0002") errors.push_back(m.P[2]);
    EXPECT_EQ(errors, (std::vector<std::string>{"错误内容:读取源数据失败,以零填充,偏移:524800,长度:512"}));
    EXPECT_EQ(LogDescriptions().back(), "镜像完成|镜像成功完成! 无法读取的字节数:512");
}

// A range that ends beyond the medium, or whose byte offsets do not fit in 64
// bits, is refused before the target exists: no image padded with zeros, no
// empty image, and no "镜像成功完成!".
TEST_F(TImagingFixture, RangesBeyondTheMediumOrBeyondOffsetsAreRefused) {
    TMemorySource h(Pattern(600000)); // 1171 whole sectors and a partial one
    struct TCase {
        int64_t Start, End;
        int32_t SectorBytes;
        const char* Want;
    };
    const TCase cases[] = {
        {0, 2050, 512, "结束扇区超出源的末尾,请重新设置!"},
        {0, 1172, 512, "结束扇区超出源的末尾,请重新设置!"}, // the partial last sector
        {1000, 1200, 512, "结束扇区超出源的末尾,请重新设置!"},
        {0, int64_t(1) << 54, 512, "扇区号过大,无法换算为字节偏移,请重新设置!"},
        {int64_t(1) << 53, int64_t(1) << 54, 4096, "扇区号过大,无法换算为字节偏移,请重新设置!"},
        {-1, 10, 512, "扇区号不能为负数,请重新设置!"},
    };
    for (const auto& c : cases) {
        const std::string what = std::to_string(c.Start) + ".." + std::to_string(c.End);
        Sink->Clear();
        Node.PerSecBytes = c.SectorBytes;
        const std::string target = Dir.File("f.img");
        const auto r = To_imageFrom(Op, &h, Node, target, c.Start, c.End);
        EXPECT_FALSE(r.Ok) << what;
        EXPECT_EQ(r.BytesWritten, 0) << what;
        EXPECT_FALSE(std::filesystem::exists(target)) << what;
        const auto logs = LogDescriptions();
        ASSERT_EQ(logs.size(), 2u) << what;
        EXPECT_EQ(logs[0].rfind(std::string("错误类型:Image0004|错误内容:") + c.Want, 0), 0u)
            << what << ": " << logs[0];
        EXPECT_EQ(logs[1], "镜像完成|镜像未能完成!") << what;
        EXPECT_EQ(Sink->Messages().back().MsgType, MSG_PROGRESS_END) << what;
        EXPECT_EQ(Check_ImageBounds(Node, c.Start, c.End, 600000).Why.rfind(c.Want, 0), 0u) << what;
    }
    // The last whole sector is the end of what can be imaged.
    Node.PerSecBytes = 512;
    EXPECT_TRUE(Check_ImageBounds(Node, 0, 1171, 600000).Is_Ok());
    EXPECT_TRUE(To_imageFrom(Op, &h, Node, Dir.File("ok.img"), 0, 1171).Ok);
    EXPECT_EQ(std::filesystem::file_size(Dir.File("ok.img")), 1171u * 512u);
}

TEST_F(TImagingFixture, OpenAndCreateFailuresAreErrorsNotSuccess) {
    auto r = To_imageFrom(Op, nullptr, Node, Dir.File("g.img"), 0, 10);
    EXPECT_FALSE(r.Ok);
    auto logs = LogDescriptions();
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0], "错误类型:Image0000|错误内容:获取文件句柄出错，程序将退出!");
    EXPECT_EQ(logs[1], "镜像完成|镜像未能完成!");
    EXPECT_FALSE(std::filesystem::exists(Dir.File("g.img")));

    Sink->Clear();
    TMemorySource h(Pattern(10000));
    r = To_imageFrom(Op, &h, Node, Dir.File("no/such/folder/h.img"), 0, 10);
    EXPECT_FALSE(r.Ok);
    logs = LogDescriptions();
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0], "错误类型:Image0001|错误内容:创建文件失败,程序将退出!");
    EXPECT_EQ(logs[1], "镜像完成|镜像未能完成!");
    EXPECT_EQ(Sink->Messages().back().MsgType, MSG_PROGRESS_END);
}

TEST_F(TImagingFixture, FailedWriteIsReportedAsFailure) {
    if (!std::filesystem::exists("/dev/full")) QRV_SKIP_WITHOUT("no /dev/full on this machine");
    TMemorySource h(Pattern(600000));
    const auto r = To_imageFrom(Op, &h, Node, "/dev/full", 0, 1000);
    EXPECT_FALSE(r.Ok);
    const auto logs = LogDescriptions();
    ASSERT_GE(logs.size(), 2u);
    EXPECT_EQ(logs[logs.size() - 2], "错误类型:Image0003|错误内容:写入镜像文件失败,程序将退出!");
    EXPECT_EQ(logs.back(), "镜像完成|镜像未能完成!");
}

TEST(Imaging, FileNameChecksAndMessages) {
    TTreeData n;
    n.HddModel = "/dev/sdb";
    std::tm t{};
    t.tm_year = 124, t.tm_mon = 2, t.tm_mday = 5, t.tm_hour = 14, t.tm_min = 3, t.tm_sec = 27;
    EXPECT_EQ(Image_FileName(n, t), "devsdb-20240305140327.img");
    n.HddModel = "C:\\a?b<c>d\"e|f*g h";
    EXPECT_EQ(Image_FileName(n, t), "Cabcdefgh-20240305140327.img");

    EXPECT_EQ(Check_ImageNode(nullptr).Why, "请选中要镜像的盘符!");
    TTreeData root;
    EXPECT_EQ(Check_ImageNode(&root).Why, "请选中要镜像的盘符!");
    TTreeData image;
    image.Level = 1, image.Hddtype = HDD_IMAGE;
    EXPECT_EQ(Check_ImageNode(&image).Why, "当前所选类型为文件,无法创建镜像!");
    TTreeData region = image;
    region.Level = 2, region.Hddtype = HDD_REGION;
    EXPECT_TRUE(Check_ImageNode(&region).Is_Ok());

    EXPECT_EQ(Check_ImageRange(5, 5).Why, "起始扇区和结束扇区相同,请重新设置!");
    EXPECT_EQ(Check_ImageRange(6, 5).Why, "起始扇区大于结束扇区,请重新设置!");
    EXPECT_TRUE(Check_ImageRange(5, 6).Is_Ok());

    EXPECT_TRUE(Check_ImageSpace(1000, 1000, "1.00 GB").Is_Ok());
    EXPECT_EQ(Check_ImageSpace(999, 1000, "14.84 GB").Why,
              "检测到目标盘剩余空间不足,请重新设置!\r\n镜像文件字节数:1000\r\n目标剩余字节数:999\r\n"
              "目标盘的剩余空间至少为:14.84 GB");

    // A region of an image file is never refused for its folder; the image file
    // itself is on whatever disk, but it is a file, not a disk.
    TTempDir dir;
    test::Write_File(dir.File("x.img"), std::vector<uint8_t>(512, 0));
    region.HddNumber = "Image File", region.HddModel = dir.File("x.img");
    EXPECT_TRUE(Check_ImageFolder(region, dir.Path()).Is_Ok());
    // The image itself is never a target, not even through a link.
    std::filesystem::create_symlink(dir.File("x.img"), dir.File("x-link.img"));
    EXPECT_EQ(Check_ImageFolder(region, dir.File("x-link.img")).Why, "为避免覆盖,不能写入源本身!");
    auto sink = std::make_shared<TRecordingSink>();
    auto prev = Set_UISink(sink);
    region.PerSecBytes = 512;
    TOpState op;
    EXPECT_FALSE(To_image(op, region, dir.File("x-link.img"), 0, 1).Ok);
    Set_UISink(prev);
    ASSERT_FALSE(sink->OfType(MSG_LOG).empty());
    EXPECT_EQ(sink->OfType(MSG_LOG)[0].P[0], "错误类型:Image0005");
    EXPECT_EQ(test::Read_File(dir.File("x.img")), std::vector<uint8_t>(512, 0));
}

// Reading an image back says why it could not be hashed: a file that cannot be
// opened, or one shorter than the length asked for, is not a digest mismatch.
TEST(Imaging, HashingAFileSaysWhatKeptItFromBeingRead) {
    TTempDir dir;
    test::Write_File(dir.File("short.img"), std::vector<uint8_t>(1000, 7));
    const struct {
        const char* what;
        std::string path;
        int64_t len;
        TOutcomeKind kind;
        int64_t offset;
    } cases[] = {
        {"whole file", dir.File("short.img"), -1, TOutcomeKind::Ok, -1},
        {"its length", dir.File("short.img"), 1000, TOutcomeKind::Ok, -1},
        {"longer than the file", dir.File("short.img"), 4096, TOutcomeKind::Corrupt, 1000},
        {"no such file", dir.File("missing.img"), -1, TOutcomeKind::IoError, 0},
    };
    for (const auto& c : cases) {
        TImageHashes h;
        const TOutcome o = Hash_File(c.path, c.len, h);
        EXPECT_EQ(o.Kind, c.kind) << c.what << ": " << o.Why;
        EXPECT_EQ(o.Offset, c.offset) << c.what;
        if (c.kind == TOutcomeKind::Ok) {
            EXPECT_EQ(h.Md5.size(), 32u) << c.what;
        }
    }
}

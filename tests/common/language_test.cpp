#include <gtest/gtest.h>

#include <sys/stat.h>

#include "common/language.h"
#include "platform/language_files.h"
#include "platform/program_folder.h"
#include "support/test_env.h"

using namespace qrv;
using qrv::test::Read_File;
using qrv::test::TTempDir;
using qrv::test::Write_File;

namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> Scrambled(std::vector<uint8_t> b) {
    for (auto& c : b) c ^= LANGUAGE_FILE_KEY;
    return b;
}

// UTF-16 code units of an ASCII/BMP text given as UTF-8, with byte-order mark.
std::vector<uint8_t> Utf16(const std::u16string& s, bool bigEndian) {
    std::vector<uint8_t> b = bigEndian ? std::vector<uint8_t>{0xFE, 0xFF} : std::vector<uint8_t>{0xFF, 0xFE};
    for (char16_t u : s) {
        uint8_t hi = uint8_t(u >> 8), lo = uint8_t(u);
        if (bigEndian) b.insert(b.end(), {hi, lo});
        else b.insert(b.end(), {lo, hi});
    }
    return b;
}

// A program folder with Updata/skin/ and the given files (nullptr: absent).
class LanguageStart : public ::testing::Test {
  protected:
    void SetUp() override {
        // The switch stores into the user's settings folder first: keep it empty and private.
        ::setenv("XDG_CONFIG_HOME", dir.File("config").c_str(), 1);
        ::mkdir(dir.File("Updata").c_str(), 0755);
        ::mkdir(dir.File("Updata/skin").c_str(), 0755);
    }
    void TearDown() override {
        ::unsetenv("XDG_CONFIG_HOME");
        Set_Language(0);
        Set_LanguageId(LANGID_CHINESE);
        Set_LanguageTable(TLanguageTable());
    }
    void Settings(const std::string& text) { Write_File(dir.File(LANGUAGE_SETTINGS_FILE), Bytes(text)); }
    void Table(const std::string& text) { Write_File(dir.File(LANGUAGE_FILE), Scrambled(Bytes(text))); }

    TTempDir dir{"qrv-lang"};
    const std::string kTable = "刷新磁盘(&C)=Refresh disks(&C)\r\n起始扇区:=Start sector:\r\n"
                               "错误类型:SCAN0000=Error type:Scan0000\r\n";
};

} // namespace

TEST_F(LanguageStart, SettingOneWithTableTranslates) {
    Settings("1\r\n");
    Table(kTable);
    EXPECT_EQ(Language_Start(dir.Path()), 1);
    EXPECT_EQ(Get_Language(), 1);
    EXPECT_EQ(Get_LanguageId(), LANGID_ENGLISH);
    EXPECT_EQ(Tr("刷新磁盘(&C)"), "Refresh disks(&C)");
    // Letter case is ignored in names.
    EXPECT_EQ(Tr("错误类型:Scan0000"), "Error type:Scan0000");
    // A window caption is trimmed before the lookup and kept when unknown.
    EXPECT_EQ(Translate_Caption(" 起始扇区:"), "Start sector:");
    EXPECT_EQ(Translate_Caption(" 起始扇区:", false), " 起始扇区:");
    EXPECT_EQ(Translate_Caption("没有的文字"), "没有的文字");
    // A text missing from a non-empty table becomes empty through Tr.
    EXPECT_EQ(Tr("没有的文字"), "");
    EXPECT_EQ(Tr(" 起始扇区:"), "");
}

TEST_F(LanguageStart, OnlyTheValueOneSwitchesToEnglish) {
    Table(kTable);
    for (const char* value : {"2", "abc", "", "0", "1x", "-1"}) {
        Settings(std::string(value) + "\r\n");
        EXPECT_EQ(Language_Start(dir.Path()), 0) << value;
        EXPECT_EQ(Get_LanguageId(), LANGID_CHINESE) << value;
        EXPECT_TRUE(Language_TableEmpty()) << value;
        EXPECT_EQ(Tr("刷新磁盘(&C)"), "刷新磁盘(&C)") << value;
    }
    Settings("1");
    EXPECT_EQ(Language_Start(dir.Path()), 1); // no line end needed
}

TEST_F(LanguageStart, MissingFiles) {
    Table(kTable);
    EXPECT_EQ(Language_Start(dir.Path()), 0); // no settings file: Chinese
    EXPECT_EQ(Get_LanguageId(), LANGID_CHINESE);

    Settings("1\r\n");
    ::unlink(dir.File(LANGUAGE_FILE).c_str());
    EXPECT_EQ(Language_Start(dir.Path()), 1); // English without a table
    EXPECT_EQ(Get_LanguageId(), LANGID_ENGLISH);
    EXPECT_TRUE(Language_TableEmpty());
    EXPECT_EQ(Tr("刷新磁盘(&C)"), "刷新磁盘(&C)");
    EXPECT_EQ(Translate_Caption("刷新磁盘(&C)"), "刷新磁盘(&C)");
}

TEST_F(LanguageStart, RestartAfterSwitchingBack) {
    Settings("1\r\n");
    Table(kTable);
    Language_Start(dir.Path());
    ASSERT_FALSE(Language_TableEmpty());
    Settings("0\r\n");
    EXPECT_EQ(Language_Start(dir.Path()), 0);
    EXPECT_TRUE(Language_TableEmpty()); // the old table does not survive a start
}

TEST_F(LanguageStart, SwitchWritesOnlyAnExistingSettingsFile) {
    auto r = Program_LanguageSwitch(dir.Path(), 1);
    EXPECT_FALSE(r.Stored);
    EXPECT_EQ(r.LanguageId, LANGID_ENGLISH);
    EXPECT_EQ(r.Caption, "Set up success");
    EXPECT_EQ(Get_LanguageId(), LANGID_ENGLISH);
    struct stat st{};
    EXPECT_NE(::stat(dir.File(LANGUAGE_SETTINGS_FILE).c_str(), &st), 0); // not created
    EXPECT_EQ(Language_Start(dir.Path()), 0); // so the next start is still Chinese

    Settings("0\r\n");
    r = Program_LanguageSwitch(dir.Path(), 1);
    EXPECT_TRUE(r.Stored);
    EXPECT_EQ(Read_File(dir.File(LANGUAGE_SETTINGS_FILE)), Bytes("1\r\n"));
    r = Program_LanguageSwitch(dir.Path(), 0);
    EXPECT_TRUE(r.Stored);
    EXPECT_EQ(r.Message, "设置语言成功,请重新启动程序,使用新语言!");
    EXPECT_EQ(r.Caption, "设置成功");
    EXPECT_EQ(Get_LanguageId(), LANGID_CHINESE);
    EXPECT_EQ(Read_File(dir.File(LANGUAGE_SETTINGS_FILE)), Bytes("0\r\n"));
}

TEST(LanguageFile, EntriesSplitAtTheFirstEqualsSign) {
    TLanguageTable t;
    t.Load_Text("a=b=c\r\nno separator\nx=1\rx=2\n=empty name\ny=\n");
    std::string v;
    ASSERT_TRUE(t.Find("a", v));
    EXPECT_EQ(v, "b=c");
    ASSERT_TRUE(t.Find("X", v));
    EXPECT_EQ(v, "1"); // the first entry of a name wins; a lone CR ends a line
    ASSERT_TRUE(t.Find("y", v));
    EXPECT_EQ(v, "");
    EXPECT_FALSE(t.Find("no separator", v));
    EXPECT_EQ(t.Count(), 5u);
}

TEST(LanguageFile, EncodingsAfterUnscrambling) {
    TTempDir dir("qrv-lngenc");
    const std::u16string u16 = u"开始=Start\r\n停止=Stop\r\n";
    const std::string u8 = "开始=Start\r\n停止=Stop\r\n";
    // GB18030 bytes of the same text: 开 = BF AA, 始 = CA BC, 停 = CD A3, 止 = D6 B9.
    std::vector<uint8_t> gb = {0xBF, 0xAA, 0xCA, 0xBC};
    for (char c : std::string("=Start\r\n")) gb.push_back(uint8_t(c));
    gb.insert(gb.end(), {0xCD, 0xA3, 0xD6, 0xB9});
    for (char c : std::string("=Stop\r\n")) gb.push_back(uint8_t(c));
    std::vector<uint8_t> bom8 = {0xEF, 0xBB, 0xBF};
    bom8.insert(bom8.end(), u8.begin(), u8.end());

    const std::vector<std::pair<const char*, std::vector<uint8_t>>> files = {
        {"utf16le", Utf16(u16, false)}, {"utf16be", Utf16(u16, true)}, {"utf8bom", bom8},
        {"utf8", Bytes(u8)},            {"gb18030", gb}};
    for (const auto& [name, bytes] : files) {
        Write_File(dir.File(name), Scrambled(bytes));
        TLanguageTable t;
        ASSERT_TRUE(Load_LanguageFile(dir.File(name), t)) << name;
        std::string v;
        ASSERT_TRUE(t.Find("开始", v)) << name;
        EXPECT_EQ(v, "Start") << name;
        ASSERT_TRUE(t.Find("停止", v)) << name;
        EXPECT_EQ(v, "Stop") << name;
        EXPECT_EQ(t.Count(), 2u) << name;
    }
}

TEST(LanguageFile, EmptyOrMissingFileLeavesTheTableUnchanged) {
    TTempDir dir("qrv-lngempty");
    TLanguageTable t;
    t.Add("开始", "Start");
    Write_File(dir.File("empty.lng"), {});
    EXPECT_FALSE(Load_LanguageFile(dir.File("empty.lng"), t));
    EXPECT_FALSE(Load_LanguageFile(dir.File("missing.lng"), t));
    EXPECT_EQ(t.Count(), 1u);
    // A file that is not scrambled with the key holds no entries.
    Write_File(dir.File("plain.lng"), Bytes("开始=Start\r\n"));
    EXPECT_TRUE(Load_LanguageFile(dir.File("plain.lng"), t));
    EXPECT_TRUE(t.Empty());
}

TEST(LanguageFile, BrokenUtf16DoesNotCrash) {
    // Odd length and an unpaired surrogate.
    std::vector<uint8_t> b = {0xFF, 0xFE, 'a', 0, '=', 0, 0x00, 0xD8, 'b', 0, 'x'};
    std::string s = Decode_TextBytes(b);
    EXPECT_EQ(s, "a=\xEF\xBF\xBD" "b");
    EXPECT_EQ(Decode_TextBytes({0xFF}), "\xEF\xBF\xBD");
    EXPECT_EQ(Decode_TextBytes({}), "");
}

TEST(LanguageSettings, FirstLineAsDecimalNumber) {
    TTempDir dir("qrv-lngset");
    auto read = [&](const std::vector<uint8_t>& bytes) {
        Write_File(dir.File("s.ini"), bytes);
        return Read_LanguageSetting(dir.File("s.ini"));
    };
    EXPECT_EQ(read(Bytes("1\r\n0\r\n")), 1);
    EXPECT_EQ(read(Bytes("0\r\n1\r\n")), 0);
    EXPECT_EQ(read(Bytes("2")), 2);
    EXPECT_EQ(read(Bytes("abc")), 0);
    EXPECT_EQ(read(Bytes("\r\n1")), 0); // an empty first line is not a number
    EXPECT_EQ(read({0xEF, 0xBB, 0xBF, '1', '\r', '\n'}), 1);
    EXPECT_EQ(read(Utf16(u"1\r\n", false)), 1);
    EXPECT_EQ(Read_LanguageSetting(dir.File("missing.ini")), 0);
}

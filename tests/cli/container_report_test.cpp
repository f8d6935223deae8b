// Evidence containers and the carve report, end to end through qrv-cli: an
// EWF container made by ewfacquire from a FAT32 card scans and exports the
// same files as the raw card; every byte run of report.xml read back from the
// card reproduces its file; SHA256SUMS passes sha256sum -c; damaged segment
// sets are refused or reported, never a crash; verify finds a mismatch.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>

#include "analysis/output.h"
#include "export/carve_report.h"
#include "platform/ewf_source.h"
#include "platform/output_file.h"
#include "platform/output_guard.h"
#include "sources/regions.h"
#include "sources/source_tree.h"
#include "support/disk_image.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

using namespace qrv;
namespace fs = std::filesystem;

namespace {

// An EWF segment set of the file raw at target.E01 (.E02 ... for every
// segmentMiB of media), made by ewfacquire without questions.
bool Make_Container(const std::string& raw, const std::string& target, int segmentMiB, std::string* skip) {
    if (!test::Have_Program("ewfacquire")) {
        *skip = "ewfacquire (ewf-tools) not installed";
        return false;
    }
    const std::string cmd = "ewfacquire -u -q -t '" + target + "' -f encase6 -c none -d sha1 -S " +
                            std::to_string(segmentMiB) + "MiB -C case -D card -E ev -e qrv -N test '" + raw +
                            "' > /dev/null 2>&1";
    return test::Run_Command(cmd) == 0 && fs::exists(target + ".E01");
}

// The exported .mp4 files under dir, by name relative to the recovery folder.
std::map<std::string, std::vector<uint8_t>> Exported(const std::string& recovery) {
    std::map<std::string, std::vector<uint8_t>> out;
    if (!fs::exists(recovery)) return out;
    for (const auto& e : fs::recursive_directory_iterator(recovery))
        if (e.is_regular_file() && e.path().extension() == ".mp4")
            out[fs::relative(e.path(), recovery).string()] = test::Read_File(e.path().string());
    return out;
}

struct TCard {
    test::TTempDir Dir{"qrv-container"};
    std::string Raw;
    std::string Skip;
};

// A FAT32 card with one deleted recording in its free clusters.
std::unique_ptr<TCard> Make_Card() {
    auto card = std::make_unique<TCard>();
    test::TVolumeLayout plan;
    plan.Fs = "FAT32";
    plan.VolumeBytes = 40 << 20;
    plan.ClusterBytes = 512;
    plan.Files = {{"LIVE.TXT", test::Pattern_Bytes(30000, 5)}};
    auto made = test::Make_DiskImage(card->Dir.File("card.img"), plan, &card->Skip);
    if (!made) return card;
    test::TRecordingPlan rs;
    rs.Seconds = 2;
    rs.Seed = 31;
    const auto rec = test::Make_Recording(rs);
    const int64_t first =
        made->Find_FreeRun((int64_t(rec.Bytes.size()) + made->ClusterBytes) / made->ClusterBytes + 4);
    if (first < 0) {
        card->Skip = "no free run on the card";
        return card;
    }
    made->Write_Contiguous(first + 2, rec.Bytes);
    card->Raw = made->Path;
    return card;
}

const std::string kRecovery = "QRV_凯墨视频恢复文件夹";

uint32_t Adler32(const uint8_t* p, size_t n) {
    uint32_t a = 1, b = 0;
    for (size_t i = 0; i < n; ++i) {
        a = (a + p[i]) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

// Changes the MD5 and SHA-1 stored in the last segment's "hash" and "digest"
// sections (with their section checksums kept valid), as if the media had
// changed after acquisition.
void Alter_StoredHashes(const std::string& segment) {
    std::vector<uint8_t> d = test::Read_File(segment);
    const std::string s(d.begin(), d.end());
    for (const auto& [type, checked] : {std::pair<std::string, size_t>{"hash", 32}, {"digest", 76}}) {
        const size_t header = s.find(type + std::string(1, '\0'));
        ASSERT_NE(header, std::string::npos) << type;
        const size_t data = header + 76; // a section header is 76 bytes
        ASSERT_LE(data + checked + 4, d.size());
        d[data] ^= 0xFF;
        if (type == "digest") d[data + 16] ^= 0xFF; // the SHA-1 follows the MD5
        const uint32_t sum = Adler32(d.data() + data, checked);
        for (int i = 0; i < 4; ++i)
            d[data + checked + size_t(i)] = uint8_t(sum >> (8 * i));
    }
    test::Write_File(segment, d);
}

} // namespace

TEST(ContainerReport, ContainerExportsWhatTheCardDoesAndTheReportAccountsForEveryByte) {
    auto card = Make_Card();
    if (card->Raw.empty()) GTEST_SKIP() << card->Skip;
    std::string skip;
    const std::string e01Base = card->Dir.File("card");
    if (!Make_Container(card->Raw, e01Base, 8, &skip)) GTEST_SKIP() << skip;
    ASSERT_TRUE(fs::exists(e01Base + ".E02")) << "the card should span several segments";
    const std::string cli = test::Bin_Dir() + "/qrv-cli";
    const std::vector<uint8_t> media = test::Read_File(card->Raw);
    auto segmentBytes = [&] {
        std::vector<std::vector<uint8_t>> all;
        for (int i = 1; fs::exists(e01Base + ".E0" + std::to_string(i)); ++i)
            all.push_back(test::Read_File(e01Base + ".E0" + std::to_string(i)));
        return all;
    };
    const auto segmentsBefore = segmentBytes();

    struct TRun {
        std::string Name, Source;
    };
    const std::vector<TRun> runs = {{"raw", card->Raw}, {"e01", e01Base + ".E01"}};
    std::map<std::string, std::map<std::string, std::vector<uint8_t>>> files;
    for (const auto& r : runs) {
        SCOPED_TRACE(r.Name);
        const std::string out = card->Dir.File("out-" + r.Name);
        fs::create_directories(out);
        std::string json, text;
        ASSERT_EQ(
            test::Run_Command(cli + " scan '" + r.Source + "' --quiet --json --export '" + out + "'", &json),
            0);
        const std::string recovery = out + "/" + kRecovery;
        files[r.Name] = Exported(recovery);
        ASSERT_FALSE(files[r.Name].empty());
        // --json: the report's path, and per file its digest and runs.
        EXPECT_NE(json.find("\"report\": \"" + recovery + "/report.xml\""), std::string::npos) << json;
        EXPECT_NE(json.find("\"sha256\": \""), std::string::npos);
        EXPECT_NE(json.find("\"runs\": [{\"file_offset\": 0"), std::string::npos);

        const std::string reportPath = recovery + "/report.xml";
        ASSERT_TRUE(fs::exists(reportPath));
        if (test::Have_Program("xmllint")) {
            EXPECT_EQ(test::Run_Command("xmllint --noout '" + reportPath + "'"), 0)
                << "report.xml is not well-formed";
        }
        EXPECT_EQ(test::Run_Command("cd '" + recovery + "' && sha256sum --quiet -c SHA256SUMS"), 0);

        // Walk every fileobject's runs against the card's own bytes.
        const auto xmlBytes = test::Read_File(reportPath);
        const std::string xml(xmlBytes.begin(), xmlBytes.end());
        EXPECT_NE(xml.find("<image_size>" + std::to_string(media.size()) + "</image_size>"),
                  std::string::npos);
        EXPECT_NE(xml.find("<sectorsize>512</sectorsize>"), std::string::npos);
        EXPECT_NE(xml.find("name=\"libewf\""), std::string::npos);
        const std::regex objRe("<fileobject>([\\s\\S]*?)</fileobject>");
        const std::regex nameRe("<filename>([^<]*)</filename>");
        const std::regex sizeRe("<filesize>([0-9]+)</filesize>");
        const std::regex runRe("<byte_run file_offset=\"([0-9]+)\"( img_offset=\"([0-9]+)\"| fill=\"0\"| "
                               "type=\"generated\"[^/]*?)"
                               " len=\"([0-9]+)\"[^/]*/>");
        size_t objects = 0;
        for (std::sregex_iterator it(xml.begin(), xml.end(), objRe), end; it != end; ++it, ++objects) {
            const std::string obj = (*it)[1];
            std::smatch m;
            ASSERT_TRUE(std::regex_search(obj, m, nameRe));
            const std::string name = m[1];
            ASSERT_TRUE(files[r.Name].count(name)) << name;
            const std::vector<uint8_t>& want = files[r.Name][name];
            ASSERT_TRUE(std::regex_search(obj, m, sizeRe));
            EXPECT_EQ(std::stoll(m[1]), int64_t(want.size()));
            std::vector<uint8_t> rebuilt;
            for (std::sregex_iterator ri(obj.begin(), obj.end(), runRe), re; ri != re; ++ri) {
                const int64_t at = std::stoll((*ri)[1]), len = std::stoll((*ri)[4]);
                ASSERT_EQ(at, int64_t(rebuilt.size())) << name << ": runs must tile the file";
                if ((*ri)[3].matched) {
                    const int64_t img = std::stoll((*ri)[3]);
                    ASSERT_LE(img + len, int64_t(media.size()));
                    rebuilt.insert(rebuilt.end(), media.begin() + img, media.begin() + img + len);
                } else if ((*ri)[2].str().find("fill") != std::string::npos) {
                    rebuilt.insert(rebuilt.end(), size_t(len), 0);
                } else {
                    // The synthesized head: the template, then its 64-bit mdat size.
                    ASSERT_EQ(at, 0);
                    ASSERT_EQ(len, 48);
                    rebuilt.insert(rebuilt.end(), kHeadTemplate, kHeadTemplate + 40);
                    rebuilt.insert(rebuilt.end(), want.begin() + 40, want.begin() + 48);
                }
            }
            EXPECT_TRUE(rebuilt == want) << name << ": the byte runs do not reproduce the file";
        }
        EXPECT_EQ(objects, files[r.Name].size());
    }
    // The container gives the very files the card gives.
    EXPECT_TRUE(files["raw"] == files["e01"]);

    // verify: the intact set matches, a set whose media was changed does not.
    std::string said;
    EXPECT_EQ(test::Run_Command(cli + " verify '" + e01Base + ".E01'", &said), 0) << said;
    EXPECT_NE(said.find("verified"), std::string::npos);

    EXPECT_TRUE(segmentBytes() == segmentsBefore) << "a segment file changed";

    // The image node's properties show the hashes stored at acquisition.
    std::string md5, sha1;
    ASSERT_EQ(test::Run_Command("md5sum < '" + card->Raw + "'", &md5), 0);
    ASSERT_EQ(test::Run_Command("sha1sum < '" + card->Raw + "'", &sha1), 0);
    TTreeData node;
    node.Level = 1;
    node.Hddtype = HDD_IMAGE;
    node.HddNumber = "Image File";
    node.HddModel = e01Base + ".E01";
    node.PerSecBytes = 512;
    std::map<std::string, std::string> props;
    for (const auto& [name, value] : Node_Properties(node))
        props[name] = value;
    EXPECT_EQ(props["存储的MD5"], md5.substr(0, 32));
    EXPECT_EQ(props["存储的SHA-1"], sha1.substr(0, 40));
    int segments = 0;
    while (fs::exists(e01Base + ".E0" + std::to_string(segments + 1)))
        ++segments;
    EXPECT_EQ(props["容器格式"], "EWF (" + std::to_string(segments) + " segment(s))");

    // Opened as an image (the window's "打开镜像"): the media's size, and the card's volume found at its
    // start.
    TSourceTree tree;
    const TOpenImageResult opened = Open_Image(tree, e01Base + ".E01");
    ASSERT_TRUE(opened.Node) << opened.Message;
    EXPECT_EQ(opened.Node->Data.TotalSpace, int64_t(media.size()));
    ASSERT_EQ(opened.Regions.size(), 1u);
    EXPECT_EQ(opened.Regions[0]->Data.HddFs, "FAT32");

    // Every segment of the set is the source: the output guard refuses each, the rest of the folder not.
    const TOutputGuard guard({e01Base + ".E01"});
    for (int i = 1; i <= segments; ++i)
        EXPECT_FALSE(guard.Check_File(e01Base + ".E0" + std::to_string(i)).Allowed()) << i;
    EXPECT_TRUE(guard.Check_File(card->Dir.File("other.bin")).Allowed());
}

// A new file or folder named as a segment the set could grow into (card.E02
// beside a one-segment card.E01, then .E99, .EAA ... .EZZ) would break the
// set: it is refused as the source itself, also through links; other names,
// another letter case, and the same names elsewhere are not. The set still
// verifies afterwards.
TEST(ContainerReport, NamesTheSetCouldGrowIntoAreRefused) {
    test::TTempDir dir("qrv-segnames");
    const std::string raw = dir.File("media.raw");
    test::Write_File(raw, test::Pattern_Bytes(256 << 10, 3));
    std::string skip;
    if (!Make_Container(raw, dir.File("card"), 1, &skip)) QRV_SKIP_WITHOUT(skip);
    ASSERT_FALSE(fs::exists(dir.File("card.E02"))) << "the set was to have one segment";
    fs::create_directories(dir.File("sub"));
    fs::create_symlink(dir.Path(), dir.File("sub/up"));
    fs::create_symlink(dir.File("card.EAB"), dir.File("trap"));
    const auto segment = test::Read_File(dir.File("card.E01"));
    const std::string cwd = fs::current_path();
    ASSERT_EQ(::chdir(dir.Path().c_str()), 0);

    const TOutputGuard guard({"card.E01"});
    struct TCase {
        std::string Target;
        bool Refused;
    };
    const TCase cases[] = {
        {"card.E01", true},      {"card.E02", true},        {dir.File("card.E99"), true},
        {"card.EAA", true},      {"card.EZZ", true},        {"card.FAA", false},
        {"card.QRV", false},      {"sub/up/card.E03", true}, {"./sub/../card.E07/", true},
        {"trap", true},          {"card.E00", false},       {"card.E100", false},
        {"card.Ex02", false},    {"card.E0A", false},       {"card.DAA", false},
        {"card.e02", false},     {"card.EAa", false},       {"card.img", false},
        {"card.E02.QRV", false}, {"cards.E02", false},      {"sub/card.E02", false},
    };
    for (const auto& c : cases) {
        for (const bool folder : {false, true}) {
            const TGuardVerdict v = folder ? guard.Check_Folder(c.Target) : guard.Check_File(c.Target);
            EXPECT_EQ(v.Cause, c.Refused ? TGuardCause::SameFile : TGuardCause::None)
                << c.Target << (folder ? " (folder)" : "") << ": " << v.Detail;
        }
        TGuardVerdict refusal;
        EXPECT_EQ(TOutputFile::Create(c.Target, guard, &refusal) == nullptr, c.Refused) << c.Target;
        if (c.Refused) {
            EXPECT_EQ(refusal.Reason, "为避免覆盖,不能写入源本身!") << c.Target;
        }
    }
    // The name rule of the other schemes, as libewf grows them.
    struct TName {
        const char *First, *Name;
        bool Grows;
    };
    const TName names[] = {
        {"card.Ex01", "card.Ex02", true}, {"card.Ex01", "card.ExAA", true},  {"card.Ex01", "card.FxZZ", false},
        {"card.Ex01", "card.E02", false}, {"card.Ex01", "card.Ey02", false}, {"c.s01", "c.s37", true},
        {"c.L01", "c.LZZ", true},         {"c.L01", "c.E02", false},         {"card.E02", "card.E03", false},
        {"c.s01", "c.S37", false},        {"c.e01", "c.eaa", true},          {"card.img", "card.E02", false},
    };
    for (const auto& n : names)
        EXPECT_EQ(Ewf_IsSegmentName(n.First, n.Name), n.Grows) << n.First << " -> " << n.Name;

    // Through qrv-cli: refused before the scan; nothing is made and the set still verifies.
    const std::string cli = test::Bin_Dir() + "/qrv-cli";
    for (const std::string& args : {std::string("--save card.E02"), std::string("--export card.EAA")}) {
        std::string said;
        EXPECT_EQ(test::Run_Command(cli + " scan card.E01 " + args + " 2>&1", &said), 1) << args << "\n"
                                                                                         << said;
        EXPECT_NE(said.find("为避免覆盖,不能写入源本身!"), std::string::npos) << args << "\n" << said;
    }
    for (const char* name : {"card.E02", "card.EAA", "card.EAB", "card.E07"})
        EXPECT_FALSE(fs::exists(name)) << name << " was made";
    EXPECT_TRUE(test::Read_File("card.E01") == segment) << "the segment file changed";
    std::string said;
    EXPECT_EQ(test::Run_Command(cli + " verify card.E01", &said), 0) << said;
    ASSERT_EQ(::chdir(cwd.c_str()), 0);
}

TEST(ContainerReport, DamagedSegmentSetsAreRefusedCleanly) {
    test::TTempDir dir("qrv-damaged");
    const std::string raw = dir.File("media.raw");
    test::Write_File(raw, test::Pattern_Bytes(3 << 20, 9));
    std::string skip;
    const std::string cli = test::Bin_Dir() + "/qrv-cli";
    struct TCase {
        const char* Name;
        std::function<void(const std::string& base)> Damage;
        int VerifyExit;   // what qrv-cli verify returns
        const char* Says; // text verify prints (stdout or stderr)
        bool ScanOpens;   // whether the scan can open the set at all
    };
    const std::vector<TCase> cases = {
        {"intact", [](const std::string&) {}, 0, "verified", true},
        {"missing .E02", [](const std::string& b) { fs::remove(b + ".E02"); }, 1, "incomplete", false},
        {"truncated last segment", [](const std::string& b) { fs::resize_file(b + ".E03", 4000); }, 1, "",
         false},
        {"flipped media bytes",
         [](const std::string& b) {
             test::Write_At(b + ".E02", 600000, {1, 2, 3, 4, 5});
         },
         1, "read error at media offset", true},
        {"flipped header bytes",
         [](const std::string& b) { test::Write_At(b + ".E01", 13, std::vector<uint8_t>(64, 0xEE)); }, 1, "",
         false},
        {"stored hashes that differ from the media",
         [](const std::string& b) { Alter_StoredHashes(b + ".E04"); }, 1, "MISMATCH", true},
        // An EWF2 segment file: the installed libewf may not read the format; then it is refused by name.
        {"EWF2 segment file",
         [](const std::string& b) {
             auto bytes = test::Read_File(b + ".E01");
             const uint8_t evf2[8] = {'E', 'V', 'F', '2', 0x0d, 0x0a, 0x81, 0x00};
             std::copy(evf2, evf2 + 8, bytes.begin());
             test::Write_File(b + ".E01", bytes);
         },
         1, "EWF2 (.Ex01) container", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string base = dir.File(std::string("set-") + std::to_string(&c - cases.data()));
        if (!Make_Container(raw, base, 1, &skip)) GTEST_SKIP() << skip;
        ASSERT_TRUE(fs::exists(base + ".E04"));
        c.Damage(base);
        std::string out;
        const int rc = test::Run_Command(cli + " verify '" + base + ".E01' 2>&1", &out);
        EXPECT_EQ(rc, c.VerifyExit) << out;
        EXPECT_NE(out.find(c.Says), std::string::npos) << out;
        std::string scanned;
        const int scan = test::Run_Command(cli + " scan '" + base + ".E01' --quiet 2>&1", &scanned);
        std::smatch m;
        if (std::regex_search(out, m, std::regex("read error at media offset ([0-9]+)"))) {
            // The chunk that failed its checksum, at its own media offset (not
            // the start of the read that met it); the scan reads around it,
            // names that one chunk and fails.
            const int64_t bad = std::stoll(m[1]);
            EXPECT_EQ(bad % 32768, 0) << bad;
            EXPECT_NE(bad % (1 << 20), 0) << bad;
            EXPECT_EQ(scan, 1) << scanned;
            EXPECT_NE(scanned.find("扇区无法读取,以零填充,偏移:" + std::to_string(bad) + ",长度:32768"),
                      std::string::npos)
                << scanned;
        } else {
            EXPECT_EQ(scan, c.ScanOpens ? 0 : 1) << scanned;
        }
    }
}

TEST(ContainerReport, ReportTextIsSafeAndRunsAreExact) {
    // Untrusted camera-model bytes in XML; names sha256sum -c must read back.
    struct TText {
        std::string In, Out;
    };
    const std::vector<TText> texts = {
        {"DV-A8", "DV-A8"},
        {"A&B<C>\"'", "A&amp;B&lt;C&gt;&quot;&apos;"},
        {std::string("x\x01y\0z", 5), "x\xEF\xBF\xBDy\xEF\xBF\xBDz"},
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                 // overlong encoding
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // a surrogate
        {"\xE6\x91\x84\xE5\x83\x8F", "\xE6\x91\x84\xE5\x83\x8F"}, // 摄像 stays
        {"\xE6\x91", "\xEF\xBF\xBD\xEF\xBF\xBD"},                 // cut short
        {"a\nb", "a&#10;b"},
    };
    for (const auto& t : texts)
        EXPECT_EQ(Xml_Text(t.In), t.Out) << t.In;

    TCarveReport rep;
    TReportFile f;
    f.Name = "QRV_File_0/a\\b\nc.mp4";
    f.Sha256 = std::string(64, 'a');
    rep.Files = {f};
    EXPECT_EQ(Sha256Sums_Text(rep), "\\" + std::string(64, 'a') + "  QRV_File_0/a\\\\b\\nc.mp4\n");

    // Runs: neighbours of one kind merge, a gap in the source or a change of kind does not;
    // a write that is not at the end spoils the digest.
    TFileRecorder rec;
    const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    rec.On_Write(bytes, 4, 0);
    rec.On_Write(bytes + 4, 4, 4);
    rec.On_Run(0, 2, 1000, TWriteTap::RUN_SOURCE);
    rec.On_Run(2, 2, 1002, TWriteTap::RUN_SOURCE);
    rec.On_Run(4, 1, 5000, TWriteTap::RUN_SOURCE);
    rec.On_Run(5, 1, -1, TWriteTap::RUN_ZERO);
    rec.On_Run(6, 2, -1, TWriteTap::RUN_ZERO);
    TReportFile got;
    ASSERT_TRUE(rec.Finish(got));
    EXPECT_EQ(got.Size, 8);
    // sha256 of 01..08
    EXPECT_EQ(got.Sha256, "66840dda154e8a113c31dd0ad32f7f3a366a80e8136979d8f5a101d3d29d6f72");
    ASSERT_EQ(got.Runs.size(), 3u);
    EXPECT_EQ(got.Runs[0].Length, 4);
    EXPECT_EQ(got.Runs[0].ImgOffset, 1000);
    EXPECT_EQ(got.Runs[1].ImgOffset, 5000);
    EXPECT_EQ(got.Runs[2].Length, 3);
    EXPECT_EQ(got.Runs[2].ImgOffset, -1);
    TFileRecorder patched;
    patched.On_Write(bytes, 8, 0);
    patched.On_Write(bytes, 2, 0);
    EXPECT_FALSE(patched.Finish(got));
}

namespace {

// A medium whose reads fail where they touch [BadFrom, BadTo).
class TFlakySource final : public TSource {
  public:
    TFlakySource(std::vector<uint8_t> bytes, int64_t from, int64_t to)
        : mem_(std::move(bytes)), from_(from), to_(to) {}
    int64_t Read_At(void* buf, size_t len, int64_t off) override {
        if (off < to_ && off + int64_t(len) > from_) return -1;
        return mem_.Read_At(buf, len, off);
    }
    int64_t Size() override { return mem_.Size(); }
    const std::string& Path() const override { return mem_.Path(); }

  private:
    TMemorySource mem_;
    int64_t from_, to_;
};

} // namespace

TEST(ContainerReport, CopiedRunsSayWhatWasReadWhatWasPastTheEndAndWhatFailed) {
    using R = TReportRun;
    const int S = TWriteTap::RUN_SOURCE, Z = TWriteTap::RUN_ZERO, U = TWriteTap::RUN_UNREAD;
    struct TCase {
        const char* Name;
        int64_t BadFrom, BadTo, Off, Len;
        std::vector<R> Runs; // file offset, length, source offset, kind
    };
    const std::vector<TCase> cases = {
        {"all read", -1, -1, 1024, 200000, {{0, 200000, 1024, S}}},
        {"a bad sector: only it is lost",
         65536,
         65537,
         0,
         200000,
         {{0, 65536, 0, S}, {65536, 512, 65536, U}, {66048, 133952, 66048, S}}},
        {"bad bytes across two sectors, from an unaligned start",
         100000,
         100600,
         1000,
         150000,
         {{0, 98840, 1000, S}, {98840, 1024, 99840, U}, {99864, 50136, 100864, S}}},
        {"past the end, from an unaligned start",
         -1,
         -1,
         250000,
         100000,
         {{0, 50000, 250000, S}, {50000, 50000, -1, Z}}},
    };
    test::TTempDir dir("qrv-runs");
    const auto media = test::Pattern_Bytes(300000, 4);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TFlakySource src(media, c.BadFrom, c.BadTo);
        auto out = TOutputFile::Create(dir.File("piece.bin"), TOutputGuard::Without_Sources());
        ASSERT_TRUE(out);
        TFileRecorder rec;
        out->Set_Tap(&rec);
        ASSERT_TRUE(Write_Piece(src, *out, PIECE_COPY, 0, c.Off, c.Len));
        ASSERT_TRUE(out->Commit_Replacing());
        TReportFile got;
        ASSERT_TRUE(rec.Finish(got));
        ASSERT_EQ(got.Runs.size(), c.Runs.size());
        for (size_t i = 0; i < c.Runs.size(); ++i) {
            EXPECT_EQ(got.Runs[i].FileOffset, c.Runs[i].FileOffset) << i;
            EXPECT_EQ(got.Runs[i].Length, c.Runs[i].Length) << i;
            EXPECT_EQ(got.Runs[i].ImgOffset, c.Runs[i].ImgOffset) << i;
            EXPECT_EQ(got.Runs[i].Kind, c.Runs[i].Kind) << i;
        }
        // The digest is the written file's.
        std::string sum;
        ASSERT_EQ(test::Run_Command("sha256sum < '" + dir.File("piece.bin") + "'", &sum), 0);
        EXPECT_EQ(got.Sha256, sum.substr(0, 64));
    }
}

// Where qrv-cli puts what it writes, and what it refuses before it starts:
// generated result-file names, export folders made before the scan, damaged
// result files reported as such, imaging ranges that cannot be copied, and
// every program's --help.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "support/recording_writer.h"
#include "support/test_env.h"

namespace fs = std::filesystem;
using namespace qrv;

namespace {

std::string Cli() {
    return test::Bin_Dir() + "/qrv-cli";
}

std::vector<std::string> Files_Under(const std::string& dir, const std::string& ext) {
    std::vector<std::string> out;
    if (!fs::exists(dir)) return out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && e.path().extension() == ext) out.push_back(e.path().string());
    return out;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace

// --save with a folder names the file after the source and the time; --export
// into folders that do not exist yet makes them (parents too) before the scan;
// a result file cut short loads as far as it is whole, with a distinct exit
// status and "damaged" in the JSON.
TEST(CliOutputs, GeneratedNamesMissingFoldersAndDamagedResultFiles) {
    test::TTempDir dir("qrv-outputs");
    const std::string img = dir.File("card.img");
    test::TRecordingPlan rs;
    rs.Seconds = 2;
    rs.Seed = 41;
    const auto rec = test::Make_Recording(rs);
    test::Write_File(img, std::vector<uint8_t>(8 << 20, 0));
    test::Write_At(img, 1 << 20, rec.Bytes);

    std::string said;
    ASSERT_EQ(test::Run_Command("TZ=UTC " + Cli() + " scan '" + img + "' --quiet --save '" +
                                    dir.File("results/") + "' --export '" + dir.File("new/deep") + "' 2>&1",
                                &said),
              0)
        << said;
    const auto saved = Files_Under(dir.File("results"), ".QRV");
    ASSERT_EQ(saved.size(), 1u) << said;
    // HddModel (the image's path) and yyyymmdd + the time, cleaned of / : and blanks.
    EXPECT_TRUE(
        std::regex_match(fs::path(saved[0]).filename().string(), std::regex(R"(.*card\.img-\d{14}\.QRV)")))
        << saved[0];
    const auto exported = Files_Under(dir.File("new/deep"), ".mp4");
    ASSERT_EQ(exported.size(), 1u) << said;
    EXPECT_TRUE(test::Read_File(exported[0]) == rec.Bytes);

    const std::string load = Cli() + " load '" + saved[0] + "' --source '" + img + "' --json 2>/dev/null";
    ASSERT_EQ(test::Run_Command(load, &said), 0) << said;
    EXPECT_EQ(said.rfind("{\"damaged\": false, \"loaded\": 1, ", 0), 0u) << said;

    // Cut inside the only record: nothing loads, and that is not success.
    fs::resize_file(saved[0], fs::file_size(saved[0]) - 20);
    EXPECT_EQ(test::Run_Command(load, &said), 3) << said;
    EXPECT_EQ(said.rfind("{\"damaged\": true, \"damaged_record\": 1, \"damaged_offset\": ", 0), 0u) << said;
    EXPECT_TRUE(Has(said, "\"loaded\": 0, \"results\": []")) << said;
    EXPECT_EQ(test::Run_Command(Cli() + " load '" + saved[0] + "' --source '" + img + "' 2>&1", &said), 3);
    EXPECT_TRUE(Has(said, "扫描结果文件已损坏")) << said;
    EXPECT_TRUE(Has(said, "damaged at record 1")) << said;
}

// Targets that cannot be used are refused before the scan starts.
TEST(CliOutputs, UnusableTargetsAreRefusedBeforeTheScan) {
    test::TTempDir dir("qrv-outputs");
    const std::string img = dir.File("card.img");
    test::Write_File(img, std::vector<uint8_t>(1 << 20, 0));
    test::Write_File(dir.File("plain.txt"), {'x'});
    struct TCase {
        std::string Name, Args, Said;
    };
    const std::vector<TCase> cases = {
        {"export below a plain file", "--export '" + dir.File("plain.txt/out") + "'", "创建文件夹出错"},
        {"save below a plain file", "--save '" + dir.File("plain.txt/r/") + "'", "创建文件夹出错"},
    };
    for (const auto& c : cases) {
        std::string said;
        EXPECT_EQ(test::Run_Command(Cli() + " scan '" + img + "' " + c.Args + " 2>&1", &said), 1) << c.Name;
        EXPECT_TRUE(Has(said, c.Said)) << c.Name << "\n" << said;
        EXPECT_FALSE(Has(said, "扫描开始")) << c.Name << ": the scan ran first\n" << said;
    }
}

// An end sector whose byte offset does not fit in 64 bits, or that lies
// beyond the medium, is refused: no image, no "镜像成功完成!".
TEST(CliOutputs, ImagingRangesThatCannotBeCopiedAreRefused) {
    ASSERT_TRUE(test::Have_Program("mkfs.fat")) << "mkfs.fat is needed";
    test::TTempDir dir("qrv-outputs");
    const std::string img = dir.File("card.img");
    ASSERT_EQ(test::Run_Command("truncate -s 40M '" + img + "' && mkfs.fat -F 32 '" + img + "' >/dev/null"),
              0);
    const int64_t sectors = (40 << 20) / 512;
    struct TCase {
        std::string End, Said;
    };
    const TCase cases[] = {
        {"18014398509481984", "扇区号过大,无法换算为字节偏移"},
        {"9223372036854775807", "扇区号过大,无法换算为字节偏移"},
        {std::to_string(sectors + 1), "结束扇区超出源的末尾"},
    };
    for (const auto& c : cases) {
        std::string said;
        EXPECT_EQ(test::Run_Command(Cli() + " image '" + img + "' --region 1 --out '" + dir.File("out") +
                                        "' --start 0 --end " + c.End + " 2>&1",
                                    &said),
                  1)
            << c.End << "\n"
            << said;
        EXPECT_TRUE(Has(said, c.Said)) << c.End << "\n" << said;
        EXPECT_FALSE(Has(said, "镜像成功完成!")) << said;
        EXPECT_TRUE(Files_Under(dir.Path(), ".img").size() == 1u) << c.End << ": an image was written";
    }
    std::string said;
    EXPECT_EQ(test::Run_Command(Cli() + " image '" + img + "' --region 1 --out '" + dir.File("out") +
                                    "' --start 0 --end " + std::to_string(sectors) + " 2>&1",
                                &said),
              0)
        << said;
    const auto copies = Files_Under(dir.File("out"), ".img");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_TRUE(test::Read_File(copies[0]) == test::Read_File(img));
}

// Every program answers --help with its usage on stdout and exit status 0,
// and writes nothing (a file named "--help" was once the result).
TEST(CliOutputs, EveryProgramAnswersHelp) {
    test::TTempDir dir("qrv-help");
    const std::string bin = test::Bin_Dir();
    std::vector<std::string> programs = {
        "qrv-cli",
        "qrv-cli scan",
        "qrv-cli load",
        "qrv-cli image",
        "qrv-cli list",
        "qrv-cli regions",
        "qrv-cli hex",
        "qrv-cli inspect",
        "qrv-make-demo-recording",
        "qrv-make-demo-card",
        "qrv-fuzz-seeds",
        "../tools/qrv-lngpack",
    };
    // Benchmarks are built only when asked for.
    for (const char* bench : {"scan_bench", "bench_pipeline"})
        if (fs::exists(bin + "/" + bench)) programs.push_back(bench);
    for (const auto& p : programs) {
        for (const char* flag : {"--help", "-h"}) {
            std::string said;
            EXPECT_EQ(test::Run_Command("cd '" + dir.Path() + "' && '" + bin + "/" +
                                            p.substr(0, p.find(' ')) + "'" +
                                            (p.find(' ') == std::string::npos ? "" : p.substr(p.find(' '))) +
                                            " " + flag + " 2>/dev/null",
                                        &said),
                      0)
                << p << " " << flag;
            EXPECT_TRUE(Has(said, "usage")) << p << " " << flag << ": " << said;
        }
    }
    EXPECT_TRUE(fs::is_empty(dir.Path())) << "a program wrote into its working folder";
}

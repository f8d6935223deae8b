// Where qrv-cli puts what it writes, and what it refuses before it starts:
// generated result-file names, export folders made before the scan, damaged
// result files reported as such, imaging ranges that cannot be copied, and
// every program's --help.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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

// Every name under dir (files, links, folders), relative to it, sorted.
std::vector<std::string> Names_Under(const std::string& dir) {
    std::vector<std::string> out;
    if (!fs::exists(dir)) return out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        out.push_back(fs::relative(e.path(), dir).string());
    std::sort(out.begin(), out.end());
    return out;
}

std::string Text_Of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A card image of 8 MiB with one recording at 1 MiB.
test::TRecording Make_Card(const std::string& img, int64_t size = 8 << 20) {
    test::TRecordingPlan rs;
    rs.Seconds = 2;
    rs.Seed = 41;
    auto rec = test::Make_Recording(rs);
    test::Write_File(img, {});
    fs::resize_file(img, uint64_t(size)); // sparse
    test::Write_At(img, 1 << 20, rec.Bytes);
    return rec;
}

// img attached read-only to a loop device for the life of the object (an
// image file itself is not imaged; a device is). Dev is empty when it fails.
struct TReadOnlyLoop {
    std::string Dev;
    explicit TReadOnlyLoop(const std::string& img) {
        if (test::Run_Command("losetup -f --show -r '" + img + "' 2>/dev/null", &Dev) != 0) Dev.clear();
        while (!Dev.empty() && (Dev.back() == '\n' || Dev.back() == ' '))
            Dev.pop_back();
    }
    ~TReadOnlyLoop() {
        if (!Dev.empty()) test::Run_Command("losetup -d '" + Dev + "'");
    }
};

// A small tmpfs mounted at dir for the life of the object (skipped when
// mounting is not possible); filled so that only `room` bytes stay free.
struct TSmallDisk {
    std::string Dir;
    bool Mounted = false;
    TSmallDisk(const std::string& dir, int64_t room) : Dir(dir) {
        fs::create_directories(dir);
        Mounted = test::Run_Command("mount -t tmpfs -o size=1m qrv-full '" + dir + "' 2>/dev/null") == 0;
        if (Mounted)
            test::Run_Command("head -c " + std::to_string((1 << 20) - room) + " /dev/zero > '" + dir +
                              "/filler' 2>/dev/null");
    }
    ~TSmallDisk() {
        if (Mounted) test::Run_Command("umount '" + Dir + "'");
    }
};

} // namespace

// Two exports of the same results into one folder: the first run's files stay
// byte for byte, the second takes the next free names, each run has its own
// report naming its own files, and SHA256SUMS covers both. A --save when the
// analysis found nothing says so and names no file.
TEST(CliOutputs, SecondExportKeepsTheFirstAndNothingFoundIsSaid) {
    test::TTempDir dir("qrv-outputs");
    const std::string img = dir.File("card.img");
    const auto rec = Make_Card(img);
    const std::string recovery = dir.File("out/QRV_凯墨视频恢复文件夹");
    const std::string scan =
        "TZ=UTC " + Cli() + " scan '" + img + "' --quiet --json --export '" + dir.File("out") + "'";
    struct TRun {
        std::string Report, Mp4;
    };
    const std::vector<TRun> runs = {{"report.xml", ""}, {"report-2.xml", ""}};
    std::vector<std::string> files;
    std::map<std::string, std::string> before;
    for (size_t i = 0; i < runs.size(); ++i) {
        std::string json;
        ASSERT_EQ(test::Run_Command(scan + " 2>/dev/null", &json), 0) << json;
        const auto now = Files_Under(recovery, ".mp4");
        ASSERT_EQ(now.size(), i + 1);
        for (const auto& [path, text] : before)
            EXPECT_EQ(Text_Of(path), text) << "run " << i + 1 << " changed " << path;
        std::string added;
        for (const auto& f : now)
            if (!before.count(f)) added = f;
        ASSERT_FALSE(added.empty());
        EXPECT_TRUE(test::Read_File(added) == rec.Bytes) << added;
        EXPECT_TRUE(Has(json, "\"files\": [\"" + added + "\"]")) << json;
        EXPECT_TRUE(Has(json, "\"report\": \"" + recovery + "/" + runs[i].Report + "\"")) << json;
        const std::string report = Text_Of(recovery + "/" + runs[i].Report);
        EXPECT_TRUE(Has(report, fs::path(added).filename().string())) << report;
        for (const auto& [path, text] : before)
            EXPECT_FALSE(Has(report, fs::path(path).filename().string()))
                << runs[i].Report << " lists " << path;
        before[added] = Text_Of(added);
        before[recovery + "/" + runs[i].Report] = report;
    }
    std::string said;
    EXPECT_EQ(test::Run_Command("cd '" + recovery + "' && sha256sum -c SHA256SUMS 2>&1", &said), 0) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << said;
    for (const auto& n : Names_Under(recovery))
        EXPECT_FALSE(Has(n, "qrv-part")) << n;

    // Nothing to rebuild: no file, and the user is told so.
    const std::string empty = dir.File("empty.img");
    test::Write_File(empty, std::vector<uint8_t>(1 << 20, 0));
    ASSERT_EQ(test::Run_Command(Cli() + " scan '" + empty + "' --quiet --json --save '" + dir.File("res/") +
                                    "' 2>" + dir.File("err.txt"),
                                &said),
              0);
    EXPECT_TRUE(Has(said, "\"saved\": null")) << said;
    EXPECT_TRUE(Has(Text_Of(dir.File("err.txt")), "no result file saved: nothing was found"));
    EXPECT_TRUE(Names_Under(dir.File("res")).empty());
}

// H.265 recordings (a movie box at the end, and one at the front) beside an
// H.264 one: no frame start of theirs matches, so their results hold only a
// file head or movie box. Such a row is listed with the reason, never checked
// and never written, whichever rows are asked for; the H.264 recording is.
TEST(CliOutputs, ARecordingWithoutMediaDataIsListedButNeverExported) {
    std::string encoders;
    test::Run_Command("ffmpeg -hide_banner -encoders 2>/dev/null", &encoders);
    if (!Has(encoders, "libx265")) QRV_SKIP_WITHOUT("ffmpeg without libx265");
    test::TTempDir dir("qrv-outputs");
    const std::string img = dir.File("card.img");
    const auto rec = Make_Card(img);
    const std::string hevc = "ffmpeg -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=25 -t 3 -c:v libx265 "
                             "-x265-params log-level=error -tag:v hvc1 ";
    ASSERT_EQ(test::Run_Command(hevc + "'" + dir.File("tail.mp4") + "'"), 0);
    ASSERT_EQ(test::Run_Command(hevc + "-movflags +faststart '" + dir.File("front.mp4") + "'"), 0);
    test::Write_At(img, 3 << 20, test::Read_File(dir.File("tail.mp4")));
    test::Write_At(img, 5 << 20, test::Read_File(dir.File("front.mp4")));

    const std::string scan = "TZ=UTC " + Cli() + " scan '" + img + "' --json --export '";
    std::string json, log;
    ASSERT_EQ(test::Run_Command(scan + dir.File("all") + "' 2>" + dir.File("log.txt"), &json), 0) << json;
    log = Text_Of(dir.File("log.txt"));
    const std::regex hidden("\\{\"number\": ([0-9]+), [^\n]*\"checked\": false, [^\n]*\"exportable\": false, "
                            "\"why\": \"没有发现媒体数据\"\\}");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(json, m, hidden)) << json;
    const std::string number = m[1];
    EXPECT_TRUE(Has(log, "没有发现媒体数据,不可导出;编号:" + number)) << log;
    EXPECT_TRUE(Has(json, "\"saved\": 1,")) << json;
    auto files = Files_Under(dir.File("all"), ".mp4");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(test::Read_File(files[0]) == rec.Bytes);

    // Asked for by number, it is still not checked: nothing to write, and the user is told.
    EXPECT_NE(test::Run_Command(scan + dir.File("one") + "' --rows " + number + " 2>/dev/null", &json), 0) << json;
    EXPECT_TRUE(Has(json, "\"export\": {\"ok\": false, \"message\": \"请选择要保存文件!\"}")) << json;
    EXPECT_TRUE(Files_Under(dir.File("one"), ".mp4").empty());
}

// A writer killed part way (SIGKILL, no chance to clean up) leaves only its
// dot-named temporary file: no final-named image or recording, and no cut one.
TEST(CliOutputs, AKilledWriterLeavesNoFinalName) {
    if (geteuid() != 0) GTEST_SKIP() << "imaging a loop device needs root";
    test::TTempDir dir("qrv-outputs");
    const std::string img = dir.File("card.img");
    const auto rec = Make_Card(img, int64_t(768) << 20);
    TReadOnlyLoop loop(img);
    if (loop.Dev.empty()) GTEST_SKIP() << "no loop device";
    struct TCase {
        std::string Name, Command, Ext;
    };
    const std::vector<TCase> cases = {
        {"image", Cli() + " image '" + loop.Dev + "' --out '" + dir.File("image") + "'", ".img"},
        {"export", Cli() + " scan '" + img + "' --quiet --export '" + dir.File("export") + "'", ".mp4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string target = dir.File(c.Name);
        fs::create_directories(target);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", ("exec " + c.Command + " >/dev/null 2>&1").c_str(), (char*)nullptr);
            _exit(127);
        }
        bool seen = false, ended = false;
        int status = 0;
        while (!seen && !ended) {
            for (const auto& n : Names_Under(target))
                seen = seen || Has(n, ".qrv-part-");
            ended = !seen && waitpid(pid, &status, WNOHANG) == pid;
        }
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        ASSERT_TRUE(seen) << "the writer ended before a temporary file was seen";
        // What was being written is still only a temporary file; a recording
        // that made it to its name before the kill is whole.
        for (const auto& f : Files_Under(target, c.Ext)) {
            ASSERT_EQ(c.Ext, ".mp4") << "a killed image copy left " << f;
            EXPECT_TRUE(test::Read_File(f) == rec.Bytes) << f;
        }
        EXPECT_TRUE(Files_Under(target, ".xml").empty() || c.Ext == ".mp4");
    }
}

// A target with no room: export, image and save fail with status 1, and no
// final-named file (whole or cut) nor temporary file is left on it.
TEST(CliOutputs, AFullTargetFailsAndLeavesNoFile) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    test::TTempDir dir("qrv-outputs");
    const std::string img = dir.File("card.img");
    Make_Card(img);
    TReadOnlyLoop loop(img);
    if (loop.Dev.empty()) GTEST_SKIP() << "no loop device";
    struct TCase {
        std::string Name, Args;
        int64_t Room;
        std::string Said;
    };
    const std::vector<TCase> cases = {
        {"export", "scan '" + img + "' --quiet --export '%'", 4096, "目标盘可用空间不够"},
        {"image", "image '" + loop.Dev + "' --out '%'", 4096, "剩余空间不足"},
        {"save", "scan '" + img + "' --quiet --save '%/'", 0, "写入扫描结果文件出错"},
        {"save to a name", "scan '" + img + "' --quiet --save '%/r.QRV'", 0, "写入扫描结果文件出错"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TSmallDisk disk(dir.File("full-" + std::to_string(&c - cases.data())), c.Room);
        if (!disk.Mounted) GTEST_SKIP() << "tmpfs cannot be mounted here";
        std::string args = c.Args;
        args.replace(args.find('%'), 1, disk.Dir);
        std::string said;
        EXPECT_EQ(test::Run_Command(Cli() + " " + args + " 2>&1", &said), 1) << said;
        EXPECT_TRUE(Has(said, c.Said)) << said;
        EXPECT_EQ(Names_Under(disk.Dir), std::vector<std::string>{"filler"}) << said;
    }
}

// --save with a folder names the file after the source and the time; --export
// into folders that do not exist yet makes them (parents too) before the scan;
// a result file cut short loads as far as it is whole, with a distinct exit
// status and "damaged" in the JSON.
// Result files and images made up by qrv-cli are named after the source's base
// name, whatever folder it lies in, as the window names them.
TEST(CliOutputs, MadeUpNamesFollowTheSourceBaseName) {
    if (!test::Have_Program("mkfs.fat")) GTEST_SKIP() << "mkfs.fat is missing";
    test::TTempDir dir("qrv-outputs");
    ASSERT_EQ(test::Run_Command(test::Bin_Dir() + "/qrv-make-demo-card '" + dir.Path() + "' >/dev/null 2>&1"), 0);
    const std::string card = dir.File("card.img");
    struct TCase {
        const char* Folder;
        std::string Args;
        const char* Name;
    } cases[] = {{"scan", "scan '" + card + "' --quiet --save '" + dir.File("scan") + "/'", R"(card\.img-\d{14}\.QRV)"},
                 {"image", "image '" + card + "' --region 1 --out '" + dir.File("image") + "'",
                  R"(card\.img-\d{14}\.img(\.hashes|\.map)?)"}};
    for (const auto& c : cases) {
        fs::create_directories(dir.File(c.Folder));
        std::string said;
        ASSERT_EQ(test::Run_Command(Cli() + " " + c.Args + " 2>&1", &said), 0) << said;
        // The image comes with its hashes and bad-sector map beside it.
        const auto names = Names_Under(dir.File(c.Folder));
        ASSERT_EQ(names.size(), c.Folder == std::string("image") ? 3u : 1u) << c.Folder << said;
        for (const auto& n : names)
            EXPECT_TRUE(std::regex_match(fs::path(n).filename().string(), std::regex(c.Name))) << n;
    }
}

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
    // The image's base name and yyyymmdd + the time, as the window names it.
    EXPECT_TRUE(
        std::regex_match(fs::path(saved[0]).filename().string(), std::regex(R"(card\.img-\d{14}\.QRV)")))
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
        {"save over an existing file", "--save '" + dir.File("plain.txt") + "'", "it is not overwritten"},
    };
    for (const auto& c : cases) {
        std::string said;
        EXPECT_EQ(test::Run_Command(Cli() + " scan '" + img + "' " + c.Args + " 2>&1", &said), 1) << c.Name;
        EXPECT_TRUE(Has(said, c.Said)) << c.Name << "\n" << said;
        EXPECT_FALSE(Has(said, "扫描开始")) << c.Name << ": the scan ran first\n" << said;
    }
    EXPECT_EQ(test::Read_File(dir.File("plain.txt")), std::vector<uint8_t>{'x'});
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

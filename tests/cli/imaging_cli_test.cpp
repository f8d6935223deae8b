// qrv-cli image as an examiner acquires, as a raw image and as an E01
// container: the MD5, SHA-1 and SHA-256 it writes beside the image are those
// md5sum, sha1sum and sha256sum give for the same range; sectors the medium
// refuses are zeros in the image (in the container too) and exactly the '-'
// runs of the map (GNU ddrescue's format); a container passes ewfverify and
// qrv-cli verify and holds the case data; an acquisition stopped with Ctrl-C
// part way says so, and a raw one continued from its map, or one killed with
// SIGKILL and continued from the map kept during the copy, gives the same
// image and digests as one made in one go.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/test_env.h"

namespace fs = std::filesystem;
using namespace qrv;

namespace {

std::string Cli() { return test::Bin_Dir() + "/qrv-cli"; }
bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
std::string Text(const std::string& path) {
    if (!fs::exists(path)) return "";
    const auto b = test::Read_File(path);
    return std::string(b.begin(), b.end());
}
std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

// The file with the given ending in folder ("" when none).
std::string Find(const std::string& folder, const std::string& ending) {
    if (!fs::exists(folder)) return "";
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string p = e.path().string();
        if (p.size() > ending.size() && p.compare(p.size() - ending.size(), ending.size(), ending) == 0) return p;
    }
    return "";
}

// "0xPOS  0xSIZE  S" lines of a map (comments and the status line left out).
std::vector<std::string> Map_Runs(const std::string& map) {
    std::vector<std::string> runs;
    std::istringstream in(map);
    std::string line;
    bool status = false;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (!status) {
            status = true;
            continue;
        }
        runs.push_back(line);
    }
    return runs;
}

std::string Hex(int64_t v) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%08llX", static_cast<long long>(v));
    return b;
}

std::string Sum(const std::string& tool, const std::string& file) {
    std::string out;
    test::Run_Command(tool + " '" + file + "'", &out);
    return out.substr(0, out.find(' '));
}

struct TCase {
    const char* Name;
    bool E01 = false;
    int64_t Start = -1, End = -1;       // sectors; -1: the whole source
    std::vector<std::pair<int64_t, int64_t>> Bad; // unreadable byte ranges of the source
    bool StopAndResume = false;
};

// A loop device over a file, read-only, detached at the end.
struct TLoop {
    std::string Dev;
    ~TLoop() {
        if (!Dev.empty()) test::Run_Command("losetup -d '" + Dev + "'");
    }
    bool Attach(const std::string& file) {
        if (::geteuid() != 0 || test::Run_Command("losetup -r -f --show '" + file + "' 2>/dev/null", &Dev) != 0) {
            Dev.clear();
            return false;
        }
        Dev = Trim(Dev);
        return true;
    }
};

// Starts cmd in its own process group with its output in json and log.
pid_t Spawn(const std::string& cmd, const std::string& json, const std::string& log) {
    const std::string line = "exec " + cmd + " >'" + json + "' 2>'" + log + "'";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

} // namespace

TEST(CliImaging, HashesMapAndResumeMatchWhatTheMediumHolds) {
    test::TTempDir dir("qrv-imaging");
    const std::string src = dir.File("card.img");
    const int64_t size = 6 << 20; // twelve imaging blocks and a bit
    std::vector<uint8_t> bytes(size_t(size), 0);
    std::mt19937 rnd(30);
    for (auto& b : bytes)
        b = uint8_t(rnd());
    test::Write_File(src, bytes);
    TLoop loop;
    if (!loop.Attach(src)) QRV_SKIP_WITHOUT("no loop device available (needs root and /dev/loop-control)");
    const std::string preload = test::Bin_Dir() + "/libqrv_fault_preload.so";
    ASSERT_TRUE(fs::exists(preload));
    if (!test::Have_Program("ewfverify") || !test::Have_Program("ewfexport")) QRV_SKIP_WITHOUT("ewf-tools missing");

    // Two sectors across a block edge, one inside a block and one at the
    // edge of the range's last block, each lost alone; its neighbours are read.
    const std::vector<std::pair<int64_t, int64_t>> bad = {{1049088, 1024}, {3000320, 512}, {6143488, 512}};
    const std::vector<TCase> cases = {
        {"whole", false, -1, -1, {}, false},
        {"range", false, 100, 9000, {}, false},
        {"bad", false, 8, 12000, bad, false},
        {"stopped", false, 16, 12280, {{2097152, 512}}, true},
        {"e01-whole", true, -1, -1, {}, false},
        {"e01-bad", true, 8, 12000, bad, false},
        // An E01 stopped part way is not kept and cannot be continued; it says so.
        {"e01-stopped", true, 16, 12280, {}, true},
    };
    int n = 0;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string out = dir.File(std::string("out-") + c.Name);
        const int64_t first = c.Start < 0 ? 0 : c.Start * 512;
        const int64_t last = c.End < 0 ? size : c.End * 512;
        std::string env = "env LD_PRELOAD='" + preload + "' QRV_FAULT_FILE='" + loop.Dev +
                          "' ASAN_OPTIONS=\"$ASAN_OPTIONS:verify_asan_link_order=0\" ";
        if (!c.Bad.empty()) {
            env += "QRV_FAULT_EIO=";
            for (size_t i = 0; i < c.Bad.size(); ++i)
                env += (i ? "," : "") + std::to_string(c.Bad[i].first) + ":" + std::to_string(c.Bad[i].second);
            env += " ";
        }
        std::string cmd = Cli() + " image " + loop.Dev + " --out '" + out + "' --json --verify";
        if (c.E01)
            cmd += " --format e01 --compression fast --segment-size 2M --case-number 'C-7' --examiner '李工'"
                   " --notes 'SD card, body camera 3'";
        const std::string ext = c.E01 ? ".E01" : ".img";
        if (c.Start >= 0) cmd += " --start " + std::to_string(c.Start) + " --end " + std::to_string(c.End);
        const std::string log = dir.File(std::to_string(++n) + ".log"), json = dir.File(std::to_string(n) + ".json");

        int64_t resumed = 0;
        if (c.StopAndResume) {
            // Slow reads, so that Ctrl-C comes part way, as a person presses it.
            const pid_t pid = Spawn(env + "QRV_FAULT_DELAY_US=40000 " + cmd, json, log);
            ASSERT_GE(pid, 0);
            for (int i = 0; i < 200 && !Has(Text(log), "镜像开始"); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ::kill(pid, SIGINT);
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
            ASSERT_TRUE(WIFEXITED(status)) << status;
            EXPECT_EQ(WEXITSTATUS(status), 4) << Text(log);
            EXPECT_TRUE(Has(Text(log), "镜像已停止! 最后写入的扇区:")) << Text(log);
            EXPECT_FALSE(Has(Text(log), "镜像成功完成!")) << Text(log);
            EXPECT_TRUE(Has(Text(json), "\"stopped\": true")) << Text(json);
            const std::string map = Find(out, ext + ".map");
            ASSERT_FALSE(map.empty());
            EXPECT_TRUE(Has(Text(log), "映射文件已保存:" + map)) << Text(log);
            EXPECT_EQ(Find(out, ".hashes"), "");
            const auto runs = Map_Runs(Text(map));
            ASSERT_FALSE(runs.empty());
            if (c.E01) {
                // Nothing under a segment's name, no staged segments left behind.
                EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator{}), 1) << Text(map);
                EXPECT_EQ(test::Run_Command(cmd + " --map '" + map + "' >/dev/null 2>/dev/null"), 2);
                continue;
            }
            const std::string partial = Find(out, ".img.partial");
            ASSERT_FALSE(partial.empty());
            const int64_t done = int64_t(fs::file_size(partial));
            EXPECT_GT(done, 0);
            EXPECT_LT(done, last - first);
            // The first pass skipped the failing sector's area, left to do ('?') like the tail.
            EXPECT_EQ(runs.back(), Hex(done) + "  " + Hex(last - first - done) + "  ?") << Text(map);
            for (const std::string& r : runs)
                if (r.back() != '?') resumed += std::stoll(r.substr(12), nullptr, 16);
            // Another range is refused, and nothing is touched.
            EXPECT_EQ(test::Run_Command(cmd + " --map '" + map + "' --start 0 >/dev/null 2>'" + log + "'"), 1);
            EXPECT_TRUE(Has(Text(log), "无法继续镜像:映射文件不属于此镜像源或扇区范围")) << Text(log);
            EXPECT_EQ(int64_t(fs::file_size(partial)), done);
            // Continued from its map, with the medium failing the same way.
            cmd += " --map '" + map + "'";
        }
        const int rc = test::Run_Command(env + cmd + " >'" + json + "' 2>'" + log + "'");
        EXPECT_EQ(rc, c.Bad.empty() ? 0 : 1) << Text(log);
        const std::string image = Find(out, ext);
        ASSERT_FALSE(image.empty()) << Text(log);
        EXPECT_EQ(Find(out, ".partial"), "");
        // The bytes the container holds, exported by libewf's own tool.
        std::string bytesOf = image;
        if (c.E01) {
            EXPECT_EQ(test::Run_Command("ewfverify -q '" + image + "' >/dev/null 2>&1"), 0);
            EXPECT_EQ(test::Run_Command(Cli() + " verify '" + image + "' >/dev/null 2>&1"), 0);
            std::string info;
            test::Run_Command("ewfinfo '" + image + "'", &info);
            EXPECT_TRUE(Has(info, "Case number:\t\tC-7") && Has(info, "Examiner name:\t\t李工") &&
                        Has(info, "Notes:\t\t\tSD card, body camera 3"))
                << info;
            EXPECT_TRUE(Has(Text(json), "\"segments\": [\"" + image + "\", \"")) << Text(json);
            bytesOf = dir.File(std::string("export-") + c.Name);
            ASSERT_EQ(test::Run_Command("ewfexport -q -u -f raw -t '" + bytesOf + "' '" + image + "' >/dev/null 2>&1"), 0);
            bytesOf += ".raw";
        }

        // Bytes: the range of the source with only the refused sectors zero.
        std::vector<uint8_t> want(bytes.begin() + first, bytes.begin() + last);
        int64_t badBytes = 0;
        std::vector<std::string> wantRuns;
        int64_t at = 0;
        for (const auto& [off, len] : c.Bad) {
            std::fill_n(want.begin() + (off - first), len, 0);
            if (off - first > at) wantRuns.push_back(Hex(at) + "  " + Hex(off - first - at) + "  +");
            wantRuns.push_back(Hex(off - first) + "  " + Hex(len) + "  -");
            at = off - first + len;
            badBytes += len;
        }
        if (at < last - first) wantRuns.push_back(Hex(at) + "  " + Hex(last - first - at) + "  +");
        EXPECT_TRUE(test::Read_File(bytesOf) == want);
        EXPECT_EQ(Map_Runs(Text(image + ".map")), wantRuns) << Text(image + ".map");
        // GNU ddrescue's own reader lists exactly those sectors as bad (when it is installed).
        if (test::Have_Program("ddrescuelog")) {
            std::string listed, want512;
            test::Run_Command("ddrescuelog -b 512 -l- '" + image + ".map'", &listed);
            for (const auto& [off, len] : c.Bad)
                for (int64_t s = (off - first) / 512; s < (off - first + len) / 512; ++s)
                    want512 += std::to_string(s) + "\n";
            EXPECT_EQ(listed, want512);
        }
        EXPECT_TRUE(Has(Text(json), "\"unreadable_bytes\": " + std::to_string(badBytes) + ",")) << Text(json);
        EXPECT_TRUE(Has(Text(json), "\"resumed_from\": " + std::to_string(resumed) + ",")) << Text(json);
        if (badBytes) {
            EXPECT_TRUE(Has(Text(log), "无法读取的字节数:" + std::to_string(badBytes))) << Text(log);
        }

        // Digests: those of the tools over the same bytes, in the sidecar, the log and the JSON.
        const std::string copy = dir.File(std::string("want-") + c.Name);
        test::Write_File(copy, want);
        const std::string md5 = Sum("md5sum", copy), sha1 = Sum("sha1sum", copy), sha256 = Sum("sha256sum", copy);
        EXPECT_EQ(Text(image + ".hashes"), "MD5  " + md5 + "\nSHA1  " + sha1 + "\nSHA256  " + sha256 + "\n");
        EXPECT_TRUE(Has(Text(log), "镜像哈希值  SHA256: " + sha256)) << Text(log);
        EXPECT_TRUE(Has(Text(json), "\"sha1\": \"" + sha1 + "\"")) << Text(json);
        EXPECT_TRUE(Has(Text(json), "\"verified\": true")) << Text(json);
        EXPECT_TRUE(Has(Text(log), "镜像成功完成!")) << Text(log);
    }
}

// An acquisition killed with SIGKILL part way leaves the map it kept during
// the copy (the area the first pass skipped and the tail still to do) and the
// unfinished image under a temporary name; continued from that map, with the
// medium reading again, the image and its digests equal those of an
// acquisition made in one go.
TEST(CliImaging, KilledAcquisitionContinuesFromItsMap) {
    test::TTempDir dir("qrv-imaging-kill");
    const std::string src = dir.File("card.img");
    std::vector<uint8_t> bytes(size_t(24) << 20);
    std::mt19937 rnd(31);
    for (auto& b : bytes)
        b = uint8_t(rnd());
    test::Write_File(src, bytes);
    TLoop loop;
    if (!loop.Attach(src)) QRV_SKIP_WITHOUT("no loop device available (needs root and /dev/loop-control)");
    const std::string preload = test::Bin_Dir() + "/libqrv_fault_preload.so";
    const std::string out = dir.File("out"), json = dir.File("1.json"), log = dir.File("1.log");
    const std::string cmd = Cli() + " image " + loop.Dev + " --out '" + out + "' --json";

    // Slow reads and a failing sector in the second block.
    const pid_t pid = Spawn("env LD_PRELOAD='" + preload + "' QRV_FAULT_FILE='" + loop.Dev +
                                "' QRV_FAULT_EIO=600000:512 QRV_FAULT_DELAY_US=100000 "
                                "ASAN_OPTIONS=\"$ASAN_OPTIONS:verify_asan_link_order=0\" " + cmd,
                            json, log);
    ASSERT_GT(pid, 0);
    std::string map;
    for (int i = 0; i < 500 && map.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        map = Find(out, ".img.map");
    }
    ::kill(-pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_FALSE(map.empty()) << Text(log);
    ASSERT_TRUE(WIFSIGNALED(status)) << Text(log);
    EXPECT_EQ(Find(out, ".img"), "");
    const auto runs = Map_Runs(Text(map));
    ASSERT_GE(runs.size(), 3u) << Text(map);
    EXPECT_EQ(runs[0], Hex(0) + "  " + Hex(599552) + "  +") << Text(map); // up to the failing sector
    EXPECT_EQ(runs[1].back(), '?') << Text(map);                           // skipped past it
    EXPECT_EQ(runs.back().back(), '?') << Text(map);                       // not reached yet

    // Continued with the medium reading: the whole source, in one piece.
    EXPECT_EQ(test::Run_Command(cmd + " --map '" + map + "' >'" + json + "' 2>'" + log + "'"), 0) << Text(log);
    const std::string image = Find(out, ".img");
    ASSERT_FALSE(image.empty()) << Text(log);
    EXPECT_TRUE(test::Read_File(image) == bytes);
    EXPECT_EQ(Map_Runs(Text(map)), std::vector<std::string>{Hex(0) + "  " + Hex(int64_t(bytes.size())) + "  +"});
    EXPECT_TRUE(Has(Text(json), "\"resumed_from\": ")) << Text(json);
    EXPECT_FALSE(Has(Text(json), "\"resumed_from\": 0,")) << Text(json);
    // No temporary file of the killed run is left.
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator{}), 3);

    // The same digests as an acquisition in one go, and as the tools give.
    const std::string once = dir.File("once");
    ASSERT_EQ(test::Run_Command(Cli() + " image " + loop.Dev + " --out '" + once + "' >/dev/null 2>&1"), 0);
    EXPECT_EQ(Text(image + ".hashes"), Text(Find(once, ".img") + ".hashes"));
    EXPECT_EQ(Text(image + ".hashes"), "MD5  " + Sum("md5sum", src) + "\nSHA1  " + Sum("sha1sum", src) +
                                           "\nSHA256  " + Sum("sha256sum", src) + "\n");
}

// An E01 made by qrv-cli image is a source like the raw image made of the same
// volume: scanning and exporting each gives the same recordings, byte for byte.
TEST(CliImaging, AnE01ScansToTheSameRecordingsAsTheRawImage) {
    if (!test::Have_Program("mkfs.fat")) QRV_SKIP_WITHOUT("mkfs.fat missing");
    test::TTempDir dir("qrv-imaging-e01-scan");
    ASSERT_EQ(test::Run_Command(test::Bin_Dir() + "/qrv-make-demo-card '" + dir.Path() + "' >/dev/null 2>&1"), 0);
    const std::string card = dir.File("card.img");
    std::vector<std::vector<std::string>> sums;
    for (const std::string format : {"raw", "e01"}) {
        SCOPED_TRACE(format);
        const std::string folder = dir.File(format);
        fs::create_directories(folder);
        std::string said;
        ASSERT_EQ(test::Run_Command(Cli() + " image '" + card + "' --region 1 --format " + format +
                                        (format == "e01" ? " --compression fast" : "") + " --out '" + folder + "' 2>&1",
                                    &said),
                  0)
            << said;
        const std::string image = Find(folder, format == "raw" ? ".img" : ".E01");
        ASSERT_FALSE(image.empty()) << said;
        const std::string out = folder + "/out";
        fs::create_directories(out);
        ASSERT_EQ(test::Run_Command(Cli() + " scan '" + image + "' --quiet --export '" + out + "' 2>&1", &said), 0)
            << said;
        std::vector<std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(out))
            if (e.path().extension() == ".mp4") files.push_back(Sum("sha256sum", e.path().string()));
        std::sort(files.begin(), files.end());
        sums.push_back(files);
    }
    EXPECT_EQ(sums[0].size(), 3u);
    EXPECT_EQ(sums[1], sums[0]);
}

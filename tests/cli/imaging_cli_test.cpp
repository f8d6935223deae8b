// qrv-cli image as an examiner acquires: the MD5, SHA-1 and SHA-256 it writes
// beside the image are those md5sum, sha1sum and sha256sum give for the same
// range; sectors the medium refuses are zeros in the image and exactly the
// '-' runs of the map (GNU ddrescue's format); an acquisition stopped with
// Ctrl-C part way and continued from its map gives the same image and
// digests as one made in one go.
#include <gtest/gtest.h>

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
    int64_t Start = -1, End = -1;       // sectors; -1: the whole source
    std::vector<std::pair<int64_t, int64_t>> Bad; // unreadable byte ranges of the source
    bool StopAndResume = false;
};

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
    struct TLoop {
        std::string Dev;
        ~TLoop() {
            if (!Dev.empty()) test::Run_Command("losetup -d '" + Dev + "'");
        }
    } loop;
    if (::geteuid() != 0 || test::Run_Command("losetup -r -f --show '" + src + "' 2>/dev/null", &loop.Dev) != 0)
        QRV_SKIP_WITHOUT("no loop device available (needs root and /dev/loop-control)");
    loop.Dev = Trim(loop.Dev);
    const std::string preload = test::Bin_Dir() + "/libqrv_fault_preload.so";
    ASSERT_TRUE(fs::exists(preload));

    const std::vector<TCase> cases = {
        {"whole", -1, -1, {}, false},
        {"range", 100, 9000, {}, false},
        // Two sectors inside one block and one at the edge of the range's
        // last block, each lost alone; its neighbours are read.
        {"bad", 8, 12000, {{1049088, 1024}, {3000320, 512}, {6143488, 512}}, false},
        {"stopped", 16, 12280, {{2097152, 512}}, true},
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
        if (c.Start >= 0) cmd += " --start " + std::to_string(c.Start) + " --end " + std::to_string(c.End);
        const std::string log = dir.File(std::to_string(++n) + ".log"), json = dir.File(std::to_string(n) + ".json");

        int64_t resumed = 0;
        if (c.StopAndResume) {
            // Slow reads, so that Ctrl-C comes part way, as a person presses it.
            const std::string slow = env + "QRV_FAULT_DELAY_US=40000 " + cmd + " >'" + json + "' 2>'" + log + "'";
            const pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                ::setpgid(0, 0);
                ::execl("/bin/sh", "sh", "-c", ("exec " + slow).c_str(), static_cast<char*>(nullptr));
                ::_exit(127);
            }
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
            const std::string partial = Find(out, ".img.partial"), map = Find(out, ".img.map");
            ASSERT_FALSE(partial.empty());
            ASSERT_FALSE(map.empty());
            EXPECT_EQ(Find(out, ".hashes"), "");
            const int64_t done = resumed = int64_t(fs::file_size(partial));
            EXPECT_GT(done, 0);
            EXPECT_LT(done, last - first);
            const auto runs = Map_Runs(Text(map));
            ASSERT_FALSE(runs.empty());
            EXPECT_EQ(runs.back(), Hex(done) + "  " + Hex(last - first - done) + "  ?") << Text(map);
            // Another range is refused, and nothing is touched.
            EXPECT_EQ(test::Run_Command(cmd + " --map '" + map + "' --start 0 >/dev/null 2>'" + log + "'"), 1);
            EXPECT_TRUE(Has(Text(log), "无法继续镜像:映射文件不属于此镜像源或扇区范围")) << Text(log);
            EXPECT_EQ(int64_t(fs::file_size(partial)), done);
            // Continued from its map, with the medium failing the same way.
            cmd += " --map '" + map + "'";
        }
        const int rc = test::Run_Command(env + cmd + " >'" + json + "' 2>'" + log + "'");
        EXPECT_EQ(rc, c.Bad.empty() ? 0 : 1) << Text(log);
        const std::string image = Find(out, ".img");
        ASSERT_FALSE(image.empty()) << Text(log);
        EXPECT_EQ(Find(out, ".partial"), "");

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
        EXPECT_TRUE(test::Read_File(image) == want);
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

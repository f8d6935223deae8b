// Read-only device opens through udisks2, against a fake udisks2 service on a
// private bus that stands in for the system bus (DBUS_SYSTEM_BUS_ADDRESS).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/source_io.h"
#include "platform/udisks.h"
#include "support/test_env.h"

using namespace qrv;
using qrv::test::Bin_Dir;
using qrv::test::TTempDir;
using qrv::test::Write_File;

namespace {

// Starts argv with stdout on a pipe and waits for its first line.
pid_t Spawn(const std::vector<std::string>& argv, std::string& firstLine) {
    int p[2];
    if (::pipe(p) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(p[1], 1);
        ::close(p[0]);
        std::vector<char*> a;
        for (const auto& s : argv)
            a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        ::execvp(a[0], a.data());
        ::_exit(127);
    }
    ::close(p[1]);
    firstLine.clear();
    char c;
    while (::read(p[0], &c, 1) == 1 && c != '\n')
        firstLine.push_back(c);
    ::close(p[0]);
    return pid;
}

void Stop(pid_t& pid) {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

// A private bus any user may connect to, standing in for the system bus.
class UdisksBus : public ::testing::Test {
  protected:
    void SetUp() override {
        ::chmod(dir.Path().c_str(), 0755); // the bus socket is reached by "nobody" too
        const std::string conf = dir.File("bus.conf");
        const std::string text = "<busconfig><type>system</type><listen>unix:path=" + dir.File("bus") +
                                 "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                 "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
                                 "<allow receive_sender=\"*\"/></policy></busconfig>\n";
        Write_File(conf, std::vector<uint8_t>(text.begin(), text.end()));
        daemon_ =
            Spawn({"dbus-daemon", "--config-file=" + conf, "--nofork", "--nopidfile", "--print-address=1"},
                  address_);
        ASSERT_GT(daemon_, 0);
        ASSERT_FALSE(address_.empty()) << "dbus-daemon did not start";
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
        const std::vector<uint8_t> bytes = Marked(1 << 20);
        Write_File(image, bytes);
    }
    void TearDown() override {
        Stop(service_);
        Stop(daemon_);
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    void Serve(const std::string& mode, const std::string& device) {
        Stop(service_);
        std::string ready;
        service_ = Spawn({Bin_Dir() + "/qrv-fake-udisks", mode, device}, ready);
        ASSERT_EQ(ready, "ready");
    }
    static std::vector<uint8_t> Marked(size_t n) {
        std::vector<uint8_t> b(n);
        for (size_t i = 0; i < n; ++i)
            b[i] = uint8_t((i * 7 + i / 512) & 0xFF);
        return b;
    }
    static std::string Read_Fd(int fd, int64_t off, size_t n) {
        std::string s(n, '\0');
        const ssize_t got = ::pread(fd, s.data(), n, off);
        s.resize(got > 0 ? size_t(got) : 0);
        return s;
    }
    std::string Expected(int64_t off, size_t n) const {
        const auto b = Marked(1 << 20);
        return std::string(b.begin() + off, b.begin() + off + int64_t(n));
    }

    TTempDir dir{"qrv-udisks"};
    std::string image = dir.File("card.img");
    std::string address_;
    pid_t daemon_ = -1, service_ = -1;
};

} // namespace

// What the client makes of each answer of the service, and of its absence.
TEST_F(UdisksBus, ClientOutcomes) {
    struct TCase {
        const char* mode; // service mode; nullptr: no service on the bus; "nobus": no bus at all
        TUdisksStatus status;
    };
    const TCase cases[] = {
        {"ok", TUdisksStatus::Opened},
        {"old", TUdisksStatus::Opened}, // no ResolveDevice: found by the object's name
        {"deny", TUdisksStatus::NotAuthorized},
        {"rw", TUdisksStatus::NotReadOnly}, // a writable descriptor is refused and closed
        {nullptr, TUdisksStatus::NoService},
        {"nobus", TUdisksStatus::NoBus},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.mode ? c.mode : "no service");
        if (c.mode != nullptr && std::string(c.mode) == "nobus") {
            Stop(service_);
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir.File("none")).c_str(), 1);
        } else if (c.mode != nullptr) {
            Serve(c.mode, image);
        } else {
            Stop(service_);
        }
        TUdisksOpen u = Udisks_OpenDevice(image);
        EXPECT_EQ(int(u.Status), int(c.status)) << u.Error;
        if (c.status == TUdisksStatus::Opened) {
            ASSERT_GE(u.Fd, 0);
            EXPECT_EQ(::fcntl(u.Fd, F_GETFL) & O_ACCMODE, O_RDONLY);
            EXPECT_EQ(Read_Fd(u.Fd, 4096 + 13, 100), Expected(4096 + 13, 100));
            ::close(u.Fd);
        } else {
            EXPECT_EQ(u.Fd, -1);
            EXPECT_FALSE(u.Error.empty());
        }
    }
}

TEST(UdisksNames, ObjectPathEscapesAllButLettersAndDigits) {
    EXPECT_EQ(Udisks_BlockObjectPath("sdb1"), "/org/freedesktop/UDisks2/block_devices/sdb1");
    EXPECT_EQ(Udisks_BlockObjectPath("dm-0"), "/org/freedesktop/UDisks2/block_devices/dm_2d0");
    EXPECT_EQ(Udisks_BlockObjectPath("card.img"), "/org/freedesktop/UDisks2/block_devices/card_2eimg");
}

// A loop device opened by "nobody": direct open refused, then udisks2 hands
// out the descriptor; when udisks2 refuses or is absent the hint says what to do.
TEST_F(UdisksBus, LoopDeviceAsNormalUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a loop device and to become nobody";
    std::string loop;
    {
        FILE* p = ::popen(("losetup --find --show --read-only " + image + " 2>/dev/null").c_str(), "r");
        char buf[256] = {};
        if (p != nullptr && std::fgets(buf, sizeof buf, p) != nullptr) loop = buf;
        if (p != nullptr) ::pclose(p);
        while (!loop.empty() && loop.back() == '\n')
            loop.pop_back();
    }
    if (loop.empty()) GTEST_SKIP() << "no loop device available";

    struct TCase {
        const char* mode; // nullptr: no service
        bool opens;
        const char* hintHas;
    };
    const TCase cases[] = {
        {"ok", true, ""},
        {"deny", false, "udisks2的授权被拒绝或取消"},
        {nullptr, false, "sudo apt-get install udisks2"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.mode ? c.mode : "no service");
        if (c.mode)
            Serve(c.mode, loop);
        else
            Stop(service_);
        int p[2];
        ASSERT_EQ(::pipe(p), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(p[0]);
            std::string out = "setuid failed";
            if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0) {
                TOpenFailure f;
                TSourcePtr s = Open_Source(loop, &f);
                if (s) {
                    std::string b(100, '\0');
                    out = "read:" + std::string(b.data(), size_t(s->Read_At(b.data(), b.size(), 8192 + 5)));
                } else {
                    out = "hint:" + std::to_string(f.Error) + ":" + Open_FailureHint(loop, f);
                }
            }
            (void)!::write(p[1], out.data(), out.size());
            ::_exit(0);
        }
        ::close(p[1]);
        std::string got;
        char buf[4096];
        for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;)
            got.append(buf, size_t(n));
        ::close(p[0]);
        ::waitpid(child, nullptr, 0);
        if (c.opens) {
            EXPECT_EQ(got, "read:" + Expected(8192 + 5, 100));
        } else {
            EXPECT_EQ(got.rfind("hint:" + std::to_string(EACCES) + ":没有权限读取此设备:" + loop, 0), 0u)
                << got;
            EXPECT_NE(got.find("sudo usermod -aG disk nobody"), std::string::npos) << got;
            EXPECT_NE(got.find(c.hintHas), std::string::npos) << got;
        }
    }
    Stop(service_);
    (void)!std::system(("losetup -d " + loop).c_str());
}

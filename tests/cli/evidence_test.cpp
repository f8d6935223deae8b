// A source is evidence: every operation that reads it (scan with analysis,
// saving and loading a scan-result file, export, imaging, the hex view, the
// region listing and the box view) leaves the image file's bytes, size and
// times untouched, and nothing even opens it for writing (inotify would
// report the close of a writable descriptor).
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/output_file.h"
#include "support/disk_image.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

using namespace qrv;
namespace fs = std::filesystem;

namespace {

struct TFileState {
    std::vector<uint8_t> Bytes;
    struct timespec Mtime {}, Ctime{};
    off_t Size = 0;
    mode_t Mode = 0;
};

TFileState State_Of(const std::string& path) {
    TFileState s;
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    s.Mtime = st.st_mtim;
    s.Ctime = st.st_ctim;
    s.Size = st.st_size;
    s.Mode = st.st_mode;
    s.Bytes = test::Read_File(path);
    return s;
}

void Expect_Unchanged(const TFileState& a, const TFileState& b, const std::string& step) {
    EXPECT_EQ(a.Size, b.Size) << step;
    EXPECT_EQ(a.Mode, b.Mode) << step;
    EXPECT_EQ(a.Mtime.tv_sec, b.Mtime.tv_sec) << step;
    EXPECT_EQ(a.Mtime.tv_nsec, b.Mtime.tv_nsec) << step;
    EXPECT_EQ(a.Ctime.tv_sec, b.Ctime.tv_sec) << step;
    EXPECT_EQ(a.Ctime.tv_nsec, b.Ctime.tv_nsec) << step;
    EXPECT_TRUE(a.Bytes == b.Bytes) << step << ": the image's bytes changed";
}

std::vector<std::string> Files_Under(const std::string& dir, const std::string& ext) {
    std::vector<std::string> out;
    if (!fs::exists(dir)) return out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && e.path().extension() == ext) out.push_back(e.path().string());
    return out;
}

} // namespace

TEST(Evidence, NoOperationWritesOrTouchesTheSource) {
    test::TTempDir dir("qrv-evidence");
    std::string skip;
    test::TVolumeLayout plan;
    plan.Fs = "FAT32";
    plan.VolumeBytes = 40 << 20;
    plan.ClusterBytes = 512;
    plan.Offset = 1 << 20; // behind a partition table, so the region listing has work
    plan.Files = {{"LIVE.TXT", test::Pattern_Bytes(30000, 3)}};
    auto made = test::Make_DiskImage(dir.File("card.img"), plan, &skip);
    if (!made) QRV_SKIP_WITHOUT(skip);
    test::TRecordingPlan rs;
    rs.Seconds = 2;
    rs.Seed = 77;
    const auto rec = test::Make_Recording(rs);
    const int64_t first = made->Find_FreeRun((int64_t(rec.Bytes.size()) + made->ClusterBytes) / made->ClusterBytes + 4);
    ASSERT_GE(first, 0);
    made->Write_Contiguous(first + 2, rec.Bytes); // a deleted recording: data in free clusters
    const std::string img = made->Path;
    {
        // The partition table: one FAT32 (LBA) partition holding the volume.
        std::vector<uint8_t> mbr(512, 0);
        const uint32_t lba = uint32_t(plan.Offset / 512), count = uint32_t(plan.VolumeBytes / 512);
        mbr[446 + 4] = 0x0C;
        for (int i = 0; i < 4; ++i) {
            mbr[446 + 8 + size_t(i)] = uint8_t(lba >> (8 * i));
            mbr[446 + 12 + size_t(i)] = uint8_t(count >> (8 * i));
        }
        mbr[510] = 0x55;
        mbr[511] = 0xAA;
        test::Write_At(img, 0, mbr);
    }
    const int64_t recDisk = made->Cluster_Offset(first + 2);

    const TFileState before = State_Of(img);
    // Every access time and change from here on is the programs'.
    int ino = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(ino, 0);
    ASSERT_GE(::inotify_add_watch(ino, img.c_str(), IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF),
              0);

    const std::string cli = test::Bin_Dir() + "/qrv-cli";
    const std::string out = dir.File("out");
    for (const char* sub : {"scan", "region", "load", "image", "range"}) fs::create_directories(out + "/" + sub);
    struct TStep {
        std::string Name, Cmd;
    };
    const std::vector<TStep> steps = {
        {"scan, analysis, save, export",
         cli + " scan '" + img + "' --quiet --save '" + dir.File("r.QRV") + "' --export '" + out + "/scan'"},
        {"scan of a region", cli + " scan '" + img + "' --quiet --region 1 --export '" + out + "/region'"},
        {"load and export", cli + " load '" + dir.File("r.QRV") + "' --source '" + img + "' --quiet --export '" + out +
                                "/load'"},
        {"imaging a region", cli + " image '" + img + "' --region 1 --out '" + out + "/image'"},
        {"imaging a range", cli + " image '" + img + "' --region 1 --out '" + out + "/range' --start 2048 --end 4096"},
        {"hex view", cli + " hex '" + img + "' 0 && " + cli + " hex '" + img + "' 2048"},
        {"regions", cli + " regions '" + img + "'"},
        {"box view", cli + " inspect '" + img + "' --offset " + std::to_string(recDisk)},
    };
    for (const auto& s : steps) {
        std::string said;
        EXPECT_EQ(test::Run_Command(s.Cmd + " 2>&1", &said), 0) << s.Name << ": " << s.Cmd << "\n" << said;
        Expect_Unchanged(before, State_Of(img), s.Name);
        alignas(struct inotify_event) char ev[4096];
        const ssize_t n = ::read(ino, ev, sizeof ev);
        EXPECT_LE(n, 0) << s.Name << ": the image was opened for writing or changed";
    }
    ::close(ino);

    // The operations did their work: recordings exported, image copies made.
    for (const char* sub : {"scan", "region", "load"}) {
        const auto mp4 = Files_Under(out + "/" + sub, ".mp4");
        ASSERT_EQ(mp4.size(), 1u) << sub;
        EXPECT_TRUE(test::Read_File(mp4[0]) == rec.Bytes) << sub;
    }
    const auto copies = Files_Under(out + "/image", ".img");
    ASSERT_EQ(copies.size(), 1u);
    const auto volume = std::vector<uint8_t>(before.Bytes.begin() + plan.Offset,
                                             before.Bytes.begin() + plan.Offset + plan.VolumeBytes);
    EXPECT_TRUE(test::Read_File(copies[0]) == volume);
    const auto range = Files_Under(out + "/range", ".img");
    ASSERT_EQ(range.size(), 1u);
    EXPECT_EQ(fs::file_size(range[0]), 2048u * 512u);
}

namespace {

// Watches a file for anything that writes to it: a change, a close of a
// descriptor opened for writing, a removal or a move.
class TWriteWatch {
  public:
    explicit TWriteWatch(const std::string& path) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        EXPECT_GE(fd_, 0);
        EXPECT_GE(::inotify_add_watch(fd_, path.c_str(),
                                      IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF),
                  0);
    }
    ~TWriteWatch() { ::close(fd_); }
    // True when something happened since the last call.
    bool Fired() {
        alignas(struct inotify_event) char ev[4096];
        return ::read(fd_, ev, sizeof ev) > 0;
    }

  private:
    int fd_;
};

struct TRefusal {
    std::string Name, Cmd, Reason;
};

// Runs each command: it must fail with the reason on stderr before any work
// starts, and leave the source untouched and unopened for writing.
void Expect_Refused(const std::vector<TRefusal>& cases, const std::string& source,
                    const std::string& folder) {
    const TFileState before = State_Of(source);
    TWriteWatch watch(source);
    const auto listing = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(folder))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    const auto filesBefore = listing();
    for (const auto& c : cases) {
        std::string said;
        EXPECT_EQ(test::Run_Command(c.Cmd + " 2>&1", &said), 1) << c.Name << ": " << c.Cmd << "\n" << said;
        EXPECT_NE(said.find(c.Reason), std::string::npos) << c.Name << "\n" << said;
        EXPECT_EQ(said.find("扫描开始"), std::string::npos) << c.Name << ": the scan ran before the refusal";
        Expect_Unchanged(before, State_Of(source), c.Name);
        EXPECT_FALSE(watch.Fired()) << c.Name << ": the source was opened for writing or changed";
        EXPECT_EQ(listing(), filesBefore) << c.Name << ": something was created";
    }
}

} // namespace

// --save and --export pointed at the image being read, in every spelling of
// its path, are refused before the scan; so is loading with an export into it.
TEST(Evidence, OutputsPointedAtAnImageSourceAreRefusedInEverySpelling) {
    test::TTempDir dir("qrv-evidence");
    const std::string img = dir.File("card.img");
    test::Write_File(img, test::Pattern_Bytes(1 << 20, 9));
    fs::create_directories(dir.File("sub"));
    fs::create_symlink(img, dir.File("link.img"));
    const std::string cli = test::Bin_Dir() + "/qrv-cli";
    // A result file saved beside the image (allowed) for the load cases.
    std::string said;
    ASSERT_EQ(test::Run_Command(
                  cli + " scan '" + img + "' --quiet --save '" + dir.File("sub/r.QRV") + "' 2>&1", &said),
              0)
        << said;

    const std::string same = "为避免覆盖,不能写入源本身!";
    const std::string in = "cd '" + dir.Path() + "' && " + cli;
    std::vector<TRefusal> cases;
    const std::vector<std::pair<std::string, std::string>> spellings = {
        {"same path", "'" + img + "'"},
        {"relative path", "card.img"},
        {"relative path through ..", "sub/../card.img"},
        {"symbolic link", "link.img"},
        {"descriptor alias", "/proc/self/fd/3 3<card.img"},
    };
    for (const auto& [name, target] : spellings) {
        cases.push_back({"scan --save, " + name, in + " scan card.img --save " + target, same});
        cases.push_back({"scan --export, " + name, in + " scan card.img --export " + target, same});
        cases.push_back(
            {"load --export, " + name, in + " load sub/r.QRV --source card.img --export " + target, same});
    }
    cases.push_back({"scan --export below the image", in + " scan card.img --export card.img/out", same});
    Expect_Refused(cases, img, dir.Path());
}

// The same for a loop device over an image: the device and its backing file
// are both the source, and a file system on the device is stored in the
// source; a file system whose disk cannot be told (btrfs) is refused unless
// forced.
TEST(Evidence, OutputsPointedAtALoopDeviceSourceAreRefused) {
    test::TTempDir dir("qrv-evidence");
    for (const char* tool : {"losetup", "mkfs.ext4", "mkfs.btrfs"})
        ASSERT_TRUE(test::Have_Program(tool)) << tool << " is needed";
    const std::string img = dir.File("card.img"), other = dir.File("other.img");
    ASSERT_EQ(
        test::Run_Command("truncate -s 64M '" + img + "' && mkfs.ext4 -q -F '" + img + "' >/dev/null 2>&1"),
        0);
    ASSERT_EQ(test::Run_Command("truncate -s 128M '" + other + "' && mkfs.btrfs -q '" + other +
                                "' >/dev/null 2>&1"),
              0);
    struct TLoop {
        std::string Dev, Mnt;
        ~TLoop() {
            if (!Mnt.empty()) test::Run_Command("umount '" + Mnt + "' 2>/dev/null");
            if (!Dev.empty()) test::Run_Command("losetup -d '" + Dev + "'");
        }
    } src, tgt;
    auto attach = [](const std::string& file, const std::string& flags) {
        std::string dev;
        if (::geteuid() != 0 ||
            test::Run_Command("losetup " + flags + " -f --show '" + file + "' 2>/dev/null", &dev) != 0)
            return std::string();
        while (!dev.empty() && (dev.back() == '\n' || dev.back() == ' '))
            dev.pop_back();
        return dev;
    };
    src.Dev = attach(img, "-r");
    if (src.Dev.empty()) QRV_SKIP_WITHOUT("no loop device available (needs root and /dev/loop-control)");
    tgt.Dev = attach(other, "");
    ASSERT_FALSE(tgt.Dev.empty());
    const std::string mnt = dir.File("mnt"), far = dir.File("far");
    fs::create_directories(mnt);
    fs::create_directories(far);
    // The source's file system mounted read-only: were the guard to fail, the kernel still would not write.
    ASSERT_EQ(test::Run_Command("mount -o ro,noload '" + src.Dev + "' '" + mnt + "' 2>&1"), 0);
    src.Mnt = mnt;
    ASSERT_EQ(test::Run_Command("mount '" + tgt.Dev + "' '" + far + "' 2>&1"), 0);
    tgt.Mnt = far;

    const std::string cli = test::Bin_Dir() + "/qrv-cli";
    const std::string dev = src.Dev;
    const std::string block = "为避免覆盖,不能写入块设备!";
    const std::string same = "为避免覆盖,不能写入源本身!";
    const std::string unknown = "--force-same-disk";
    const std::vector<TRefusal> cases = {
        {"--save the device", cli + " scan " + dev + " --save " + dev, block},
        {"--save a descriptor alias of the device", cli + " scan " + dev + " --save /proc/self/fd/3 3<" + dev,
         block},
        {"--export the device", cli + " scan " + dev + " --export " + dev, block},
        {"--save the backing file", cli + " scan " + dev + " --save '" + img + "'", same},
        {"--export into the backing file", cli + " scan " + dev + " --export '" + img + "'", same},
        {"--save on the device's file system", cli + " scan " + dev + " --save '" + mnt + "/r.QRV'", same},
        {"--export on the device's file system", cli + " scan " + dev + " --export '" + mnt + "/out'", same},
        {"--save where the disk is unknown", cli + " scan " + dev + " --save '" + far + "/r.QRV'", unknown},
        {"image into the backing file", cli + " image " + dev + " --out '" + img + "'", same},
        {"image onto the device's file system", cli + " image " + dev + " --out '" + mnt + "'", same},
        {"image where the disk is unknown", cli + " image " + dev + " --out '" + far + "'", unknown},
        // The image read as a file, while it is mounted through the loop device.
        {"--export into the image's own file system", cli + " scan '" + img + "' --export '" + mnt + "/out'", same},
        {"--save into the image's own file system", cli + " scan '" + img + "' --save '" + mnt + "/r.QRV'", same},
    };
    Expect_Refused(cases, img, dir.Path());
    EXPECT_TRUE(fs::is_empty(far));

    // Forcing accepts the unknown disk, never the source itself.
    std::string said;
    EXPECT_EQ(test::Run_Command(cli + " image " + dev + " --force-same-disk --start 0 --end 2048 --out '" +
                                    far + "' 2>&1",
                                &said),
              0)
        << said;
    int images = 0;
    for (const auto& e : fs::directory_iterator(far))
        images += e.path().extension() == ".img";
    EXPECT_EQ(images, 1) << said;
    Expect_Refused({{"forced, still the backing file",
                     cli + " scan " + dev + " --force-same-disk --save '" + img + "'", same}},
                   img, dir.Path());
}

// Loop devices stacked on loop devices (losetup over /dev/loopN), two and
// three deep, are followed both ways: a source anywhere in the chain protects
// the image at its bottom, and a file system mounted from the top of a chain
// over the source is stored in the source. Each case goes through the writers
// themselves; the image's bytes do not change. The reported fault itself
// (scan the second loop, --save onto the image) runs through qrv-cli.
TEST(Evidence, StackedLoopDevicesAreFollowedToAnyDepth) {
    for (const char* tool : {"losetup", "mkfs.ext4", "sha256sum"})
        ASSERT_TRUE(test::Have_Program(tool)) << tool << " is needed";
    test::TTempDir dir("qrv-stacked");
    const std::string img = dir.File("s.img");
    ASSERT_EQ(
        test::Run_Command("truncate -s 64M '" + img + "' && mkfs.ext4 -q -F '" + img + "' >/dev/null 2>&1"),
        0);
    // Loop devices and mounts, undone in reverse on every way out.
    struct TStack {
        std::vector<std::string> Loops, Mounts;
        ~TStack() {
            for (auto m = Mounts.rbegin(); m != Mounts.rend(); ++m)
                test::Run_Command("umount '" + *m + "' 2>/dev/null");
            for (auto l = Loops.rbegin(); l != Loops.rend(); ++l)
                test::Run_Command("losetup -d '" + *l + "' 2>/dev/null");
        }
    } stack;
    std::string below = img;
    for (int level = 1; level <= 3; ++level) {
        std::string dev;
        if (::geteuid() != 0 ||
            test::Run_Command("losetup -r -f --show '" + below + "' 2>/dev/null", &dev) != 0)
            QRV_SKIP_WITHOUT("no loop device available (needs root and /dev/loop-control)");
        while (!dev.empty() && (dev.back() == '\n' || dev.back() == ' '))
            dev.pop_back();
        stack.Loops.push_back(dev);
        below = dev;
    }
    const std::string l1 = stack.Loops[0], l2 = stack.Loops[1], l3 = stack.Loops[2];
    // The image's file system mounted read-only from the top of each chain.
    const std::string m2 = dir.File("m2"), m3 = dir.File("m3");
    for (const auto& [dev, mnt] : {std::pair{l2, m2}, std::pair{l3, m3}}) {
        fs::create_directories(mnt);
        ASSERT_EQ(test::Run_Command("mount -o ro,noload '" + dev + "' '" + mnt + "' 2>&1"), 0) << dev;
        stack.Mounts.push_back(mnt);
    }
    const auto hash = [&] {
        std::string sum;
        EXPECT_EQ(test::Run_Command("sha256sum < '" + img + "'", &sum), 0);
        return sum;
    };
    const std::string before = hash();

    using C = TGuardCause;
    struct TCase {
        std::string Name, Source, Target;
        bool Folder;
        C Want;
    };
    const std::vector<TCase> cases = {
        {"2nd loop, file onto the image", l2, img, false, C::SameFile},
        {"3rd loop, file onto the image", l3, img, false, C::SameFile},
        {"3rd loop, folder below the image", l3, img + "/out", true, C::SameFile},
        {"image, file on the fs of the 2nd loop", img, m2 + "/r.QRV", false, C::SameFile},
        {"image, folder on the fs of the 3rd loop", img, m3 + "/out", true, C::SameFile},
        {"1st of 2 loops, folder on the fs of the top", l1, m2 + "/out", true, C::SameFile},
        {"2nd of 3 loops, file on the fs of the top", l2, m3 + "/r.QRV", false, C::SameFile},
        {"1st of 3 loops, folder on the fs of the top", l1, m3 + "/out/deep", true, C::SameFile},
        // A loop over a file keeps that file's disk writable, however deep.
        {"3rd loop, folder beside the image", l3, dir.File("beside/out"), true, C::None},
    };
    for (const auto& c : cases) {
        const TOutputGuard guard({c.Source});
        const TGuardVerdict v = c.Folder ? guard.Check_Folder(c.Target) : guard.Check_File(c.Target);
        EXPECT_EQ(v.Cause, c.Want) << c.Name << ": " << Guard_CauseName(v.Cause) << " " << v.Detail;
        TGuardVerdict refusal;
        const bool made = c.Folder ? Make_Folders(c.Target, guard, &refusal)
                                   : TOutputFile::Create(c.Target, guard, &refusal) != nullptr;
        EXPECT_EQ(made, c.Want == C::None) << c.Name;
        EXPECT_EQ(refusal.Cause, c.Want) << c.Name;
        if (c.Want == C::SameFile) {
            EXPECT_EQ(refusal.Reason, "为避免覆盖,不能写入源本身!") << c.Name;
        }
        EXPECT_EQ(hash(), before) << c.Name << ": the image's bytes changed";
    }
    EXPECT_TRUE(fs::is_directory(dir.File("beside/out")));

    // Through qrv-cli: refused before the scan, exit status 1, the image as it was.
    const std::string cli = test::Bin_Dir() + "/qrv-cli";
    const std::vector<std::string> commands = {
        cli + " scan " + l2 + " --save '" + img + "'", // the reported reproduction
        cli + " scan " + l3 + " --export '" + img + "'",
        cli + " scan '" + img + "' --export '" + m3 + "/out'",
        cli + " scan " + l1 + " --save '" + m2 + "/r.QRV'",
    };
    for (const auto& cmd : commands) {
        std::string said;
        EXPECT_EQ(test::Run_Command(cmd + " 2>&1", &said), 1) << cmd << "\n" << said;
        EXPECT_NE(said.find("为避免覆盖,不能写入源本身!"), std::string::npos) << cmd << "\n" << said;
        EXPECT_EQ(said.find("扫描开始"), std::string::npos) << cmd << ": the scan ran first";
        EXPECT_EQ(fs::file_size(img), uint64_t(64) << 20) << cmd;
        EXPECT_EQ(hash(), before) << cmd << ": the image's bytes changed";
    }
}

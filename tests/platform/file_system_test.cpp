// What the file system says about a path, as qrv-cli and the regions ask it.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/disk_enum.h"
#include "platform/file_system.h"
#include "support/test_env.h"

namespace qrv {
namespace {

TEST(FileSystem, PathKindsPartitionsAndPaths) {
    test::TTempDir dir;
    test::Write_File(dir.File("card.img"), {1, 2, 3});
    std::filesystem::create_directories(dir.File("out"));
    std::filesystem::create_symlink(dir.File("card.img"), dir.File("link.img"));
    const struct {
        std::string Path;
        TPathKind Kind;
    } kinds[] = {
        {dir.File("card.img"), TPathKind::File},
        {dir.File("link.img"), TPathKind::File}, // links are followed
        {dir.File("out"), TPathKind::Folder},
        {dir.File("missing"), TPathKind::Missing},
        {"/dev/null", TPathKind::Other},
    };
    for (const auto& k : kinds)
        EXPECT_EQ(Get_PathKind(k.Path), k.Kind) << k.Path;
    EXPECT_EQ(Canonical_Path(dir.File("out/../link.img")),
              std::filesystem::canonical(dir.File("card.img")).string());
    EXPECT_EQ(Canonical_Path(dir.File("missing")), dir.File("missing"));

    // A fake sysfs: sdb1 is a partition, sdb the whole disk.
    std::filesystem::create_directories(dir.File("sys/class/block/sdb1"));
    std::filesystem::create_directories(dir.File("sys/class/block/sdb"));
    test::Write_File(dir.File("sys/class/block/sdb1/partition"), {'1', '\n'});
    EXPECT_TRUE(Is_PartitionDevice("/dev/sdb1", dir.File("sys")));
    EXPECT_FALSE(Is_PartitionDevice("/dev/sdb", dir.File("sys")));
    EXPECT_FALSE(Is_PartitionDevice("/dev/sdz9", dir.File("sys")));

    std::vector<uint8_t> bytes;
    ASSERT_TRUE(Read_WholeFile(dir.File("card.img"), bytes));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_FALSE(Read_WholeFile(dir.File("missing"), bytes));
    EXPECT_TRUE(Remove_File(dir.File("card.img")));
    EXPECT_EQ(Get_PathKind(dir.File("card.img")), TPathKind::Missing);
}

} // namespace
} // namespace qrv

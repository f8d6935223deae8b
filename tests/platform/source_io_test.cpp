#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/source_io.h"
#include "support/test_env.h"

using namespace qrv;
using qrv::test::TTempDir;

TEST(SourceIo, RefusesEveryWriteAccessAndLeavesTheFileAlone) {
    TTempDir dir;
    std::string p = dir.File("evidence.img");
    test::Write_File(p, std::vector<uint8_t>(4096, 0xAB));
    struct stat before {};
    ASSERT_EQ(::stat(p.c_str(), &before), 0);

    for (int flags : {O_WRONLY, O_RDWR, O_RDONLY | O_TRUNC, O_RDONLY | O_CREAT, O_RDONLY | O_APPEND}) {
        errno = 0;
        EXPECT_EQ(Open_SourceWithFlags(p, flags), nullptr) << "flags " << flags;
        EXPECT_EQ(errno, EPERM);
    }
    auto src = Open_Source(p);
    ASSERT_NE(src, nullptr);
    auto* f = dynamic_cast<TFileSource*>(src.get());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(::fcntl(f->Fd(), F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_NE(::fcntl(f->Fd(), F_GETFD) & FD_CLOEXEC, 0);
    // A write through the descriptor fails: it really is read-only.
    EXPECT_LT(::pwrite(f->Fd(), "x", 1, 0), 0);

    struct stat after {};
    ASSERT_EQ(::stat(p.c_str(), &after), 0);
    EXPECT_EQ(before.st_size, after.st_size);
    EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
}

TEST(SourceIo, MissingFileGivesNoHandle) {
    EXPECT_EQ(Open_Source("/nonexistent/qrv/source.img"), nullptr);
    EXPECT_EQ(Get_PathSize("/nonexistent/qrv/source.img"), -1);
}

TEST(SourceIo, SizeAndReadsBeyondFourGiBOfASparseFile) {
    TTempDir dir;
    std::string p = dir.File("sparse.img");
    const int64_t far = (int64_t(5) << 30) + 12345; // above 4 GiB
    test::Write_At(p, far, {1, 2, 3, 4});
    auto src = Open_Source(p);
    ASSERT_NE(src, nullptr);
    EXPECT_EQ(src->Size(), far + 4);
    uint8_t b[8] = {};
    EXPECT_EQ(src->Read_At(b, 8, far - 2), 6); // short at the end
    EXPECT_EQ(b[2], 1);
    EXPECT_EQ(b[5], 4);
    EXPECT_EQ(src->Read_At(b, 8, far + 100), 0); // past the end
}

// The scan's read-ahead hands out the medium's blocks in order, whatever the
// number of workers and slots: every readable byte as it is on the medium,
// only a bad sector (a read that stops short before the end of the medium)
// lost as zeros and named as unread, at the end of the medium, and when the
// scan stops early; a failure of the work reaches the scan thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "scan/read_ahead.h"

namespace qrv {
namespace {

// Bytes in memory with one unreadable sector: a read reaching it stops
// before it (-1 when it starts there), as a device read does.
class TBadSectorSource final : public TSource {
  public:
    TBadSectorSource(int64_t size, int64_t bad) : bytes_(size_t(size)), bad_(bad) {
        for (size_t i = 0; i < bytes_.size(); ++i)
            bytes_[i] = uint8_t(i * 131 + (i >> 9));
    }
    int64_t Read_At(void* buf, size_t len, int64_t off) override {
        if (off < 0 || off >= int64_t(bytes_.size())) return 0;
        int64_t n = std::min<int64_t>(int64_t(len), int64_t(bytes_.size()) - off);
        if (bad_ >= 0 && off <= bad_ + 511 && bad_ < off + n) {
            if (off >= bad_) return -1;
            n = bad_ - off;
        }
        std::memcpy(buf, bytes_.data() + off, size_t(n));
        return n;
    }
    int64_t Size() override { return int64_t(bytes_.size()); }
    const std::string& Path() const override { return path_; }
    // len bytes at off as the medium holds them, zeros for the bad sector and past the end.
    std::vector<uint8_t> Expected(int64_t off, int64_t len) const {
        std::vector<uint8_t> out(size_t(len), 0);
        for (int64_t i = 0; i < len && off + i < int64_t(bytes_.size()); ++i)
            if (bad_ < 0 || off + i < bad_ || off + i >= bad_ + 512) out[size_t(i)] = bytes_[size_t(off + i)];
        return out;
    }

  private:
    std::vector<uint8_t> bytes_;
    int64_t bad_;
    std::string path_ = "bad-sector";
};

TEST(ReadAhead, BlocksEqualBlockByBlockReads) {
    constexpr int64_t kStep = 4096, kLen = 4096 + 512;
    struct TCase {
        const char* Name;
        int64_t Size, Bad, First, End;
        int Workers, Depth;
        int64_t StopAfter; // blocks taken before Stop, -1: all
    } cases[] = {
        {"whole medium", 100 * kStep, -1, 0, 100 * kStep, 2, 16, -1},
        {"ends inside a block", 100 * kStep + 700, -1, 0, 101 * kStep, 3, 8, -1},
        {"range past the medium", 20 * kStep, -1, 0, 40 * kStep, 2, 4, -1},
        {"bad sector inside a block", 100 * kStep, 37 * kStep + 1024, 0, 100 * kStep, 3, 16, -1},
        {"bad sector in a block's tail", 100 * kStep, 38 * kStep, 512, 100 * kStep, 2, 2, -1},
        {"one worker", 30 * kStep, 9 * kStep, 0, 30 * kStep, 1, 3, -1},
        {"stopped early", 100 * kStep, -1, 0, 100 * kStep, 3, 16, 13},
        {"empty range", 10 * kStep, -1, 4 * kStep, 4 * kStep, 2, 4, -1},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TBadSectorSource src(c.Size, c.Bad);
        std::vector<std::vector<uint8_t>> slots(size_t(c.Depth));
        TReadAhead ra(
            src, c.First, c.End, kStep, size_t(kLen),
            [&slots](const uint8_t* data, int64_t, int64_t, size_t slot) { slots[slot].assign(data, data + kLen); },
            c.Workers, c.Depth);
        int64_t n = 0;
        TReadAhead::TBlock b;
        for (int64_t off = c.First; off < c.End; off += kStep, ++n) {
            if (n == c.StopAfter) {
                ra.Stop();
                EXPECT_FALSE(ra.Next(b));
                break;
            }
            ASSERT_TRUE(ra.Next(b)) << off;
            EXPECT_EQ(b.Off, off);
            EXPECT_EQ(b.Got, std::clamp<int64_t>(c.Size - off, 0, kLen)) << off;
            EXPECT_EQ(slots[b.Slot], src.Expected(off, kLen)) << off;
            const bool badHere = c.Bad >= 0 && c.Bad >= off && c.Bad < off + kLen;
            ASSERT_EQ(b.Unread->size(), badHere ? 1u : 0u) << off;
            if (badHere) {
                EXPECT_EQ((*b.Unread)[0].Off, c.Bad);
                EXPECT_EQ((*b.Unread)[0].Len, 512);
            }
            ra.Release();
        }
        if (c.StopAfter < 0) {
            EXPECT_FALSE(ra.Next(b));
        }
    }
}

TEST(ReadAhead, FailuresReachTheScanThreadAtTheirBlock) {
    // Bytes in memory whose read of one block throws (an allocation inside a
    // container reader, say).
    class TThrowingSource final : public TSource {
      public:
        int64_t Read_At(void* buf, size_t len, int64_t off) override {
            if (off == 20 * 4096) throw std::runtime_error("no memory");
            std::memset(buf, 7, len);
            return int64_t(len);
        }
        int64_t Size() override { return 64 * 4096; }
        const std::string& Path() const override { return path_; }

      private:
        std::string path_ = "throwing";
    };
    for (bool inRead : {false, true}) {
        SCOPED_TRACE(inRead ? "read throws" : "work throws");
        TBadSectorSource plain(64 * 4096, -1);
        TThrowingSource throwing;
        TSource& src = inRead ? static_cast<TSource&>(throwing) : plain;
        TReadAhead ra(
            src, 0, 64 * 4096, 4096, 4096,
            [](const uint8_t*, int64_t off, int64_t, size_t) {
                if (off == 20 * 4096) throw std::runtime_error("no memory");
            },
            2, 8);
        TReadAhead::TBlock b;
        int64_t taken = 0;
        EXPECT_THROW(
            {
                while (ra.Next(b)) {
                    ++taken;
                    ra.Release();
                }
            },
            std::runtime_error);
        EXPECT_EQ(taken, 20); // every block before the failed one
    }
}

} // namespace
} // namespace qrv

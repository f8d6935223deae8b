// The frame-start search over a window shared out among threads must give
// exactly the anchors, in order, of a byte-by-byte pass over each 64 KiB
// search block (with its 1 KiB overlap), whatever the window's alignment, and
// an unreadable sector must cost no more than the blocks whose reads touch it.
#include <gtest/gtest.h>

#include <algorithm>

#include <random>
#include <vector>

#include "analysis/header_analysis.h"
#include "common/byte_order.h"
#include "common/op_state.h"
#include "common/ui_message.h"
#include "platform/source_io.h"
#include "scan/records.h"
#include "scan/track_tables.h"

using namespace qrv;

namespace {

constexpr int64_t kStep = 65536;
constexpr int64_t kRead = kStep + 1024;

// A medium of random bytes with frame features planted: some whose size and
// sector position are keys, some that are not, some with a zero length.
struct TWindowMedium {
    std::vector<uint8_t> Bytes;
    TSampleKeys Keys;

    explicit TWindowMedium(int64_t size, uint32_t seed) : Bytes(size_t(size)) {
        std::mt19937 rng(seed);
        for (auto& b : Bytes) b = uint8_t(rng());
        auto plant = [&](int64_t at, uint32_t len, bool sync) {
            if (at < 0 || at + 6 > size) return;
            Bytes[size_t(at)] = 0;
            Bytes[size_t(at + 1)] = uint8_t(len >> 16);
            Bytes[size_t(at + 2)] = uint8_t(len >> 8);
            Bytes[size_t(at + 3)] = uint8_t(len);
            Bytes[size_t(at + 4)] = sync ? 0x65 : 0x41;
            Bytes[size_t(at + 5)] = sync ? 0x88 : 0x9A;
        };
        int64_t index = 0;
        for (int k = 0; k < 400; ++k) {
            const int64_t at = int64_t(rng() % uint64_t(size));
            const uint32_t len = 100 + rng() % 50000;
            plant(at, len, k % 2);
            if (k % 3 != 0) Keys.Add(len + 4, uint32_t(at % 512), index++);
        }
        // Features on and around block and group edges, and zero-length ones.
        for (int64_t edge = kStep; edge < size; edge += kStep) {
            for (int64_t d : {-6, -5, -1, 0, 1}) {
                const uint32_t len = 777 + uint32_t(d + 6);
                plant(edge + d, len, true);
                Keys.Add(len + 4, uint32_t((edge + d) % 512), index++);
            }
            plant(edge + 40, 0, false);
        }
    }
};

// Byte-by-byte reference: each block examines positions [0, 65536) of its own
// read of 66,560 bytes from the sector holding pos; a block whose read runs
// into the bad stretch sees the bytes before it and zeros from there on.
std::vector<TFrameAnchor> Reference(const std::vector<uint8_t>& m, int64_t start, int64_t end, const TSampleKeys& keys,
                                    int64_t badFrom = -1, int64_t badTo = -1) {
    std::vector<TFrameAnchor> out;
    const int64_t lead = start % 512;
    const int64_t readLen = (lead + kRead + 511) / 512 * 512;
    for (int64_t pos = start; pos < end; pos += kStep) {
        const int64_t from = pos - lead;
        const bool bad = badFrom >= 0 && from < badTo && from + readLen > badFrom;
        const int64_t readable = !bad ? INT64_MAX : from < badFrom ? badFrom : from;
        auto at = [&](int64_t o) -> uint8_t {
            return o < readable && o < int64_t(m.size()) ? m[size_t(o)] : 0;
        };
        int64_t next = 0;
        for (int64_t b = 0; b < kStep; ++b) {
            if (b < next) continue;
            const int64_t o = pos + b;
            if (!(at(o) == 0 && ((at(o + 4) == 0x65 && at(o + 5) == 0x88) || (at(o + 4) == 0x41 && at(o + 5) == 0x9A))))
                continue;
            const uint32_t v = uint32_t(at(o)) << 24 | uint32_t(at(o + 1)) << 16 | uint32_t(at(o + 2)) << 8 | at(o + 3);
            if (v == 0) {
                next = b + 5;
            } else if (keys.Find(v + 4, uint32_t(o % 512)) >= 0) {
                TFrameAnchor a;
                a.AnchorOff = o;
                a.SliceByte = at(o + 5);
                a.AnchorSize = int32_t(v + 4);
                out.push_back(a);
                next = b + 11;
            } else {
                next = b + 1;
            }
        }
    }
    return out;
}

void Expect_Same(const std::vector<TFrameAnchor>& got, const std::vector<TFrameAnchor>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].AnchorOff, want[i].AnchorOff) << i;
        EXPECT_EQ(got[i].AnchorSize, want[i].AnchorSize) << i;
        EXPECT_EQ(got[i].SliceByte, want[i].SliceByte) << i;
        EXPECT_EQ(got[i].AnchorUsed, 0) << i;
    }
}

// A medium with an unreadable stretch. Like a device read, a read running
// into it delivers the bytes before it and reports that count; a read
// starting inside it fails.
class TBadStretchSource : public TSource {
  public:
    TBadStretchSource(std::vector<uint8_t> b, int64_t from, int64_t to) : mem_(std::move(b)), from_(from), to_(to) {}
    int64_t Read_At(void* buf, size_t len, int64_t off) override {
        if (off >= from_ && off < to_) return -1;
        if (off < from_ && off + int64_t(len) > from_) return mem_.Read_At(buf, size_t(from_ - off), off);
        return mem_.Read_At(buf, len, off);
    }
    int64_t Size() override { return mem_.Size(); }
    const std::string& Path() const override { return mem_.Path(); }

  private:
    TMemorySource mem_;
    int64_t from_, to_;
};

} // namespace

namespace {
// A search with no scan behind it: a session of its own, holding no index.
void Find_Anchors(TSource& src, int64_t start, int64_t end, int recType, const TSampleKeys& keys,
                  std::vector<TFrameAnchor>& anchors) {
    TScanSession session;
    Find_FrameAnchors(session, src, start, end, recType, keys, anchors);
}
} // namespace

TEST(FrameSearchThreads, WindowsOfManyGroupsMatchTheBlockByBlockReference) {
    TWindowMedium m(5 * 1024 * 1024 + 3000, 11);
    TMemorySource src(m.Bytes);
    const int64_t size = int64_t(m.Bytes.size());
    struct TWin {
        int64_t Start, End;
    };
    for (TWin w : {TWin{0, size}, TWin{512 * 7, size - 100000}, TWin{1000, 3 * kStep + 5}, TWin{65535, size},
                   TWin{4 * 1024 * 1024 + 77, size + 200000}, TWin{100, 101}}) {
        SCOPED_TRACE(testing::Message() << "window " << w.Start << ".." << w.End);
        std::vector<TFrameAnchor> got;
        auto sink = std::make_shared<TRecordingSink>();
        auto old = Set_UISink(sink);
        Find_Anchors(src, w.Start, w.End, 0, m.Keys, got);
        Set_UISink(old);
        const auto want = Reference(m.Bytes, w.Start, w.End, m.Keys);
        Expect_Same(got, want);
        // The status names the keys searched for and counts the anchors found,
        // which may be more than the keys: it calls neither a total.
        const std::string label = "样本键数:" + std::to_string(m.Keys.Count()) + ";已发现:";
        size_t most = 0;
        for (const TUiMessage& s : sink->OfType(MSG_STATUS2_FROM_P3)) {
            ASSERT_EQ(s.P[2].rfind(label, 0), 0u) << s.P[2];
            most = std::max(most, size_t(std::stoul(s.P[2].substr(label.size()))));
        }
        EXPECT_EQ(most, got.size());
        if (w.End - w.Start > kStep) {
            EXPECT_GT(want.size(), 10u);
        }
    }
}

TEST(FrameSearchThreads, SearchesAppendToWhatIsThereAndTheGenericTypeFindsTheCameraFramesToo) {
    TWindowMedium m(2 * 1024 * 1024, 12);
    TMemorySource src(m.Bytes);
    std::vector<TFrameAnchor> got(3);
    Find_Anchors(src, 0, int64_t(m.Bytes.size()), 0, m.Keys, got);
    const auto want = Reference(m.Bytes, 0, int64_t(m.Bytes.size()), m.Keys);
    ASSERT_EQ(got.size(), want.size() + 3);
    Expect_Same(std::vector<TFrameAnchor>(got.begin() + 3, got.end()), want);
    // The generic type's search is driven by the keys, not by the camera's
    // slice header bytes: every camera frame start is one of its finds.
    std::vector<TFrameAnchor> generic;
    Find_Anchors(src, 0, int64_t(m.Bytes.size()), 1, m.Keys, generic);
    for (const TFrameAnchor& a : want) {
        const bool there = std::any_of(generic.begin(), generic.end(), [&](const TFrameAnchor& g) {
            return g.AnchorOff == a.AnchorOff && g.AnchorSize == a.AnchorSize;
        });
        EXPECT_TRUE(there) << "camera frame start at " << a.AnchorOff << " not found by the generic search";
    }
    std::vector<TFrameAnchor> none;
    Find_Anchors(src, 0, int64_t(m.Bytes.size()), 2, m.Keys, none);
    EXPECT_TRUE(none.empty());
}

TEST(FrameSearchThreads, AnUnreadableStretchCostsOnlyTheBlocksThatTouchIt) {
    TWindowMedium m(4 * 1024 * 1024, 13);
    const int64_t badFrom = 1536 * 1024 + 512, badTo = badFrom + 1024;
    TBadStretchSource src(m.Bytes, badFrom, badTo);
    for (int64_t start : {int64_t(0), int64_t(300)}) {
        std::vector<TFrameAnchor> got;
        Find_Anchors(src, start, int64_t(m.Bytes.size()), 0, m.Keys, got);
        const auto want = Reference(m.Bytes, start, int64_t(m.Bytes.size()), m.Keys, badFrom, badTo);
        Expect_Same(got, want);
        // Only one or two blocks were lost.
        EXPECT_LT(Reference(m.Bytes, start, int64_t(m.Bytes.size()), m.Keys).size() - want.size(), 40u);
    }
}

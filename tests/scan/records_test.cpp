// The owned record lists: index access, append, count, clear, and a reader
// counting while a worker appends.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "scan/records.h"
#include "scan/scan_session.h"

using namespace qrv;

namespace {

std::atomic<int> g_alive{0};

// A record that owns a string and an array, and counts its live copies.
struct TCounted {
    std::string Name;
    std::vector<int64_t> Offsets;
    TCounted() { ++g_alive; }
    TCounted(std::string n, std::vector<int64_t> o) : Name(std::move(n)), Offsets(std::move(o)) { ++g_alive; }
    TCounted(const TCounted& o) : Name(o.Name), Offsets(o.Offsets) { ++g_alive; }
    TCounted(TCounted&& o) noexcept : Name(std::move(o.Name)), Offsets(std::move(o.Offsets)) { ++g_alive; }
    ~TCounted() { --g_alive; }
};

} // namespace

TEST(RecordList, AppendReturnsIndexAndGetReadsIt) {
    TRecordList<TCounted> list;
    EXPECT_EQ(list.Count(), 0);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(list.Append(TCounted("r" + std::to_string(i), {int64_t(i) << 33})), i);
    EXPECT_EQ(list.Count(), 100);
    EXPECT_EQ(list.Get(0).Name, "r0");
    EXPECT_EQ(list.Get(99).Name, "r99");
    EXPECT_EQ(list.Get(57).Offsets.at(0), int64_t(57) << 33);
    EXPECT_THROW(list.Get(100), std::out_of_range);
    EXPECT_THROW(list.Get(-1), std::out_of_range);
}

TEST(RecordList, RecordsStayInPlaceWhileTheListGrows) {
    TRecordList<TRebuildResult> list;
    list.Append(TRebuildResult{});
    TRebuildResult& first = list.Get(0);
    first.FragmenArray.resize(1);
    first.Fragmenum = 1;
    for (int i = 0; i < 1000; ++i) list.Append(TRebuildResult{});
    // A reference taken before the appends still names record 0.
    EXPECT_EQ(&first, &list.Get(0));
    first.FragmenArray.push_back(TFragmenArr{});
    first.Fragmenum = 2;
    EXPECT_EQ(list.Get(0).FragmenArray.size(), 2u);
    EXPECT_EQ(list.Get(1).Fragmenum, 0);
}

TEST(RecordList, ClearDisposesEveryRecord) {
    ASSERT_EQ(g_alive.load(), 0);
    TRecordList<TCounted> list;
    for (int i = 0; i < 10; ++i) list.Append(std::make_unique<TCounted>("x", std::vector<int64_t>(1000, i)));
    EXPECT_EQ(g_alive.load(), 10);
    list.Clear();
    EXPECT_EQ(g_alive.load(), 0);
    EXPECT_EQ(list.Count(), 0);
    // The list is usable again and indexes restart at 0.
    EXPECT_EQ(list.Append(TCounted("y", {})), 0);
    EXPECT_EQ(list.Get(0).Name, "y");
    list.Clear();
    {
        TRecordList<TCounted> scoped;
        scoped.Append(TCounted());
        EXPECT_EQ(g_alive.load(), 1);
    }
    EXPECT_EQ(g_alive.load(), 0); // a list going away disposes its records too
}

TEST(RecordList, SessionListsAreSeparate) {
    TScanSession session;
    TScanResult s;
    s.FragmentOff = int64_t(5) << 32;
    session.Scans.Append(std::move(s));
    TFrameAnchor a;
    a.AnchorOff = 4096;
    session.Anchors.Append(a);
    session.Anchors.Append(a);
    EXPECT_EQ(session.Scans.Count(), 1);
    EXPECT_EQ(session.Rebuilds.Count(), 0);
    EXPECT_EQ(session.Anchors.Count(), 2);
    EXPECT_EQ(session.Scans.Get(0).FragmentOff, int64_t(5) << 32);
    session.Anchors.Clear(); // emptied per movie header without touching the scan results
    EXPECT_EQ(session.Scans.Count(), 1);
    session.Scans.Clear();
}

TEST(RecordListThreaded, CountWhileAWorkerAppends) {
    TRecordList<TFrameAnchor> list;
    constexpr int kRecords = 20000;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < kRecords; ++i) {
            TFrameAnchor a;
            a.AnchorOff = i;
            list.Append(a);
        }
        done = true;
    });
    // The reader sees a count that only grows, and every counted record is readable.
    int64_t last = 0;
    while (!done) {
        int64_t n = list.Count();
        ASSERT_GE(n, last);
        if (n > 0) {
            ASSERT_EQ(list.Get(n - 1).AnchorOff, n - 1);
        }
        last = n;
    }
    worker.join();
    EXPECT_EQ(list.Count(), kRecords);
    for (int i = 0; i < kRecords; i += 997) EXPECT_EQ(list.Get(i).AnchorOff, i);
}

// Loading a scan-result file never takes memory out of proportion to the file:
// counts stored in the file (a record's fragment count) do not size anything,
// and a file of tiny records or tiny fragment blocks is cut off as damaged once
// its entries would need more than the load's allowance.
//
// This program replaces the global allocation functions to measure the peak of
// heap bytes in use during a load (a test of its own, so no other test pays for it).
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "common/byte_order.h"
#include "common/ui_message.h"
#include "results/result_file.h"
#include "scan/records.h"
#include "support/test_env.h"

namespace {

std::atomic<int64_t> g_inUse{0};
std::atomic<int64_t> g_peak{0};

void* Counted_Alloc(size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    const int64_t now = g_inUse += int64_t(malloc_usable_size(p));
    int64_t peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
    return p;
}

void Counted_Free(void* p) {
    if (!p) return;
    g_inUse -= int64_t(malloc_usable_size(p));
    std::free(p);
}

} // namespace

void* operator new(size_t n) {
    return Counted_Alloc(n);
}
void* operator new[](size_t n) {
    return Counted_Alloc(n);
}
void operator delete(void* p) noexcept {
    Counted_Free(p);
}
void operator delete[](void* p) noexcept {
    Counted_Free(p);
}
void operator delete(void* p, size_t) noexcept {
    Counted_Free(p);
}
void operator delete[](void* p, size_t) noexcept {
    Counted_Free(p);
}
// The non-throwing forms too, so that every pair of new and delete is ours.
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    try {
        return Counted_Alloc(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    try {
        return Counted_Alloc(n);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    Counted_Free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    Counted_Free(p);
}

using namespace qrv;
using qrv::test::TTempDir;

namespace {

TBytes Entry(uint8_t tag, const std::string& text) {
    TBytes s = *Encrypt_FieldText(text);
    TBytes e = {tag, uint8_t(s.size())};
    e.insert(e.end(), s.begin(), s.end());
    return e;
}

void Put_Block(TBytes& out, uint8_t type, const TBytes& body) {
    out.push_back(type);
    out.push_back(uint8_t(body.size()));
    out.push_back(uint8_t(body.size() >> 8));
    out.insert(out.end(), body.begin(), body.end());
}

// A record: its mark, its length and body.
void Put_Record(TBytes& out, const TBytes& body) {
    out.push_back(0xAA);
    uint8_t len[4];
    Put_LE32(len, uint32_t(body.size()));
    out.insert(out.end(), len, len + 4);
    out.insert(out.end(), body.begin(), body.end());
}

TBytes Head_Of(const TTreeData& node) {
    const TBytes info = Build_InfoContent(node);
    TBytes f = {'Q', 'R', 'V', 'L', 1, 14, 0, 0, 0, 0, 0, 0, 'I', 'N', 'F', 'O', 0, 0, 0, 0};
    Put_LE32(f.data() + 16, uint32_t(info.size()));
    f.insert(f.end(), info.begin(), info.end());
    const TBytes list = {'L', 'I', 'S', 'T', 0, 0, 0, 0};
    f.insert(f.end(), list.begin(), list.end());
    return f;
}

constexpr size_t kFileBytes = 4 << 20;

// One record declaring as many fragments as its length allows (3 bytes per
// block), followed by that many empty fragment blocks, or by none.
TBytes Declared_Fragments(const TTreeData& node, bool withBlocks) {
    TBytes f = Head_Of(node);
    const size_t room = kFileBytes - f.size() - 5;
    TBytes result;
    const TBytes count = Entry(9, std::to_string((room - 64) / 3));
    Put_Block(result, 0xBB, count);
    TBytes body = result;
    if (withBlocks) {
        while (body.size() + 3 <= room)
            Put_Block(body, 0xCC, {});
    } else {
        body.resize(room, 0); // the count stands, the rest is zeros (an unknown block type: damage)
    }
    Put_Record(f, body);
    return f;
}

// As many records as fit, each an empty result block.
TBytes Tiny_Records(const TTreeData& node) {
    TBytes f = Head_Of(node);
    TBytes body;
    Put_Block(body, 0xBB, {});
    while (f.size() + 5 + body.size() <= kFileBytes)
        Put_Record(f, body);
    return f;
}

} // namespace

TEST(ResultFileMemory, PeakStaysWithinASmallMultipleOfTheFileSize) {
    TTempDir dir("qrv-mem");
    TTreeData node;
    node.Level = 1, node.Hddtype = HDD_IMAGE, node.HddModel = dir.File("card.img"), node.TotalSpace = 1 << 20;
    struct TCase {
        const char* Name;
        TBytes File;
        bool Damaged;
    };
    const TCase cases[] = {
        {"a count with no blocks behind it", Declared_Fragments(node, false), true},
        {"a count with empty fragment blocks", Declared_Fragments(node, true), true},
        {"records without fields", Tiny_Records(node), true},
    };
    Set_UISink(nullptr); // messages are dropped: a recording sink would hold its own copies
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string path = dir.File("crafted.QRV");
        test::Write_File(path, c.File);
        TScanSession session;
        const int64_t base = g_inUse.load();
        g_peak.store(base);
        TLoadReport report;
        EXPECT_TRUE(Load_To_List(session, path, &node, &report));
        const int64_t peak = g_peak.load() - base;
        const int64_t size = int64_t(c.File.size());
        EXPECT_LE(peak, kLoadMemoryPerByte * size + kLoadMemorySlack)
            << "peak " << peak << " bytes for a file of " << size << " bytes";
        EXPECT_EQ(report.Damaged(), c.Damaged);
        EXPECT_EQ(report.DamagedRecord, c.Damaged ? report.Loaded + 1 : 0);
        session.Rebuilds.Clear();
    }
    Set_UISink(nullptr);
}

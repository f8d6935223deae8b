// The frame-feature search against a byte-by-byte reference: the vector path
// picked for this processor and the portable path must give the same first
// position for every start, end and feature placement, including features
// straddling the end of the range and near-misses that differ in one byte.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "scan/frame_feature.h"

using namespace qrv;

namespace {

int64_t Reference(const uint8_t* buf, int64_t from, int64_t to) {
    for (int64_t b = from; b < to; ++b)
        if (Is_FrameFeature(buf + b)) return b;
    return to;
}

void Plant(std::vector<uint8_t>& buf, size_t at, bool sync) {
    buf[at] = 0;
    buf[at + 4] = sync ? 0x65 : 0x41;
    buf[at + 5] = sync ? 0x88 : 0x9A;
}

// Every match of the reference in [0, n), walked with all three searches.
void Expect_SameWalk(const std::vector<uint8_t>& buf, int64_t n) {
    for (int64_t from = 0;;) {
        const int64_t want = Reference(buf.data(), from, n);
        ASSERT_EQ(Find_FrameFeature(buf.data(), from, n), want) << "from " << from;
        ASSERT_EQ(Find_FrameFeature_Scalar(buf.data(), from, n), want) << "from " << from;
        if (want == n) break;
        from = want + 1;
    }
}

} // namespace

TEST(FrameFeature, AgreesWithReferenceOnDenseAndSparseData) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        const int64_t n = 1 + int64_t(rng() % 600);
        std::vector<uint8_t> buf(size_t(n + kFrameFeatureSlack));
        // Small alphabets make features and near-misses common.
        const bool dense = round % 2 == 0;
        for (auto& b : buf) {
            static const uint8_t alphabet[] = {0, 0x65, 0x88, 0x41, 0x9A, 0x01};
            b = dense ? alphabet[rng() % 6] : uint8_t(rng());
        }
        for (int k = 0; k < 4; ++k) Plant(buf, size_t(rng() % size_t(n)), rng() % 2);
        Expect_SameWalk(buf, n);
    }
}

TEST(FrameFeature, FeatureAtEveryPositionAroundVectorBoundaries) {
    for (int64_t at = 0; at < 200; ++at) {
        std::vector<uint8_t> buf(200 + kFrameFeatureSlack, 0x11);
        Plant(buf, size_t(at), at % 3 == 0);
        EXPECT_EQ(Find_FrameFeature(buf.data(), 0, 200), at);
        EXPECT_EQ(Find_FrameFeature_Scalar(buf.data(), 0, 200), at);
        // Starting past it, or ending at it, finds nothing.
        EXPECT_EQ(Find_FrameFeature(buf.data(), at + 1, 200), 200);
        EXPECT_EQ(Find_FrameFeature(buf.data(), 0, at), at);
        EXPECT_EQ(Find_FrameFeature_Scalar(buf.data(), 0, at), at);
    }
}

TEST(FrameFeature, NearMissesAreNotFeatures) {
    std::vector<uint8_t> buf(256 + kFrameFeatureSlack, 0x11);
    // Mixed pairs and a non-zero first byte.
    buf[10] = 0; buf[14] = 0x65; buf[15] = 0x9A;
    buf[30] = 0; buf[34] = 0x41; buf[35] = 0x88;
    buf[50] = 1; buf[54] = 0x65; buf[55] = 0x88;
    buf[70] = 0; buf[73] = 0x65; buf[74] = 0x88; // pair one byte early
    EXPECT_EQ(Find_FrameFeature(buf.data(), 0, 256), 256);
    EXPECT_EQ(Find_FrameFeature_Scalar(buf.data(), 0, 256), 256);
    // A feature whose length prefix is all zeros is still a feature.
    Plant(buf, 100, true);
    buf[101] = buf[102] = buf[103] = 0;
    EXPECT_EQ(Find_FrameFeature(buf.data(), 0, 256), 100);
}

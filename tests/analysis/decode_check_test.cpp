// The decode checks: every sample of real recordings is judged clean, key
// frame or not; a sample with another cluster's bytes inside, a slice cut at
// any bit or running past its last macroblock, and broken NAL framing are not;
// the avcC comes out of movie boxes exactly as written and malformed boxes give
// nothing; a whole rebuilt file with foreign bytes in one sample names that sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "analysis/sample_decode.h"
#include "common/byte_order.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

using namespace qrv;

namespace {

constexpr int64_t kCluster = 4096;

struct TFixture {
    const char* Name;
    test::TRecording Rec;
};

test::TRecordingPlan Plan(uint32_t seed, int w, int h, double seconds, int gop, bool lead) {
    test::TRecordingPlan p;
    p.Seed = seed;
    p.Width = w;
    p.Height = h;
    p.Seconds = seconds;
    p.Fps = 10;
    p.Gop = gop;
    p.Quality = 24;
    p.SeiFirst = lead;
    p.ParamsFirst = lead;
    p.ParamsEveryIdr = lead;
    return p;
}

// Recordings made once per test program: a small one with SPS/PPS/SEI ahead of
// the slices, a 640x368 one, a 1280x720 one.
const std::vector<TFixture>& Fixtures() {
    static const std::vector<TFixture> all = [] {
        std::vector<TFixture> f;
        f.push_back({"160x120 with SPS/PPS/SEI ahead", test::Make_Recording(Plan(71, 160, 120, 1.0, 4, true))});
        f.push_back({"640x368", test::Make_Recording(Plan(72, 640, 368, 1.0, 5, false))});
        f.push_back({"1280x720", test::Make_Recording(Plan(73, 1280, 720, 1.0, 10, false))});
        return f;
    }();
    return all;
}

std::span<const uint8_t> Sample(const test::TRecording& r, size_t i) {
    return std::span<const uint8_t>(r.Bytes).subspan(size_t(r.Video[i].Offset), r.Video[i].Size);
}

std::span<const uint8_t> Moov(const test::TRecording& r) {
    return std::span<const uint8_t>(r.Bytes).subspan(size_t(r.MoovOff), size_t(r.MoovLen));
}

// The avcC payload as the writer builds it from the stored SPS and PPS.
std::vector<uint8_t> Written_AvcConfig(const test::TRecording& r) {
    std::vector<uint8_t> c = {1, r.Sps[1], r.Sps[2], r.Sps[3], 0xFF, 0xE1,
                              uint8_t(r.Sps.size() >> 8), uint8_t(r.Sps.size())};
    c.insert(c.end(), r.Sps.begin(), r.Sps.end());
    c.insert(c.end(), {1, uint8_t(r.Pps.size() >> 8), uint8_t(r.Pps.size())});
    c.insert(c.end(), r.Pps.begin(), r.Pps.end());
    return c;
}

// RBSP helpers for the slice NAL unit: emulation prevention removed and put
// back, bits read and written MSB first.
std::vector<uint8_t> Unescape(std::span<const uint8_t> n) {
    std::vector<uint8_t> out;
    int zeros = 0;
    for (uint8_t b : n) {
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out.push_back(b);
    }
    return out;
}

std::vector<uint8_t> Escape(const std::vector<uint8_t>& r) {
    std::vector<uint8_t> out;
    int zeros = 0;
    for (uint8_t b : r) {
        if (zeros >= 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out.push_back(b);
    }
    return out;
}

// Bits of the RBSP ahead of its stop bit.
size_t Payload_Bits(const std::vector<uint8_t>& rbsp) {
    for (size_t i = rbsp.size(); i-- > 0;)
        for (int k = 0; k < 8; ++k)
            if (rbsp[i] & (1 << k)) return i * 8 + size_t(7 - k);
    return 0;
}

bool Bit(const std::vector<uint8_t>& r, size_t i) { return (r[i / 8] >> (7 - i % 8)) & 1; }

// The slice's RBSP with its first `keep` payload bits, then `extra` bits taken
// from `filler`, then a stop bit: the slice cut early or running long.
std::vector<uint8_t> Reslice(const std::vector<uint8_t>& rbsp, size_t keep, const std::vector<uint8_t>& filler,
                             size_t extra) {
    std::vector<uint8_t> out((keep + extra) / 8 + 1, 0);
    auto put = [&](size_t at, bool v) {
        if (v) out[at / 8] |= uint8_t(0x80 >> (at % 8));
    };
    for (size_t i = 0; i < keep; ++i) put(i, Bit(rbsp, i));
    for (size_t i = 0; i < extra; ++i) put(keep + i, Bit(filler, i % (filler.size() * 8)));
    put(keep + extra, true);
    return out;
}

// A sample made of lead (NAL units with prefixes) and one slice NAL unit.
std::vector<uint8_t> With_Slice(std::span<const uint8_t> lead, uint8_t nalHeader, const std::vector<uint8_t>& rbsp) {
    std::vector<uint8_t> nal = {nalHeader};
    auto esc = Escape(rbsp);
    nal.insert(nal.end(), esc.begin(), esc.end());
    std::vector<uint8_t> s(lead.begin(), lead.end());
    uint8_t len[4];
    Put_BE32(len, uint32_t(nal.size()));
    s.insert(s.end(), len, len + 4);
    s.insert(s.end(), nal.begin(), nal.end());
    return s;
}

// The slice NAL unit of sample i (after its lead), without its length prefix.
std::span<const uint8_t> Slice_Nal(const test::TRecording& r, size_t i) {
    return Sample(r, i).subspan(r.Video[i].Lead + 4);
}

} // namespace

TEST(DecodeCheck, EverySampleOfARecordingIsClean) {
    for (const auto& f : Fixtures()) {
        SCOPED_TRACE(f.Name);
        const auto config = Find_AvcConfig(Moov(f.Rec));
        TSampleDecoder dec(config);
        ASSERT_TRUE(dec.Ok());
        int keys = 0, others = 0;
        int64_t bytes = 0;
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < f.Rec.Video.size(); ++i) {
            const TSampleVerdict v = dec.Judge(Sample(f.Rec, i));
            EXPECT_TRUE(v.Clean) << "sample " << i << ": " << v.Reason;
            EXPECT_EQ(v.Reason, "clean");
            (f.Rec.Video[i].Sync ? keys : others)++;
            bytes += f.Rec.Video[i].Size;
        }
        const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
        std::printf("[ cost     ] %s: %zu samples, %.0f bytes each, %.0f us per sample\n", f.Name,
                    f.Rec.Video.size(), double(bytes) / double(f.Rec.Video.size()),
                    us / double(f.Rec.Video.size()));
        EXPECT_GE(keys, 1);
        EXPECT_GE(others, 1);
        if (f.Rec.Video[0].Lead > 0) {
            EXPECT_TRUE(dec.Judge(Sample(f.Rec, 0)).Clean) << "again after a reopen";
        }
    }
}

// A wrong split of a seam puts other clusters' bytes in the place of a
// cluster-aligned part of a sample: bytes of another recording's sample, or
// the sample's own bytes one cluster on (a cluster skipped). Every such
// candidate is rejected, key frame or not, wherever the cluster lies, and the
// decoder's own complaints stay off the terminal.
TEST(DecodeCheck, ForeignClustersInsideASampleAreNotClean) {
    const auto& rec = Fixtures()[1].Rec;
    const auto& other = Fixtures()[2].Rec;
    TSampleDecoder dec(Find_AvcConfig(Moov(rec)));
    ASSERT_TRUE(dec.Ok());
    struct TCase {
        const char* name;
        int clusters;
        bool own; // the sample's own bytes, shifted by the clusters replaced
    };
    const TCase cases[] = {
        {"one cluster of another recording", 1, false},
        {"two clusters of another recording", 2, false},
        {"one cluster skipped", 1, true},
        {"two clusters skipped", 2, true},
    };
    int judged = 0;
    double us = 0;
    testing::internal::CaptureStderr();
    for (size_t i : {size_t(0), size_t(1), size_t(5), size_t(7)}) {
        const auto& t = rec.Video[i];
        const auto s = Sample(rec, i);
        const auto o = Sample(other, i);
        for (const TCase& c : cases) {
            const int64_t width = kCluster * c.clusters;
            // Every cluster-aligned run of the file that lies inside the sample.
            for (int64_t a = (t.Offset + kCluster - 1) / kCluster * kCluster; a + width <= t.Offset + t.Size;
                 a += kCluster) {
                SCOPED_TRACE(std::string(c.name) + ", sample " + std::to_string(i) + " at " +
                             std::to_string(a - t.Offset));
                const size_t p = size_t(a - t.Offset);
                std::vector<uint8_t> bad(s.begin(), s.end());
                for (size_t k = 0; k < size_t(width); ++k) {
                    const size_t from = p + k + size_t(width);
                    bad[p + k] = c.own ? (from < s.size() ? s[from] : other.Bytes[from]) : o[(p + k) % o.size()];
                }
                ASSERT_NE(bad, std::vector<uint8_t>(s.begin(), s.end()));
                const auto start = std::chrono::steady_clock::now();
                const TSampleVerdict v = dec.Judge(bad);
                us += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
                ++judged;
                EXPECT_FALSE(v.Clean);
                EXPECT_NE(v.Reason, "clean");
                EXPECT_FALSE(v.Reason.empty());
            }
        }
        EXPECT_TRUE(dec.Judge(s).Clean) << "the true split of sample " << i;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "FFmpeg's messages about these decoders are not shown";
    EXPECT_GE(judged, 40);
    std::printf("[ cost     ] %d rejected candidates, %.0f us each\n", judged, us / judged);
}

// The slice cut short at any bit: where the cut falls on a macroblock boundary
// the decoder reports no error and conceals the rest of the picture (the
// measured wrong seam split); elsewhere it fails. A slice whose bits run on
// past its last macroblock fails as well. Re-encoding the slice unchanged
// stays clean, so the cuts are what is judged.
TEST(DecodeCheck, SliceEndingEarlyOrRunningLongIsNotClean) {
    struct TCase {
        const char* name;
        size_t fixture, sample;
    };
    const TCase cases[] = {
        {"640x368 key frame", 1, 0},
        {"640x368 non-key frame", 1, 2},
        {"160x120 key frame behind SPS/PPS/SEI", 0, 0},
        {"160x120 non-key frame", 0, 3},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto& rec = Fixtures()[c.fixture].Rec;
        TSampleDecoder dec(Find_AvcConfig(Moov(rec)));
        const auto lead = Sample(rec, c.sample).first(rec.Video[c.sample].Lead);
        const auto nal = Slice_Nal(rec, c.sample);
        const auto rbsp = Unescape(nal.subspan(1));
        const size_t bits = Payload_Bits(rbsp);
        const auto same = With_Slice(lead, nal[0], Reslice(rbsp, bits, rbsp, 0));
        ASSERT_EQ(same, std::vector<uint8_t>(Sample(rec, c.sample).begin(), Sample(rec, c.sample).end()));
        EXPECT_TRUE(dec.Judge(same).Clean);

        int concealed = 0;
        for (size_t cut = 1; cut <= std::min<size_t>(bits - 40, 500); ++cut) {
            const TSampleVerdict v = dec.Judge(With_Slice(lead, nal[0], Reslice(rbsp, bits - cut, rbsp, 0)));
            EXPECT_FALSE(v.Clean) << "cut by " << cut << " bits";
            if (v.Reason.find("concealed") != std::string::npos) ++concealed;
        }
        EXPECT_GE(concealed, 1) << "no cut fell on a macroblock boundary";

        const auto& other = Fixtures()[2].Rec;
        const auto filler = Unescape(Slice_Nal(other, 1).subspan(1));
        for (size_t extra : {1, 2, 3, 7, 8, 9, 31, 32, 33, 1000, 4096 * 8}) {
            const TSampleVerdict v = dec.Judge(With_Slice(lead, nal[0], Reslice(rbsp, bits, filler, extra)));
            EXPECT_FALSE(v.Clean) << extra << " bits past the last macroblock";
            EXPECT_EQ(v.Reason.rfind("decoder error", 0), 0u) << v.Reason;
        }
    }
}

// NAL framing that does not tile the sample exactly, and truncated samples.
TEST(DecodeCheck, BrokenFramingIsNotClean) {
    const auto& rec = Fixtures()[0].Rec; // sample 0: SPS, PPS, SEI, slice
    TSampleDecoder dec(Find_AvcConfig(Moov(rec)));
    const auto s0 = Sample(rec, 0);
    const std::vector<uint8_t> whole(s0.begin(), s0.end());
    const std::vector<uint8_t> plain(Sample(rec, 1).begin(), Sample(rec, 1).end());
    auto edit = [](std::vector<uint8_t> b, auto f) {
        f(b);
        return b;
    };
    struct TCase {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* reason;
    };
    const std::vector<TCase> cases = {
        {"empty", {}, "no slice in the sample"},
        {"parameter sets and SEI only", std::vector<uint8_t>(whole.begin(), whole.begin() + rec.Video[0].Lead),
         "no slice in the sample"},
        {"cut in its last NAL unit", std::vector<uint8_t>(whole.begin(), whole.end() - 100),
         "a length prefix runs past the sample's end"},
        {"cut 5 bytes into the slice", std::vector<uint8_t>(whole.begin(), whole.begin() + rec.Video[0].Lead + 5),
         "a length prefix runs past the sample's end"},
        {"length prefix one past the end",
         edit(plain, [](auto& b) { Put_BE32(b.data(), Get_BE32(b.data()) + 1); }),
         "a length prefix runs past the sample's end"},
        {"length prefix one short of the end",
         edit(plain, [](auto& b) { Put_BE32(b.data(), Get_BE32(b.data()) - 1); }),
         "a length prefix is cut off at the sample's end"},
        {"length prefix huge", edit(plain, [](auto& b) { Put_BE32(b.data(), 0xFFFFFFF0u); }),
         "a length prefix runs past the sample's end"},
        {"two bytes after the last NAL unit", edit(plain, [](auto& b) { b.insert(b.end(), {0x00, 0x00}); }),
         "a length prefix is cut off at the sample's end"},
        {"a NAL unit of length 0 ahead", edit(plain, [](auto& b) { b.insert(b.begin(), 4, 0x00); }),
         "a NAL unit of length 0"},
        {"zero bytes inside the slice's length",
         edit(plain,
              [](auto& b) {
                  b.insert(b.end(), 16, 0x00);
                  Put_BE32(b.data(), Get_BE32(b.data()) + 16);
              }),
         "a NAL unit ends in a zero byte"},
        {"forbidden bit", edit(plain, [](auto& b) { b[4] |= 0x80; }), "a NAL unit with its forbidden bit set"},
        {"slice header garbled", edit(plain, [](auto& b) { std::fill(b.begin() + 5, b.begin() + 9, 0xFF); }),
         "decoder error"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        const TSampleVerdict v = dec.Judge(c.bytes);
        EXPECT_FALSE(v.Clean);
        EXPECT_EQ(v.Reason.rfind(c.reason, 0), 0u) << v.Reason;
    }
    EXPECT_TRUE(dec.Judge(whole).Clean);
    EXPECT_TRUE(dec.Judge(plain).Clean);

    // A configuration that does not parse gives no decoder, and no verdict of clean.
    for (const auto& config : {std::vector<uint8_t>{}, std::vector<uint8_t>{1, 66, 0, 30, 0xFF, 0xE0, 0},
                               std::vector<uint8_t>{0, 66, 0, 30, 0xFF, 0xE1, 0, 1, 0x67, 1, 0, 1, 0x68}}) {
        TSampleDecoder bad(config);
        EXPECT_FALSE(bad.Ok());
        EXPECT_FALSE(bad.Judge(whole).Clean);
    }
}

// One decoder per thread, several threads at once (as the seam searches run):
// each gives the verdicts a lone decoder gives, and nothing is shown.
TEST(DecodeCheck, DecodersOnSeveralThreadsJudgeAlike) {
    const auto& rec = Fixtures()[0].Rec;
    const auto config = Find_AvcConfig(Moov(rec));
    std::vector<std::vector<uint8_t>> samples;
    for (size_t i = 0; i < rec.Video.size(); ++i) {
        const auto s = Sample(rec, i);
        samples.emplace_back(s.begin(), s.end());
        auto bad = samples.back();
        std::fill(bad.begin() + long(bad.size() / 2), bad.end() - 1, 0x5A);
        samples.push_back(std::move(bad));
    }
    std::vector<std::string> alone;
    TSampleDecoder one(config);
    for (const auto& s : samples)
        alone.push_back(one.Judge(s).Reason);
    ASSERT_EQ(std::count(alone.begin(), alone.end(), "clean"), long(rec.Video.size()));

    testing::internal::CaptureStderr();
    std::vector<std::vector<std::string>> got(4);
    std::vector<std::thread> threads;
    for (auto& out : got)
        threads.emplace_back([&] {
            TSampleDecoder dec(config);
            for (int round = 0; round < 3; ++round)
                for (const auto& s : samples)
                    out.push_back(dec.Judge(s).Reason);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    for (const auto& out : got) {
        ASSERT_EQ(out.size(), 3 * alone.size());
        for (size_t k = 0; k < out.size(); ++k)
            EXPECT_EQ(out[k], alone[k % alone.size()]);
    }
}

namespace {

std::vector<uint8_t> Bytes(std::span<const uint8_t> s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Offset of the first box of the given type inside b at or after from (a plain
// byte search: the fixtures' boxes are known).
size_t Box_Offset(const std::vector<uint8_t>& b, const char* type, size_t from = 0) {
    for (size_t i = from + 4; i + 4 <= b.size(); ++i)
        if (std::memcmp(&b[i], type, 4) == 0) return i - 4;
    return std::string::npos;
}

} // namespace

// The avcC payload comes out of each fixture's movie box byte for byte, also
// through size 0 and 64-bit sizes; cut or garbled boxes give nothing.
TEST(DecodeCheck, MovieBoxesGiveTheAvcConfigAsWritten) {
    for (const auto& f : Fixtures()) {
        SCOPED_TRACE(f.Name);
        const auto moov = Bytes(Moov(f.Rec));
        const auto written = Written_AvcConfig(f.Rec);
        const size_t trak = Box_Offset(moov, "trak"), stsd = Box_Offset(moov, "stsd"),
                     avcC = Box_Offset(moov, "avcC");
        ASSERT_NE(avcC, std::string::npos);
        auto edit = [&](auto fn) {
            auto b = moov;
            fn(b);
            return b;
        };
        std::vector<uint8_t> large = {0, 0, 0, 1, 'm', 'o', 'o', 'v', 0, 0, 0, 0, 0, 0, 0, 0};
        Put_BE64(&large[8], moov.size() + 8);
        large.insert(large.end(), moov.begin() + 8, moov.end());
        struct TCase {
            const char* name;
            std::vector<uint8_t> bytes;
            bool found;
        };
        const std::vector<TCase> cases = {
            {"the movie box", moov, true},
            {"its children only", std::vector<uint8_t>(moov.begin() + 8, moov.end()), true},
            {"64-bit size on the movie box", large, true},
            {"video trak of size 0 (to the parent's end)", edit([&](auto& b) { Put_BE32(&b[trak], 0); }), true},
            {"cut inside the avcC", std::vector<uint8_t>(moov.begin(), moov.begin() + long(avcC) + 12), false},
            {"avcC larger than its parent", edit([&](auto& b) { Put_BE32(&b[avcC], 0x7FFFFFFF); }), false},
            {"avcC of size 7", edit([&](auto& b) { Put_BE32(&b[avcC], 7); }), false},
            {"stsd of size 1 with a 64-bit size past the end", edit([&](auto& b) { Put_BE32(&b[stsd], 1); }),
             false},
            {"trak of size 4", edit([&](auto& b) { Put_BE32(&b[trak], 4); }), false},
            {"video handler renamed", edit([&](auto& b) { b[Box_Offset(b, "vide") + 4] = 'X'; }), false},
            {"avc1 renamed", edit([&](auto& b) { b[Box_Offset(b, "avc1") + 4] = 'X'; }), false},
            {"no bytes", {}, false},
        };
        for (const TCase& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(Find_AvcConfig(c.bytes), c.found ? written : std::vector<uint8_t>{});
        }
        // Every cut of the movie box, and every box header byte on the way set
        // to 0x00 or 0xFF, is walked without a read outside the bytes.
        for (size_t n = 0; n < moov.size(); n += 3)
            EXPECT_TRUE(Find_AvcConfig(std::span<const uint8_t>(moov).first(n)).empty());
        for (size_t at = 0; at < avcC + 8; ++at)
            for (uint8_t v : {0x00, 0xFF}) {
                auto b = moov;
                b[at] = v;
                const auto got = Find_AvcConfig(b);
                EXPECT_TRUE(got.empty() || got.size() <= written.size() + 255);
            }
    }
}

// A whole rebuilt file: the original decodes without one error; with another
// recording's cluster inside one sample, or cut inside its last sample, the
// check names that sample by its file offset and time.
TEST(DecodeCheck, WholeFileCheckNamesTheDamagedSample) {
    test::TTempDir dir("qrv-decode-check");
    const auto& rec = Fixtures()[2].Rec;
    const auto& other = Fixtures()[1].Rec;
    auto frontPlan = Plan(73, 1280, 720, 1.0, 10, false);
    frontPlan.Layout = test::TLayout::Front;
    const auto front = test::Make_Recording(frontPlan);
    ASSERT_EQ(front.Video.size(), rec.Video.size());
    const auto& last = front.Video.back();
    auto damaged = [&](size_t i) {
        auto b = rec.Bytes;
        const auto& t = rec.Video[i];
        const int64_t a = (t.Offset + kCluster) / kCluster * kCluster;
        std::copy(other.Bytes.begin() + 40000, other.Bytes.begin() + 40000 + kCluster, b.begin() + a);
        return b;
    };
    struct TCase {
        const char* name;
        std::vector<uint8_t> bytes;
        bool opened;
        int64_t damagedSample; // -1: none
        const test::TRecording* truth = nullptr; // where the damaged sample lies; null: rec
    };
    const std::vector<TCase> cases = {
        {"as written", rec.Bytes, true, -1},
        {"foreign cluster in the key frame", damaged(0), true, 0},
        {"foreign cluster in the sixth sample", damaged(5), true, 5},
        {"not a recording", std::vector<uint8_t>(100000, 0x5A), false, -1},
        {"cut inside its last sample (movie box ahead)",
         std::vector<uint8_t>(front.Bytes.begin(), front.Bytes.begin() + last.Offset + last.Size - 100), true,
         int64_t(front.Video.size()) - 1, &front},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File("rebuilt.mp4");
        test::Write_File(path, c.bytes);
        testing::internal::CaptureStderr();
        const auto start = std::chrono::steady_clock::now();
        const TDecodeCheck r = Decode_Check_File(path);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(r.Opened, c.opened);
        if (!c.opened) continue;
        EXPECT_EQ(r.Samples, int64_t(rec.Video.size()));
        if (c.damagedSample < 0) {
            EXPECT_EQ(r.Errors, 0) << r.FirstErrorReason;
            EXPECT_EQ(r.FirstErrorOffset, -1);
            std::printf("[ cost     ] whole-file check of %zu bytes (%dx%d): %.1f MB/s\n", c.bytes.size(), 1280, 720,
                        double(c.bytes.size()) / s / 1e6);
        } else {
            const auto& t = (c.truth ? *c.truth : rec).Video[size_t(c.damagedSample)];
            EXPECT_GE(r.Errors, 1);
            EXPECT_EQ(r.FirstErrorOffset, t.Offset) << r.FirstErrorReason;
            EXPECT_DOUBLE_EQ(r.FirstErrorSeconds, double(c.damagedSample) / 10.0);
            EXPECT_FALSE(r.FirstErrorReason.empty());
        }
    }
    EXPECT_FALSE(Decode_Check_File(dir.File("missing.mp4")).Opened);
}

// Samples of real recordings found by a real scan decode cleanly through
// libavcodec: every picture and every sound frame of the recording, and not
// one decoding error. One recording has lost its head sector and its first
// sample does not start on a sector boundary, so its sample needs the head
// length the analysis recorded.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "common/op_state.h"
#include "common/ui_message.h"
#include "export/preview_sample.h"
#include "pipeline/scan_pipeline.h"
#include "scan/records.h"
#include "scan/scan_job.h"
#include "support/disk_image.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

using namespace qrv;

namespace {

std::atomic<int> g_errors{0};
std::mutex g_firstMu;
std::string g_first;

void Count_Log(void*, int level, const char* fmt, va_list args) {
    if (level > AV_LOG_ERROR) return;
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, args);
    if (g_errors.fetch_add(1) == 0) {
        std::lock_guard<std::mutex> lk(g_firstMu);
        g_first = buf;
    }
}

struct TDecoded {
    int Video = 0, Audio = 0, Errors = 0;
    std::string First;
};

// Decodes every packet of every stream; errors are the decoder's and
// demuxer's error messages and the calls that fail.
TDecoded Decode_All(const std::string& path) {
    TDecoded d;
    g_errors = 0;
    g_first.clear();
    av_log_set_callback(Count_Log);
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(fmt, nullptr) < 0) {
        d.Errors = 1;
        d.First = "cannot open";
        if (fmt) avformat_close_input(&fmt);
        av_log_set_callback(av_log_default_callback);
        return d;
    }
    std::vector<AVCodecContext*> dec(fmt->nb_streams, nullptr);
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVCodec* c = avcodec_find_decoder(fmt->streams[i]->codecpar->codec_id);
        if (!c) continue;
        dec[i] = avcodec_alloc_context3(c);
        avcodec_parameters_to_context(dec[i], fmt->streams[i]->codecpar);
        dec[i]->thread_count = 1;
        if (avcodec_open2(dec[i], c, nullptr) < 0) ++d.Errors;
    }
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&](AVCodecContext* c) {
        while (avcodec_receive_frame(c, frame) == 0) {
            if (frame->decode_error_flags) ++d.Errors;
            (c->codec_type == AVMEDIA_TYPE_VIDEO ? d.Video : d.Audio)++;
            av_frame_unref(frame);
        }
    };
    int ret;
    while ((ret = av_read_frame(fmt, pkt)) >= 0) {
        AVCodecContext* c = dec[size_t(pkt->stream_index)];
        if (c) {
            if (avcodec_send_packet(c, pkt) < 0) ++d.Errors;
            drain(c);
        }
        av_packet_unref(pkt);
    }
    if (ret != AVERROR_EOF) ++d.Errors;
    for (AVCodecContext* c : dec)
        if (c) {
            avcodec_send_packet(c, nullptr);
            drain(c);
        }
    for (AVCodecContext*& c : dec)
        avcodec_free_context(&c);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avformat_close_input(&fmt);
    av_log_set_callback(av_log_default_callback);
    d.Errors += g_errors.load();
    std::lock_guard<std::mutex> lk(g_firstMu);
    if (d.First.empty()) d.First = g_first;
    return d;
}

test::TRecording Make(uint32_t seed, test::TLayout layout, uint32_t freeSize = 8) {
    test::TRecordingPlan s;
    s.Seed = seed;
    s.Seconds = 3.0;
    s.Width = 320;
    s.Height = 240;
    s.Layout = layout;
    s.FreeSize = freeSize;
    return test::Make_Recording(s);
}

} // namespace

TEST(SampleDecode, SamplesOfScannedRecordingsDecodeCleanly) {
    test::TTempDir dir("qrv-sample-decode");
    test::TDiskImage img = test::Make_RawImage(dir.File("card.img"), 32 << 20, 32768);
    struct TPlaced {
        const char* name;
        test::TRecording rec;
        int64_t cluster;
        int64_t header; // where the result's movie header entry starts
    };
    // The lost-head recording's first chunk lies 100 bytes into a sector:
    // ftyp (32) + free (4156) + mdat header (8) = 4196.
    std::vector<TPlaced> placed = {
        {"movie header last", Make(61, test::TLayout::Tail), 8, 0},
        {"movie header first", Make(62, test::TLayout::Front), 200, 0},
        {"head sector lost", Make(63, test::TLayout::Tail, 4156), 400, 0},
    };
    ASSERT_EQ(placed[2].rec.VideoChunkOffsets[0], 4196);
    for (auto& p : placed) {
        const int64_t at = img.Cluster_Offset(p.cluster);
        img.Write_Raw(at, p.rec.Bytes);
        p.header = at + (p.rec.MoovOff > p.rec.MdatOff ? p.rec.MoovOff : 0);
    }
    img.Write_Raw(img.Cluster_Offset(400), std::vector<uint8_t>(512, 0xEE));

    TScanSession session;
    auto sink = std::make_shared<TRecordingSink>();
    Set_UISink(sink);
    TScanParams sp;
    sp.Node = img.Node();
    sp.StartSec = 0;
    sp.EndSec = img.VolumeBytes / 512;
    sp.IntervalScheme = 4; // search both ways: finds media before and after a movie header
    Run_ScanPipeline(session, sp);
    ASSERT_EQ(session.SourcePath(), img.Path);

    for (const auto& p : placed) {
        SCOPED_TRACE(p.name);
        int64_t index = -1;
        for (int64_t i = 0; i < session.Rebuilds.Count(); ++i) {
            const TRebuildResult& r = session.Rebuilds.Get(i);
            if (r.Fragmenum > 1 && r.FragmenArray[0].FragmenSoff == p.header) index = i;
        }
        ASSERT_GE(index, 0) << "no result for the recording";
        if (p.name == placed[2].name) {
            const TRebuildResult& r = session.Rebuilds.Get(index);
            EXPECT_EQ(r.HeadFlag, 1);
            EXPECT_EQ(r.Video_FirLogSoff, 4196);
            EXPECT_EQ(r.HeadLenx, 4096);
        }
        const std::string sample = dir.File("JN0A0928");
        sink->Clear();
        ASSERT_EQ(Try_Play(session, sample, index), PREVIEW_BUILT);
        ASSERT_EQ(sink->OfType(MSG_START_PLAY).size(), 1u);
        const TDecoded d = Decode_All(sample);
        EXPECT_EQ(d.Errors, 0) << d.First;
        EXPECT_EQ(d.Video, int(p.rec.Video.size()));
        EXPECT_EQ(d.Audio, int(p.rec.SoundSizes.size()));
    }
    Set_UISink(nullptr);
}

#include "analysis/sample_decode.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "common/byte_order.h"

namespace qrv {

// ---------------------------------------------------------------------------
// Movie box walk.

namespace {

struct TBox {
    char Type[4] = {};
    std::span<const uint8_t> Payload; // after the header
    size_t Size = 0;                  // header included
};

// The box at off inside parent, or false when its header or size does not fit
// what the parent has left: size 0 runs to the parent's end, size 1 takes the
// 64-bit size after the type, a size below its own header is malformed.
bool Box_At(std::span<const uint8_t> parent, size_t off, TBox& box) {
    if (!Fits(parent, int64_t(off), 8)) return false;
    const size_t left = parent.size() - off;
    uint64_t size = Get_BE32(&parent[off]);
    size_t header = 8;
    if (size == 1) {
        if (!Fits(parent, int64_t(off) + 8, 8)) return false;
        size = Get_BE64(&parent[off + 8]);
        header = 16;
    } else if (size == 0) {
        size = left;
    }
    if (size < header || size > left) return false;
    std::memcpy(box.Type, &parent[off + 4], 4);
    box.Size = size_t(size);
    box.Payload = parent.subspan(off + header, size_t(size) - header);
    return true;
}

bool Is(const TBox& b, const char* type) { return std::memcmp(b.Type, type, 4) == 0; }

// The first child of the given type; false when there is none or a box before
// it is malformed (the rest of the parent cannot be trusted then).
bool Child(std::span<const uint8_t> parent, const char* type, TBox& out, size_t from = 0) {
    for (size_t off = from; off < parent.size();) {
        TBox b;
        if (!Box_At(parent, off, b)) return false;
        if (Is(b, type)) {
            out = b;
            return true;
        }
        off += b.Size;
    }
    return false;
}

// Bytes of a visual sample entry (avc1) ahead of its child boxes.
constexpr size_t kVisualEntryFields = 78;

// The avcC payload of one trak, empty when it is not an H.264 video track.
std::vector<uint8_t> Trak_AvcConfig(std::span<const uint8_t> trak, bool& isVideo) {
    isVideo = false;
    TBox mdia, hdlr, minf, stbl, stsd;
    if (!Child(trak, "mdia", mdia)) return {};
    // hdlr: version/flags (4), pre_defined (4), handler type (4).
    if (!Child(mdia.Payload, "hdlr", hdlr) || !Fits(hdlr.Payload, 8, 4) ||
        std::memcmp(&hdlr.Payload[8], "vide", 4) != 0)
        return {};
    isVideo = true;
    if (!Child(mdia.Payload, "minf", minf) || !Child(minf.Payload, "stbl", stbl) ||
        !Child(stbl.Payload, "stsd", stsd))
        return {};
    // stsd: version/flags (4), entry count (4), then the sample entries.
    if (BE32_At(stsd.Payload, 4) == 0) return {};
    TBox entry;
    if (!Box_At(stsd.Payload, 8, entry) || !(Is(entry, "avc1") || Is(entry, "avc3"))) return {};
    if (entry.Payload.size() < kVisualEntryFields) return {};
    TBox avcC;
    if (!Child(entry.Payload.subspan(kVisualEntryFields), "avcC", avcC)) return {};
    return std::vector<uint8_t>(avcC.Payload.begin(), avcC.Payload.end());
}

} // namespace

std::vector<uint8_t> Find_AvcConfig(std::span<const uint8_t> moov) {
    // The movie box itself, or only its children.
    TBox top;
    std::span<const uint8_t> children = moov;
    if (Box_At(moov, 0, top) && Is(top, "moov")) children = top.Payload;
    for (size_t off = 0; off < children.size();) {
        TBox b;
        if (!Box_At(children, off, b)) return {};
        if (Is(b, "trak")) {
            bool isVideo = false;
            std::vector<uint8_t> config = Trak_AvcConfig(b.Payload, isVideo);
            if (isVideo) return config; // the first video track decides
        }
        off += b.Size;
    }
    return {};
}

// ---------------------------------------------------------------------------
// FFmpeg's log: messages of this module's contexts go to their sink, the rest
// to FFmpeg's default callback.

namespace {

struct TLogSink {
    int Errors = 0;     // messages at error level or worse
    std::string First;  // the first of them
};

std::mutex g_sinkMu;
std::unordered_set<const void*> g_sinks;

TLogSink* Sink_Of(void* avcl) {
    if (!avcl) return nullptr;
    const AVClass* cls = *static_cast<const AVClass* const*>(avcl);
    void* opaque = nullptr;
    if (cls == avcodec_get_class()) opaque = static_cast<AVCodecContext*>(avcl)->opaque;
    else if (cls == avformat_get_class()) opaque = static_cast<AVFormatContext*>(avcl)->opaque;
    if (!opaque) return nullptr;
    std::lock_guard<std::mutex> lk(g_sinkMu);
    return g_sinks.count(opaque) ? static_cast<TLogSink*>(opaque) : nullptr;
}

void Filter_Log(void* avcl, int level, const char* fmt, va_list args) {
    TLogSink* sink = Sink_Of(avcl);
    if (!sink) {
        av_log_default_callback(avcl, level, fmt, args);
        return;
    }
    // A context is used by one thread at a time, and FFmpeg logs on the
    // calling thread (the decoders run single-threaded here).
    if (level > AV_LOG_ERROR) return;
    if (sink->Errors++ == 0) {
        char text[256];
        std::vsnprintf(text, sizeof text, fmt, args);
        sink->First = text;
        while (!sink->First.empty() && (sink->First.back() == '\n' || sink->First.back() == ' '))
            sink->First.pop_back();
    }
}

std::once_flag g_logOnce;

// Registers sink for the life of the object; installs the filter once.
struct TSinkRegistration {
    TLogSink* Sink;
    explicit TSinkRegistration(TLogSink* s) : Sink(s) {
        std::call_once(g_logOnce, [] { av_log_set_callback(Filter_Log); });
        std::lock_guard<std::mutex> lk(g_sinkMu);
        g_sinks.insert(Sink);
    }
    ~TSinkRegistration() {
        std::lock_guard<std::mutex> lk(g_sinkMu);
        g_sinks.erase(Sink);
    }
    TSinkRegistration(const TSinkRegistration&) = delete;
    TSinkRegistration& operator=(const TSinkRegistration&) = delete;
};

std::string Error_Text(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

// Error detection at its strictest: every check the decoders have, a failed
// check stops the decode with an error (explode), and a slice whose
// macroblocks end before its bits do is an error too (aggressive).
constexpr int kStrict = AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_EXPLODE | AV_EF_CAREFUL |
                        AV_EF_COMPLIANT | AV_EF_AGGRESSIVE;

std::string Frame_Fault(const AVFrame* f) {
    const int e = f->decode_error_flags;
    if (e & FF_DECODE_ERROR_CONCEALMENT_ACTIVE) return "macroblocks concealed (slice ended early or was damaged)";
    if (e & FF_DECODE_ERROR_INVALID_BITSTREAM) return "invalid bitstream";
    if (e & FF_DECODE_ERROR_MISSING_REFERENCE) return "missing reference";
#ifdef FF_DECODE_ERROR_DECODE_SLICES
    if (e & FF_DECODE_ERROR_DECODE_SLICES) return "slices failed to decode";
#endif
    if (e) return "decode error flags set";
    return {};
}

// Opens an H.264 decoder for config (avcC payload) on sink's log; nullptr on failure.
AVCodecContext* Open_Decoder(std::span<const uint8_t> config, TLogSink* sink, bool alone) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec) return nullptr;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    if (!c) return nullptr;
    c->opaque = sink;
    c->thread_count = 1; // frames come out in order, messages on this thread
    c->err_recognition = kStrict;
    if (alone) {
        // Judged without its references: a non-key picture is decoded against
        // the stand-ins the decoder makes for missing frames and is still
        // returned, so only its own bitstream is judged.
        c->flags |= AV_CODEC_FLAG_OUTPUT_CORRUPT;
        c->flags2 |= AV_CODEC_FLAG2_SHOW_ALL;
    }
    c->extradata = static_cast<uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!c->extradata) {
        avcodec_free_context(&c);
        return nullptr;
    }
    std::memcpy(c->extradata, config.data(), config.size());
    c->extradata_size = int(config.size());
    // Error concealment stays on (the default): it is what marks a picture
    // whose slices did not cover every macroblock.
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "enable_er", "1", 0);
    const int ret = avcodec_open2(c, codec, &opts);
    av_dict_free(&opts);
    if (ret < 0) avcodec_free_context(&c);
    return c;
}

struct TAvcConfig {
    int LengthSize = 0; // bytes of each NAL unit's length prefix
    bool Ok = false;
};

// AVCDecoderConfigurationRecord: version 1, profile, compatibility, level,
// 6 bits reserved + length size - 1, 3 bits reserved + SPS count, each SPS
// with a 16-bit length, PPS count, each PPS with a 16-bit length.
TAvcConfig Parse_AvcConfig(std::span<const uint8_t> c) {
    TAvcConfig out;
    if (c.size() < 7 || c[0] != 1) return out;
    out.LengthSize = (c[4] & 3) + 1;
    if (out.LengthSize == 3) return out;
    size_t at = 5;
    for (int list = 0; list < 2; ++list) {
        if (!Fits(c, int64_t(at), 1)) return out;
        const int count = list == 0 ? (c[at] & 0x1F) : c[at];
        ++at;
        if (count == 0) return out;
        for (int i = 0; i < count; ++i) {
            if (!Fits(c, int64_t(at), 2)) return out;
            const size_t n = Get_BE16(&c[at]);
            at += 2;
            if (n == 0 || !Fits(c, int64_t(at), int64_t(n))) return out;
            at += n;
        }
    }
    out.Ok = true;
    return out;
}

} // namespace

// ---------------------------------------------------------------------------
// One sample alone.

// Larger than any picture a camera writes, and well inside a packet's int size.
constexpr size_t kMaxSample = size_t(256) << 20;

struct TSampleDecoder::TImpl {
    std::vector<uint8_t> Config;
    TAvcConfig Parsed;
    TLogSink Sink;
    TSinkRegistration Registration{&Sink};
    AVCodecContext* Ctx = nullptr;
    AVPacket* Pkt = nullptr;
    AVFrame* Frame = nullptr;
    std::vector<uint8_t> Buffer; // the sample with the decoder's zero padding

    ~TImpl() {
        avcodec_free_context(&Ctx);
        av_packet_free(&Pkt);
        av_frame_free(&Frame);
    }

    bool Reopen() {
        avcodec_free_context(&Ctx);
        Ctx = Open_Decoder(Config, &Sink, true);
        return Ctx != nullptr;
    }

    // The NAL units tile the sample exactly; says why not, empty when they do.
    std::string Check_Units(std::span<const uint8_t> s, bool& params) const {
        const size_t len = size_t(Parsed.LengthSize);
        int slices = 0;
        params = false;
        size_t at = 0;
        while (at < s.size()) {
            if (s.size() - at < len) return "a length prefix is cut off at the sample's end";
            uint32_t n = 0;
            for (size_t k = 0; k < len; ++k) n = (n << 8) | s[at + k];
            at += len;
            if (n == 0) return "a NAL unit of length 0";
            if (n > s.size() - at) return "a length prefix runs past the sample's end";
            const uint8_t head = s[at];
            if (head & 0x80) return "a NAL unit with its forbidden bit set";
            // An RBSP ends in its stop bit: a NAL unit never ends in a zero byte.
            if (s[at + n - 1] == 0) return "a NAL unit ends in a zero byte";
            const int type = head & 0x1F;
            if (type >= 1 && type <= 5) ++slices;
            if (type == 7 || type == 8) params = true;
            at += n;
        }
        if (slices == 0) return "no slice in the sample";
        return {};
    }

    TSampleVerdict Judge(std::span<const uint8_t> s) {
        TSampleVerdict v;
        if (!Ctx) {
            v.Reason = "no decoder";
            return v;
        }
        if (s.size() > kMaxSample) {
            v.Reason = "sample too large";
            return v;
        }
        bool params = false;
        v.Reason = Check_Units(s, params);
        if (!v.Reason.empty()) return v;

        Buffer.assign(s.begin(), s.end());
        Buffer.resize(s.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        Pkt->data = Buffer.data();
        Pkt->size = int(s.size());
        Pkt->flags = 0;
        Sink = TLogSink{};
        int frames = 0;
        std::string fault;
        int ret = avcodec_send_packet(Ctx, Pkt);
        if (ret < 0) fault = "decoder error: " + Error_Text(ret);
        // Drain: the one picture comes out without waiting for later ones.
        avcodec_send_packet(Ctx, nullptr);
        while ((ret = avcodec_receive_frame(Ctx, Frame)) == 0) {
            ++frames;
            if (fault.empty()) fault = Frame_Fault(Frame);
            av_frame_unref(Frame);
        }
        if (ret != AVERROR_EOF && fault.empty()) fault = "decoder error: " + Error_Text(ret);
        if (fault.empty() && Sink.Errors > 0) fault = "decoder message: " + Sink.First;
        if (fault.empty() && frames != 1) fault = frames == 0 ? "no picture decoded" : "more than one picture";
        av_packet_unref(Pkt);

        if (fault.empty()) {
            avcodec_flush_buffers(Ctx);
            v.Clean = true;
            v.Reason = "clean";
        } else {
            v.Reason = fault;
        }
        // Parameter sets inside the sample, or a failed decode, may have left
        // state behind that a flush does not reset: start the next sample on a
        // fresh decoder.
        if (params || !v.Clean) Reopen();
        return v;
    }
};

TSampleDecoder::TSampleDecoder(std::span<const uint8_t> avcC) : impl_(std::make_unique<TImpl>()) {
    impl_->Config.assign(avcC.begin(), avcC.end());
    impl_->Parsed = Parse_AvcConfig(avcC);
    impl_->Pkt = av_packet_alloc();
    impl_->Frame = av_frame_alloc();
    if (impl_->Parsed.Ok && impl_->Pkt && impl_->Frame) impl_->Reopen();
}

TSampleDecoder::~TSampleDecoder() = default;

bool TSampleDecoder::Ok() const { return impl_->Ctx != nullptr; }

TSampleVerdict TSampleDecoder::Judge(std::span<const uint8_t> sample) { return impl_->Judge(sample); }

// ---------------------------------------------------------------------------
// A whole file.

namespace {

struct TSent {
    int64_t Pos = -1;
    int64_t Pts = AV_NOPTS_VALUE;
    std::string Fault;
};

struct TFileCheck {
    TLogSink Sink;
    TSinkRegistration Registration{&Sink};
    AVFormatContext* Fmt = nullptr;
    AVCodecContext* Dec = nullptr;
    AVPacket* Pkt = av_packet_alloc();
    AVFrame* Frame = av_frame_alloc();
    std::vector<TSent> Sent;
    std::unordered_map<int64_t, size_t> ByPts;

    ~TFileCheck() {
        avcodec_free_context(&Dec);
        avformat_close_input(&Fmt);
        av_packet_free(&Pkt);
        av_frame_free(&Frame);
    }

    void Fail(size_t i, const std::string& why) {
        if (i < Sent.size() && Sent[i].Fault.empty()) Sent[i].Fault = why;
    }

    void Drain() {
        int ret;
        while ((ret = avcodec_receive_frame(Dec, Frame)) == 0) {
            const int64_t pts = Frame->pts != AV_NOPTS_VALUE ? Frame->pts : Frame->best_effort_timestamp;
            auto it = ByPts.find(pts);
            const size_t i = it != ByPts.end() ? it->second : Sent.size() - 1;
            std::string fault = Frame_Fault(Frame);
            if (fault.empty() && (Frame->flags & AV_FRAME_FLAG_CORRUPT)) fault = "picture without its references";
            if (!fault.empty()) Fail(i, fault);
            av_frame_unref(Frame);
        }
    }
};

} // namespace

TDecodeCheck Decode_Check_File(const std::string& path) {
    TDecodeCheck out;
    TFileCheck fc;
    if (!fc.Pkt || !fc.Frame) return out;
    fc.Fmt = avformat_alloc_context();
    if (!fc.Fmt) return out;
    fc.Fmt->opaque = &fc.Sink;
    // Samples go to the decoder as the sample tables cut them: no parser
    // (whose messages would come from a context outside the filter) and no
    // timestamps made up where the tables give none.
    fc.Fmt->flags |= AVFMT_FLAG_NOPARSE | AVFMT_FLAG_NOFILLIN;
    if (avformat_open_input(&fc.Fmt, path.c_str(), nullptr, nullptr) < 0) return out; // frees Fmt
    // No avformat_find_stream_info: the sample tables and the avcC give all the
    // decoder needs, and its probing decoder would log outside the filter.
    const int stream = av_find_best_stream(fc.Fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0) return out;
    // H.264, or H.265 from the generic recovery type (FFmpeg's hevc decoder).
    const AVCodecID id = fc.Fmt->streams[stream]->codecpar->codec_id;
    if (id != AV_CODEC_ID_H264 && id != AV_CODEC_ID_HEVC) return out;
    const AVStream* st = fc.Fmt->streams[stream];
    const AVCodec* codec = avcodec_find_decoder(id);
    if (!codec || !(fc.Dec = avcodec_alloc_context3(codec))) return out;
    if (avcodec_parameters_to_context(fc.Dec, st->codecpar) < 0) return out;
    fc.Dec->opaque = &fc.Sink;
    fc.Dec->thread_count = 1;
    fc.Dec->err_recognition = kStrict;
    // The deblocking filter only smooths pictures already decoded: it finds no
    // error, and skipping it makes the check cheaper.
    fc.Dec->skip_loop_filter = AVDISCARD_ALL;
    // Pictures whose references are missing are returned (marked corrupt), so
    // they are counted rather than silently dropped.
    fc.Dec->flags |= AV_CODEC_FLAG_OUTPUT_CORRUPT;
    if (avcodec_open2(fc.Dec, codec, nullptr) < 0) return out;
    out.Opened = true;

    int ret;
    while ((ret = av_read_frame(fc.Fmt, fc.Pkt)) >= 0) {
        if (fc.Pkt->stream_index != stream) {
            av_packet_unref(fc.Pkt);
            continue;
        }
        const size_t i = fc.Sent.size();
        fc.Sent.push_back({fc.Pkt->pos, fc.Pkt->pts, {}});
        if (fc.Pkt->pts != AV_NOPTS_VALUE) fc.ByPts[fc.Pkt->pts] = i;
        // A sample the file ends inside of comes back short and marked corrupt.
        if (fc.Pkt->flags & AV_PKT_FLAG_CORRUPT) fc.Fail(i, "sample cut short by the end of the file");
        fc.Sink.Errors = 0;
        const int sent = avcodec_send_packet(fc.Dec, fc.Pkt);
        if (sent < 0) fc.Fail(i, "decoder error: " + Error_Text(sent));
        if (fc.Sink.Errors > 0) fc.Fail(i, "decoder message: " + fc.Sink.First);
        av_packet_unref(fc.Pkt);
        fc.Drain();
    }
    const bool readFailed = ret != AVERROR_EOF;
    avcodec_send_packet(fc.Dec, nullptr);
    fc.Drain();

    out.Samples = int64_t(fc.Sent.size());
    for (const TSent& s : fc.Sent) {
        if (s.Fault.empty()) continue;
        if (out.Errors++ == 0) {
            out.FirstErrorOffset = s.Pos;
            out.FirstErrorSeconds = s.Pts != AV_NOPTS_VALUE ? double(s.Pts) * av_q2d(st->time_base) : -1.0;
            out.FirstErrorReason = s.Fault;
        }
    }
    if (readFailed) {
        // The file ends before its sample tables do: the samples not read count as one failure.
        if (out.Errors++ == 0) out.FirstErrorReason = "read error: " + Error_Text(ret);
    }
    return out;
}

} // namespace qrv

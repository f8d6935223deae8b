// qrv-preview-frame: plays a file with the preview engine (without sound
// output) and saves the first frame it hands out at or after a position as a
// PNG picture, to look at what the preview panel would paint.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "player/player.h"

namespace {

void Usage(FILE* f) {
    std::fprintf(f, "usage: qrv-preview-frame FILE OUT.png [--size WxH] [--at SECONDS]\n"
                    "  Plays FILE with the preview player and saves the first frame at or after\n"
                    "  SECONDS (default 0) scaled to fit WxH (default: the frame's own size).\n");
}

// Encodes the frame as PNG with libavcodec's encoder.
bool Save_Png(const qrv::TVideoImage& img, const std::string& path) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec) return false;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    AVFrame* f = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    bool ok = false;
    if (c && f && pkt) {
        c->width = img.Width;
        c->height = img.Height;
        c->pix_fmt = AV_PIX_FMT_RGB24;
        c->time_base = AVRational{1, 25};
        f->format = AV_PIX_FMT_RGB24;
        f->width = img.Width;
        f->height = img.Height;
        if (avcodec_open2(c, codec, nullptr) >= 0 && av_frame_get_buffer(f, 0) >= 0) {
            for (int y = 0; y < img.Height; ++y)
                for (int x = 0; x < img.Width; ++x) {
                    uint32_t px;
                    std::memcpy(&px, &img.Pixels[size_t(y) * size_t(img.Stride) + size_t(x) * 4], 4);
                    uint8_t* d = f->data[0] + y * f->linesize[0] + x * 3;
                    d[0] = uint8_t(px >> 16);
                    d[1] = uint8_t(px >> 8);
                    d[2] = uint8_t(px);
                }
            if (avcodec_send_frame(c, f) >= 0 && avcodec_send_frame(c, nullptr) >= 0 &&
                avcodec_receive_packet(c, pkt) >= 0) {
                if (FILE* out = std::fopen(path.c_str(), "wb")) {
                    ok = std::fwrite(pkt->data, 1, size_t(pkt->size), out) == size_t(pkt->size);
                    ok = std::fclose(out) == 0 && ok;
                }
            }
        }
    }
    av_packet_free(&pkt);
    av_frame_free(&f);
    avcodec_free_context(&c);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    std::string in, out;
    int w = 0, h = 0;
    double at = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        } else if (a == "--size" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%dx%d", &w, &h) != 2 || w <= 0 || h <= 0) {
                Usage(stderr);
                return 2;
            }
        } else if (a == "--at" && i + 1 < argc) {
            at = std::atof(argv[++i]);
        } else if (in.empty()) {
            in = a;
        } else if (out.empty()) {
            out = a;
        } else {
            Usage(stderr);
            return 2;
        }
    }
    if (in.empty() || out.empty()) {
        Usage(stderr);
        return 2;
    }
    ::setenv("SDL_AUDIODRIVER", "dummy", 1);

    std::mutex mu;
    std::condition_variable cv;
    std::shared_ptr<const qrv::TVideoImage> got;
    bool over = false;
    const int64_t from = int64_t(at * 1e6);
    qrv::TPlayer player;
    qrv::TPlayerCallbacks cb;
    cb.Frame = [&](std::shared_ptr<const qrv::TVideoImage> img) {
        std::lock_guard<std::mutex> lk(mu);
        if (!got && img->PositionUs >= from) got = std::move(img);
        cv.notify_all();
    };
    auto end = [&] {
        std::lock_guard<std::mutex> lk(mu);
        over = true;
        cv.notify_all();
    };
    cb.Ended = end;
    cb.Error = [end](const std::string&) { end(); };
    player.Set_Callbacks(cb);
    player.Set_TargetSize(w, h);
    if (!player.Open_Play(in)) {
        std::fprintf(stderr, "qrv-preview-frame: %s\n", player.Last_Error().c_str());
        return 1;
    }
    {
        std::unique_lock<std::mutex> lk(mu);
        cv.wait(lk, [&] { return got || over; });
    }
    player.Stop();
    if (!got) {
        std::fprintf(stderr, "qrv-preview-frame: no frame at or after %.3f s\n", at);
        return 1;
    }
    if (!Save_Png(*got, out)) {
        std::fprintf(stderr, "qrv-preview-frame: cannot write %s\n", out.c_str());
        return 1;
    }
    std::printf("%s: %dx%d frame at %.3f s\n", out.c_str(), got->Width, got->Height, got->PositionUs / 1e6);
    return 0;
}

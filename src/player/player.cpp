#include "player/player.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}
#include <SDL2/SDL.h>

#include "export/preview_sample.h"

namespace qrv {

namespace {

using TClockUs = int64_t;

TClockUs Now_Us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Av_Error(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

// Packets waiting for one decoder. A null packet marks the end of the stream.
class TPacketQueue {
  public:
    ~TPacketQueue() { Clear(); }
    void Put(AVPacket* p) {
        std::lock_guard<std::mutex> lk(mu_);
        if (abort_) {
            av_packet_free(&p);
            return;
        }
        bytes_ += p ? p->size : 0;
        q_.push_back(p);
        cv_.notify_one();
    }
    // Waits for a packet; false when the queue was aborted. *out is null at
    // the end of the stream.
    bool Get(AVPacket** out) {
        std::unique_lock<std::mutex> lk(mu_);
        cv_.wait(lk, [&] { return abort_ || !q_.empty(); });
        if (abort_) return false;
        *out = q_.front();
        q_.pop_front();
        bytes_ -= *out ? (*out)->size : 0;
        return true;
    }
    size_t Count() const {
        std::lock_guard<std::mutex> lk(mu_);
        return q_.size();
    }
    int64_t Bytes() const {
        std::lock_guard<std::mutex> lk(mu_);
        return bytes_;
    }
    void Abort() {
        std::lock_guard<std::mutex> lk(mu_);
        abort_ = true;
        cv_.notify_all();
    }
    void Clear() {
        std::lock_guard<std::mutex> lk(mu_);
        for (AVPacket* p : q_)
            av_packet_free(&p);
        q_.clear();
        bytes_ = 0;
    }

  private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::deque<AVPacket*> q_;
    int64_t bytes_ = 0;
    bool abort_ = false;
};

// A play clock: a position that advances with the wall clock from the moment
// it was last set, and stands still while paused.
class TPlayClock {
  public:
    void Set(int64_t positionUs, TClockUs now) {
        std::lock_guard<std::mutex> lk(mu_);
        pos_ = positionUs;
        at_ = now;
        set_ = true;
    }
    std::optional<int64_t> Get(TClockUs now) const {
        std::lock_guard<std::mutex> lk(mu_);
        if (!set_) return std::nullopt;
        return paused_ ? pos_ : pos_ + (now - at_);
    }
    void Pause(bool pause, TClockUs now) {
        std::lock_guard<std::mutex> lk(mu_);
        if (pause && !paused_) pos_ += now - at_;
        at_ = now;
        paused_ = pause;
    }

  private:
    mutable std::mutex mu_;
    bool set_ = false;
    bool paused_ = false;
    int64_t pos_ = 0;
    TClockUs at_ = 0;
};

// Decoded and resampled sound waiting for SDL's callback.
struct TSoundChunk {
    std::vector<uint8_t> Bytes;
    size_t Read = 0;
    int64_t PositionUs = 0; // position of the chunk's first byte
};

// How long the audio thread may run ahead of the output.
constexpr int64_t kSoundAheadUs = 300000;
// Queued packets: the demuxer waits while every queue holds this many, or
// while the queues hold this many bytes together.
constexpr size_t kEnoughPackets = 50;
constexpr int64_t kMaxQueuedBytes = 16 << 20;
// A frame this far behind the master clock is not converted (dropped).
constexpr int64_t kLateUs = 300000;
// A frame more than this ahead of the master clock is a jump in the time
// stamps, not something to wait for.
constexpr int64_t kJumpUs = 2000000;
// Largest frame handed out (target sizes are clamped to it).
constexpr int kMaxSide = 8192;
// Failed reads in a row after which the file counts as ended.
constexpr int kMaxReadFailures = 100000;
// Interval of the position reports of a file without video.
constexpr int64_t kSoundPositionStepUs = 40000;

} // namespace

// Everything that lives while one file plays.
struct TSession {
    TPlayerCallbacks Cb;
    const std::atomic<int>* TargetW = nullptr;
    const std::atomic<int>* TargetH = nullptr;
    const std::atomic<bool>* Mute = nullptr;

    TInUseMark File;
    AVFormatContext* Fmt = nullptr;
    int VIdx = -1, AIdx = -1;
    AVRational VTb{1, 1}, ATb{1, 1};
    AVCodecContext* VDec = nullptr;
    AVCodecContext* ADec = nullptr;
    int64_t StartUs = 0; // position 0 in microseconds of the container's time
    int64_t SkipUntilUs = 0; // a seek: frames before this position are not played
    TPacketQueue VQ, AQ;

    std::atomic<bool> Abort{false};
    std::mutex PauseMu;
    std::condition_variable PauseCv; // pause, resume, abort; also the video thread's timed waits
    bool PausedFlag = false;         // guarded by PauseMu
    std::atomic<bool> Paused{false};

    TPlayClock AudioClock, WallClock;

    // Audio output.
    SDL_AudioDeviceID Dev = 0;
    SDL_AudioSpec DeviceFormat{};
    int BytesPerSecond = 0;
    SwrContext* Swr = nullptr;
    std::mutex SoundMu;
    std::condition_variable SoundCv;
    std::deque<TSoundChunk> Sound; // guarded by SoundMu
    int64_t SoundBytes = 0;        // guarded by SoundMu
    std::atomic<bool> SoundPlayed{false};

    // Video conversion (video thread only).
    SwsContext* Sws = nullptr;

    std::thread Demux, Video, Audio;
    std::mutex ReadMu;
    std::condition_variable ReadCv;
    std::atomic<int> Active{0};        // stream threads still running
    std::atomic<bool> AnyFrame{false}; // a picture decoded (a sound frame in a file without video)
    std::atomic<bool> Finished{false}; // played to the end (or failed)
    std::atomic<int64_t> LastPosition{-1};
    std::string* ErrorText = nullptr; // the player's last error (written once at the end)
    std::mutex* ErrorMu = nullptr;

    ~TSession() {
        if (Dev) SDL_CloseAudioDevice(Dev);
        avcodec_free_context(&VDec);
        avcodec_free_context(&ADec);
        swr_free(&Swr);
        sws_freeContext(Sws);
        if (Fmt) avformat_close_input(&Fmt);
    }

    bool Has_Video() const { return VDec != nullptr; }
    bool Has_Sound() const { return ADec != nullptr && Dev != 0; }

    // ---- clocks ----

    // The position playback has reached: the audio clock once sound was
    // played, else the wall clock (started by the first video frame).
    std::optional<int64_t> Master(TClockUs now) const {
        if (Has_Sound() && SoundPlayed.load()) return AudioClock.Get(now);
        return WallClock.Get(now);
    }

    void Report_Position(int64_t pos) {
        if (pos < 0) pos = 0;
        int64_t last = LastPosition.load();
        while (pos > last && !LastPosition.compare_exchange_weak(last, pos)) {
        }
        if (pos > last && Cb.Position) Cb.Position(pos);
    }

    // Waits while paused; false once aborted.
    bool Wait_Unpaused() {
        std::unique_lock<std::mutex> lk(PauseMu);
        PauseCv.wait(lk, [&] { return Abort.load() || !PausedFlag; });
        return !Abort.load();
    }

    // Sleeps up to us microseconds (woken early by pause and stop).
    void Nap(int64_t us) {
        std::unique_lock<std::mutex> lk(PauseMu);
        PauseCv.wait_for(lk, std::chrono::microseconds(us), [&] { return Abort.load() || PausedFlag; });
    }

    // ---- end of playback ----

    void Stream_Done() {
        if (Active.fetch_sub(1) != 1 || Abort.load()) return;
        Finished = true;
        File.Release(); // played out: the sample may be replaced
        if (AnyFrame.load()) {
            if (Cb.Ended) Cb.Ended();
        } else {
            const std::string text = "no frame of the file could be decoded";
            {
                std::lock_guard<std::mutex> lk(*ErrorMu);
                *ErrorText = text;
            }
            if (Cb.Error) Cb.Error(text);
        }
    }

    // ---- demux thread ----

    bool Queues_Full() const {
        if (VQ.Bytes() + AQ.Bytes() > kMaxQueuedBytes) return true;
        return (!Has_Video() || VQ.Count() >= kEnoughPackets) &&
               (!Has_Sound() || AQ.Count() >= kEnoughPackets);
    }

    void Demux_Loop() {
        AVPacket* pkt = av_packet_alloc();
        int failures = 0; // reads failed in a row
        while (!Abort.load() && pkt) {
            if (Queues_Full()) {
                std::unique_lock<std::mutex> lk(ReadMu);
                ReadCv.wait_for(lk, std::chrono::milliseconds(10), [&] { return Abort.load(); });
                continue;
            }
            const int ret = av_read_frame(Fmt, pkt);
            if (ret < 0) {
                // The end, or a read error: samples past the end of a short
                // sample file fail one by one until the demuxer runs out.
                if (ret == AVERROR_EOF || avio_feof(Fmt->pb) || (Fmt->pb && Fmt->pb->error)) break;
                if (++failures >= kMaxReadFailures) break; // a demuxer that no longer advances
                continue;
            }
            failures = 0;
            if (pkt->stream_index == VIdx && Has_Video()) {
                VQ.Put(av_packet_clone(pkt));
            } else if (pkt->stream_index == AIdx && Has_Sound()) {
                AQ.Put(av_packet_clone(pkt));
            }
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
        if (Has_Video()) VQ.Put(nullptr);
        if (Has_Sound()) AQ.Put(nullptr);
        if (!Abort.load()) {
            // Everything is read: the decoders keep their own packets.
            avformat_close_input(&Fmt);
        }
    }

    // ---- decoding ----

    // Feeds one packet (null: drain) and hands every frame out. False once aborted.
    template <class F> bool Decode(AVCodecContext* dec, AVPacket* pkt, AVFrame* frame, F&& use) {
        int ret = avcodec_send_packet(dec, pkt);
        bool resent = false;
        while (true) {
            const int got = avcodec_receive_frame(dec, frame);
            if (got == 0) {
                const bool go = use(frame);
                av_frame_unref(frame);
                if (!go || Abort.load()) return false;
                continue;
            }
            if (ret == AVERROR(EAGAIN) && !resent) {
                // The decoder was full: now that its frames are out, the packet goes in.
                resent = true;
                ret = avcodec_send_packet(dec, pkt);
                continue;
            }
            break; // needs more input, drained, or a damaged packet (skipped)
        }
        return !Abort.load();
    }

    template <class F> void Decode_Loop(TPacketQueue& q, AVCodecContext* dec, F&& use) {
        AVFrame* frame = av_frame_alloc();
        AVPacket* pkt = nullptr;
        while (frame && q.Get(&pkt)) {
            const bool end = pkt == nullptr;
            const bool go = Decode(dec, pkt, frame, use);
            av_packet_free(&pkt);
            {
                std::lock_guard<std::mutex> lk(ReadMu);
                ReadCv.notify_one();
            }
            if (!go || end) break;
        }
        av_frame_free(&frame);
    }

    // ---- video thread ----

    void Fit(const AVFrame* f, int& w, int& h) const {
        double sar = f->sample_aspect_ratio.num > 0 && f->sample_aspect_ratio.den > 0
                         ? av_q2d(f->sample_aspect_ratio)
                         : 1.0;
        const double dispW = f->width * sar, dispH = f->height;
        const int tw = std::clamp(TargetW->load(), 0, kMaxSide),
                  th = std::clamp(TargetH->load(), 0, kMaxSide);
        if (tw <= 0 || th <= 0) {
            w = int(std::lround(dispW));
            h = int(dispH);
        } else if (double(tw) * dispH > double(th) * dispW) {
            h = th;
            w = int(std::lround(th * dispW / dispH));
        } else {
            w = tw;
            h = int(std::lround(tw * dispH / dispW));
        }
        w = std::clamp(w, 1, kMaxSide);
        h = std::clamp(h, 1, kMaxSide);
    }

    std::shared_ptr<TVideoImage> Convert(const AVFrame* f, int64_t pos) {
        if (f->format < 0 || f->width <= 0 || f->height <= 0) return nullptr;
        int w = 0, h = 0;
        Fit(f, w, h);
        Sws = sws_getCachedContext(Sws, f->width, f->height, AVPixelFormat(f->format), w, h, AV_PIX_FMT_RGB32,
                                   SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!Sws) return nullptr;
        auto img = std::make_shared<TVideoImage>();
        img->Width = w;
        img->Height = h;
        img->Stride = w * 4;
        img->Pixels.assign(size_t(img->Stride) * size_t(h), 0);
        img->PositionUs = pos;
        uint8_t* dst[4] = {img->Pixels.data(), nullptr, nullptr, nullptr};
        int dstStride[4] = {img->Stride, 0, 0, 0};
        if (sws_scale(Sws, f->data, f->linesize, 0, f->height, dst, dstStride) <= 0) return nullptr;
        return img;
    }

    void Video_Loop() {
        int64_t nextPos = 0;
        TClockUs lastShown = 0;
        const int64_t frameUs = VDec->framerate.num > 0 && VDec->framerate.den > 0
                                    ? int64_t(1e6 / av_q2d(VDec->framerate))
                                    : 40000;
        Decode_Loop(VQ, VDec, [&](AVFrame* f) {
            AnyFrame = true;
            const int64_t ts = f->best_effort_timestamp;
            int64_t pos =
                ts == AV_NOPTS_VALUE ? nextPos : av_rescale_q(ts, VTb, AVRational{1, 1000000}) - StartUs;
            nextPos = pos + frameUs;
            // Before the position sought: decoded (the pictures after depend
            // on it) but not shown.
            if (pos < SkipUntilUs) return true;
            // Wait until the frame is due.
            TClockUs now = Now_Us();
            while (true) {
                if (!Wait_Unpaused()) return false;
                now = Now_Us();
                std::optional<int64_t> m = Master(now);
                if (!m) {
                    WallClock.Set(pos, now);
                    break;
                }
                const int64_t delay = pos - *m;
                if (delay <= 0) {
                    if (-delay > kLateUs && now - lastShown < 500000) return true; // too late: dropped
                    break;
                }
                if (delay > kJumpUs) {
                    if (!Has_Sound() || !SoundPlayed.load()) WallClock.Set(pos, now);
                    break;
                }
                Nap(std::min<int64_t>(delay, 20000));
                if (Abort.load()) return false;
            }
            if (Cb.Frame) {
                if (auto img = Convert(f, std::max<int64_t>(pos, 0))) Cb.Frame(std::move(img));
            }
            lastShown = Now_Us();
            Report_Position(pos);
            return true;
        });
        Stream_Done();
    }

    // ---- audio thread and SDL callback ----

    bool Setup_Resampler(const AVFrame* f) {
        AVChannelLayout in{};
        if (f->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC && f->ch_layout.nb_channels > 0)
            av_channel_layout_copy(&in, &f->ch_layout);
        else
            av_channel_layout_default(&in, std::max(f->ch_layout.nb_channels, 1));
        AVChannelLayout out{};
        av_channel_layout_default(&out, DeviceFormat.channels);
        swr_free(&Swr);
        int ret = swr_alloc_set_opts2(&Swr, &out, AV_SAMPLE_FMT_S16, DeviceFormat.freq, &in,
                                      AVSampleFormat(f->format), f->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&in);
        av_channel_layout_uninit(&out);
        if (ret < 0 || swr_init(Swr) < 0) {
            swr_free(&Swr);
            return false;
        }
        return true;
    }

    // Waits until the output has taken what is queued beyond the lead; false once aborted.
    bool Wait_SoundRoom(int64_t maxBytes) {
        std::unique_lock<std::mutex> lk(SoundMu);
        while (!Abort.load() && SoundBytes > maxBytes) {
            SoundCv.wait_for(lk, std::chrono::milliseconds(10));
            if (!Has_Video()) {
                lk.unlock();
                auto m = Master(Now_Us());
                if (m && *m >= LastPosition.load() + kSoundPositionStepUs) Report_Position(*m);
                lk.lock();
            }
        }
        return !Abort.load();
    }

    void Audio_Loop() {
        int inFormat = -1, inRate = 0, inChannels = 0;
        int64_t nextPos = 0;
        const int64_t lead = int64_t(BytesPerSecond) * kSoundAheadUs / 1000000;
        Decode_Loop(AQ, ADec, [&](AVFrame* f) {
            if (f->nb_samples <= 0 || f->sample_rate <= 0) return true;
            if (!Has_Video()) AnyFrame = true;
            if (!Swr || f->format != inFormat || f->sample_rate != inRate ||
                f->ch_layout.nb_channels != inChannels) {
                inFormat = f->format;
                inRate = f->sample_rate;
                inChannels = f->ch_layout.nb_channels;
                if (!Setup_Resampler(f)) return true;
            }
            const int64_t ts = f->best_effort_timestamp;
            const int64_t pos =
                ts == AV_NOPTS_VALUE ? nextPos : av_rescale_q(ts, ATb, AVRational{1, 1000000}) - StartUs;
            nextPos = pos + int64_t(f->nb_samples) * 1000000 / f->sample_rate;
            if (nextPos <= SkipUntilUs) return true; // before the position sought
            const int outMax = swr_get_out_samples(Swr, f->nb_samples);
            if (outMax <= 0) return true;
            TSoundChunk c;
            c.Bytes.resize(size_t(outMax) * size_t(DeviceFormat.channels) * 2);
            uint8_t* outp = c.Bytes.data();
            const int got =
                swr_convert(Swr, &outp, outMax, const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
            if (got <= 0) return true;
            c.Bytes.resize(size_t(got) * size_t(DeviceFormat.channels) * 2);
            c.PositionUs = pos;
            if (!Wait_SoundRoom(lead)) return false;
            std::lock_guard<std::mutex> lk(SoundMu);
            SoundBytes += int64_t(c.Bytes.size());
            Sound.push_back(std::move(c));
            return true;
        });
        // Let the output play what is queued before the stream counts as done.
        Wait_SoundRoom(0);
        Stream_Done();
    }

    static void SDLCALL Sound_Callback(void* user, Uint8* stream, int len) {
        static_cast<TSession*>(user)->Fill_Sound(stream, len);
    }

    void Fill_Sound(Uint8* stream, int len) {
        std::memset(stream, 0, size_t(len)); // silence where nothing is queued
        int done = 0;
        std::optional<int64_t> played;
        {
            std::lock_guard<std::mutex> lk(SoundMu);
            while (done < len && !Sound.empty()) {
                TSoundChunk& c = Sound.front();
                const int take = int(std::min<size_t>(size_t(len - done), c.Bytes.size() - c.Read));
                if (!Mute->load()) std::memcpy(stream + done, c.Bytes.data() + c.Read, size_t(take));
                c.Read += size_t(take);
                done += take;
                SoundBytes -= take;
                played = c.PositionUs + int64_t(c.Read) * 1000000 / BytesPerSecond;
                if (c.Read >= c.Bytes.size()) Sound.pop_front();
            }
            SoundCv.notify_all();
        }
        if (played) {
            // What was handed over now sounds after what SDL still holds.
            AudioClock.Set(*played - 2 * int64_t(len) * 1000000 / BytesPerSecond, Now_Us());
            SoundPlayed = true;
        }
    }
};

struct TPlayer::TImpl {
    mutable std::mutex Mu; // the control functions
    TPlayerCallbacks Cb;
    std::atomic<int> TargetW{0}, TargetH{0};
    std::atomic<bool> Mute{false};
    std::unique_ptr<TSession> S;
    bool SdlAudio = false;
    std::atomic<int64_t> Duration{0}; // the length of the file opened last, in microseconds
    mutable std::mutex ErrorMu;
    std::string Error;

    void Set_Error(const std::string& e) {
        std::lock_guard<std::mutex> lk(ErrorMu);
        Error = e;
    }

    void Stop_Locked() {
        if (!S) return;
        TSession& s = *S;
        s.Abort = true;
        s.VQ.Abort();
        s.AQ.Abort();
        {
            std::lock_guard<std::mutex> lk(s.PauseMu);
            s.PauseCv.notify_all();
        }
        {
            std::lock_guard<std::mutex> lk(s.SoundMu);
            s.SoundCv.notify_all();
        }
        {
            std::lock_guard<std::mutex> lk(s.ReadMu);
            s.ReadCv.notify_all();
        }
        for (std::thread* t : {&s.Demux, &s.Video, &s.Audio})
            if (t->joinable()) t->join();
        // Closing the device waits for a callback in progress to return.
        if (s.Dev) SDL_CloseAudioDevice(s.Dev);
        s.Dev = 0;
        s.VQ.Clear();
        s.AQ.Clear();
        S.reset(); // frees the decoders and closes the file, releasing its mark
    }

    bool Open_Sound(TSession& s) {
        if (!SdlAudio) {
            if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return false;
            SdlAudio = true;
        }
        SDL_AudioSpec want{};
        want.freq = s.ADec->sample_rate > 0 ? s.ADec->sample_rate : 44100;
        want.format = AUDIO_S16SYS;
        want.channels = Uint8(std::clamp(s.ADec->ch_layout.nb_channels, 1, 2));
        int samples = 512;
        while (samples < 4096 && samples * 30 < want.freq)
            samples *= 2;
        want.samples = Uint16(samples);
        want.callback = &TSession::Sound_Callback;
        want.userdata = &s;
        s.Dev = SDL_OpenAudioDevice(nullptr, 0, &want, &s.DeviceFormat,
                                    SDL_AUDIO_ALLOW_FREQUENCY_CHANGE | SDL_AUDIO_ALLOW_CHANNELS_CHANGE);
        if (s.Dev == 0) return false;
        if (s.DeviceFormat.channels < 1 || s.DeviceFormat.freq <= 0) {
            SDL_CloseAudioDevice(s.Dev);
            s.Dev = 0;
            return false;
        }
        s.BytesPerSecond = s.DeviceFormat.freq * s.DeviceFormat.channels * 2;
        return true;
    }
};

namespace {

AVCodecContext* Open_Decoder(AVFormatContext* fmt, int idx) {
    if (idx < 0) return nullptr;
    const AVCodec* codec = avcodec_find_decoder(fmt->streams[idx]->codecpar->codec_id);
    if (!codec) return nullptr;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    if (!c) return nullptr;
    c->thread_count = 1;
    if (avcodec_parameters_to_context(c, fmt->streams[idx]->codecpar) < 0 ||
        avcodec_open2(c, codec, nullptr) < 0) {
        avcodec_free_context(&c);
        return nullptr;
    }
    c->pkt_timebase = fmt->streams[idx]->time_base;
    return c;
}

} // namespace

TPlayer::TPlayer() : d_(std::make_unique<TImpl>()) {}

TPlayer::~TPlayer() {
    std::lock_guard<std::mutex> lk(d_->Mu);
    d_->Stop_Locked();
    if (d_->SdlAudio) SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

void TPlayer::Set_Callbacks(TPlayerCallbacks callbacks) {
    std::lock_guard<std::mutex> lk(d_->Mu);
    d_->Cb = std::move(callbacks);
}

bool TPlayer::Load_Libraries(const std::string&) {
    return true;
}

bool TPlayer::Open_Play(const std::string& path) {
    return Open_Play(path, 0);
}

int64_t TPlayer::Duration_Us() const {
    return d_->Duration.load();
}

bool TPlayer::Open_Play(const std::string& path, int64_t startUs) {
    std::lock_guard<std::mutex> lk(d_->Mu);
    d_->Stop_Locked();
    d_->Set_Error("");
    d_->Duration = 0;
    auto s = std::make_unique<TSession>();
    s->Cb = d_->Cb;
    s->TargetW = &d_->TargetW;
    s->TargetH = &d_->TargetH;
    s->Mute = &d_->Mute;
    s->ErrorText = &d_->Error;
    s->ErrorMu = &d_->ErrorMu;
    s->File = TInUseMark(path);

    int ret = avformat_open_input(&s->Fmt, path.c_str(), nullptr, nullptr);
    if (ret < 0) {
        s->Fmt = nullptr;
        d_->Set_Error("cannot open " + path + ": " + Av_Error(ret));
        return false;
    }
    ret = avformat_find_stream_info(s->Fmt, nullptr);
    if (ret < 0) {
        d_->Set_Error("cannot read the streams of " + path + ": " + Av_Error(ret));
        return false;
    }
    s->VIdx = av_find_best_stream(s->Fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    s->AIdx = av_find_best_stream(s->Fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    s->VDec = Open_Decoder(s->Fmt, s->VIdx);
    s->ADec = Open_Decoder(s->Fmt, s->AIdx);
    if (s->VDec) s->VTb = s->Fmt->streams[s->VIdx]->time_base;
    if (s->ADec) {
        s->ATb = s->Fmt->streams[s->AIdx]->time_base;
        // Without an audio output the sound is not decoded; the video plays on the wall clock.
        if (!d_->Open_Sound(*s)) avcodec_free_context(&s->ADec);
    }
    if (!s->VDec && !s->ADec) {
        d_->Set_Error("no stream of " + path + " can be decoded");
        return false;
    }
    s->StartUs = s->Fmt->start_time != AV_NOPTS_VALUE ? s->Fmt->start_time : 0;
    if (s->Fmt->duration != AV_NOPTS_VALUE && s->Fmt->duration > 0) d_->Duration = s->Fmt->duration;
    if (startUs > 0) {
        // From the key frame at or before the position; a file that cannot
        // be positioned plays from its start, skipping up to the position.
        s->SkipUntilUs = startUs;
        av_seek_frame(s->Fmt, -1, s->StartUs + startUs, AVSEEK_FLAG_BACKWARD);
    }
    s->Active = int(s->VDec != nullptr) + int(s->Has_Sound());
    TSession* raw = s.get();
    d_->S = std::move(s);
    raw->Demux = std::thread([raw] { raw->Demux_Loop(); });
    if (raw->VDec) raw->Video = std::thread([raw] { raw->Video_Loop(); });
    if (raw->Has_Sound()) {
        raw->Audio = std::thread([raw] { raw->Audio_Loop(); });
        SDL_PauseAudioDevice(raw->Dev, 0);
    }
    return true;
}

void TPlayer::Stop() {
    std::lock_guard<std::mutex> lk(d_->Mu);
    d_->Stop_Locked();
    d_->Duration = 0;
}

void TPlayer::Toggle_Pause() {
    std::lock_guard<std::mutex> lk(d_->Mu);
    if (!d_->S) return;
    TSession& s = *d_->S;
    const bool pause = !s.Paused.load();
    // The device first: once it is paused no callback moves the audio clock.
    if (pause && s.Dev) SDL_PauseAudioDevice(s.Dev, 1);
    const TClockUs now = Now_Us();
    s.AudioClock.Pause(pause, now);
    s.WallClock.Pause(pause, now);
    {
        std::lock_guard<std::mutex> plk(s.PauseMu);
        s.PausedFlag = pause;
        s.Paused = pause;
        s.PauseCv.notify_all();
    }
    if (!pause && s.Dev) SDL_PauseAudioDevice(s.Dev, 0);
}

bool TPlayer::Paused() const {
    std::lock_guard<std::mutex> lk(d_->Mu);
    return d_->S && d_->S->Paused.load();
}

void TPlayer::Set_Mute(bool mute) {
    d_->Mute = mute;
}

bool TPlayer::Muted() const {
    return d_->Mute.load();
}

void TPlayer::Set_TargetSize(int width, int height) {
    d_->TargetW = width;
    d_->TargetH = height;
}

bool TPlayer::Playing() const {
    std::lock_guard<std::mutex> lk(d_->Mu);
    return d_->S && !d_->S->Finished.load();
}

bool TPlayer::Has_Audio() const {
    std::lock_guard<std::mutex> lk(d_->Mu);
    return d_->S && d_->S->Has_Sound();
}

std::string TPlayer::Last_Error() const {
    std::lock_guard<std::mutex> lk(d_->ErrorMu);
    return d_->Error;
}

std::shared_ptr<TVideoImage> Decode_FirstPicture(const std::string& path, int maxWidth, int maxHeight,
                                                 std::string* error) {
    auto fail = [error](const std::string& text) {
        if (error) *error = text;
        return std::shared_ptr<TVideoImage>();
    };
    AVFormatContext* fmt = nullptr;
    if (int ret = avformat_open_input(&fmt, path.c_str(), nullptr, nullptr); ret < 0)
        return fail("cannot open " + path + ": " + Av_Error(ret));
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> keepFmt(
        fmt, [](AVFormatContext* f) { avformat_close_input(&f); });
    if (int ret = avformat_find_stream_info(fmt, nullptr); ret < 0)
        return fail("cannot read the streams of " + path + ": " + Av_Error(ret));
    const int v = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    AVCodecContext* dec = Open_Decoder(fmt, v);
    if (!dec) return fail("no video stream of " + path + " can be decoded");
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> keepDec(
        dec, [](AVCodecContext* c) { avcodec_free_context(&c); });
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::shared_ptr<TVideoImage> img;
    auto take = [&]() {
        if (avcodec_receive_frame(dec, frame) != 0) return false;
        if (frame->width > 0 && frame->height > 0 && frame->format >= 0) {
            const double sar = frame->sample_aspect_ratio.num > 0 && frame->sample_aspect_ratio.den > 0
                                   ? av_q2d(frame->sample_aspect_ratio)
                                   : 1.0;
            const double dispW = frame->width * sar, dispH = frame->height;
            const int mw = std::clamp(maxWidth, 1, kMaxSide), mh = std::clamp(maxHeight, 1, kMaxSide);
            int w = mw, h = int(std::lround(mw * dispH / dispW));
            if (h > mh) {
                h = mh;
                w = int(std::lround(mh * dispW / dispH));
            }
            w = std::clamp(w, 1, kMaxSide);
            h = std::clamp(h, 1, kMaxSide);
            SwsContext* sws = sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), w, h,
                                             AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr, nullptr, nullptr);
            if (sws) {
                auto out = std::make_shared<TVideoImage>();
                out->Width = w;
                out->Height = h;
                out->Stride = w * 4;
                out->Pixels.assign(size_t(out->Stride) * size_t(h), 0);
                uint8_t* dst[4] = {out->Pixels.data(), nullptr, nullptr, nullptr};
                int dstStride[4] = {out->Stride, 0, 0, 0};
                if (sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dstStride) > 0)
                    img = std::move(out);
                sws_freeContext(sws);
            }
        }
        av_frame_unref(frame);
        return img != nullptr;
    };
    // Packets of the video stream until a picture decodes; a damaged packet
    // is skipped, the decoder drained at the end.
    while (pkt && frame && !img && av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == v && avcodec_send_packet(dec, pkt) >= 0) take();
        av_packet_unref(pkt);
    }
    if (pkt && frame && !img && avcodec_send_packet(dec, nullptr) >= 0)
        while (!img && take()) {
        }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    if (!img) return fail("no picture of " + path + " could be decoded");
    return img;
}

} // namespace qrv

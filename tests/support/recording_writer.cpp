#include "support/recording_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

#include "support/test_env.h"

namespace qrv::test {

namespace {

// ---------------------------------------------------------------------------
// Box writer: a byte buffer with big-endian puts and size back-patching.

class TBoxWriter {
  public:
    std::vector<uint8_t> b;

    void U8(uint32_t v) { b.push_back(uint8_t(v)); }
    void U16(uint32_t v) {
        U8(v >> 8);
        U8(v);
    }
    void U24(uint32_t v) {
        U8(v >> 16);
        U16(v & 0xFFFF);
    }
    void U32(uint32_t v) {
        U16(v >> 16);
        U16(v & 0xFFFF);
    }
    void U64(uint64_t v) {
        U32(uint32_t(v >> 32));
        U32(uint32_t(v));
    }
    void Tag(const char* t) { b.insert(b.end(), t, t + 4); }
    void Raw(const std::vector<uint8_t>& v) { b.insert(b.end(), v.begin(), v.end()); }
    void Raw(const void* p, size_t n) {
        auto c = static_cast<const uint8_t*>(p);
        b.insert(b.end(), c, c + n);
    }
    void Zeros(size_t n) { b.insert(b.end(), n, 0); }
    size_t Size() const { return b.size(); }

    // Opens a box; returns its start for Close.
    size_t Open(const char* type) {
        size_t at = b.size();
        U32(0);
        Tag(type);
        return at;
    }
    size_t Open_Full(const char* type, uint8_t version, uint32_t flags) {
        size_t at = Open(type);
        U8(version);
        U24(flags);
        return at;
    }
    void Close(size_t at) { Patch32(at, uint32_t(b.size() - at)); }
    void Patch32(size_t at, uint32_t v) {
        b[at] = uint8_t(v >> 24);
        b[at + 1] = uint8_t(v >> 16);
        b[at + 2] = uint8_t(v >> 8);
        b[at + 3] = uint8_t(v);
    }
    void Patch64(size_t at, uint64_t v) {
        Patch32(at, uint32_t(v >> 32));
        Patch32(at + 4, uint32_t(v));
    }
};

void Matrix(TBoxWriter& w) {
    const uint32_t m[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
    for (uint32_t v : m)
        w.U32(v);
}

// ---------------------------------------------------------------------------
// H.264 bit-level helpers (for rewriting frame_num widths).

std::vector<uint8_t> Unescape(const uint8_t* p, size_t n) {
    std::vector<uint8_t> out;
    out.reserve(n);
    int zeros = 0;
    for (size_t i = 0; i < n; ++i) {
        if (zeros >= 2 && p[i] == 3) {
            zeros = 0;
            continue;
        }
        out.push_back(p[i]);
        zeros = p[i] == 0 ? zeros + 1 : 0;
    }
    return out;
}

std::vector<uint8_t> Escape(const std::vector<uint8_t>& rbsp) {
    std::vector<uint8_t> out;
    out.reserve(rbsp.size() + rbsp.size() / 64 + 4);
    int zeros = 0;
    for (uint8_t c : rbsp) {
        if (zeros >= 2 && c <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(c);
        zeros = c == 0 ? zeros + 1 : 0;
    }
    return out;
}

class TBitReader {
  public:
    explicit TBitReader(const std::vector<uint8_t>& d) : d_(d) {}
    int Bit() {
        if (pos_ >= d_.size() * 8) throw std::runtime_error("H.264 header runs past its NAL unit");
        int v = (d_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
        ++pos_;
        return v;
    }
    uint32_t Bits(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 1) | uint32_t(Bit());
        return v;
    }
    uint32_t Ue() {
        int z = 0;
        while (Bit() == 0)
            if (++z > 31) throw std::runtime_error("bad Exp-Golomb code");
        return ((1u << z) - 1) + Bits(z);
    }
    size_t Pos() const { return pos_; }

  private:
    const std::vector<uint8_t>& d_;
    size_t pos_ = 0;
};

class TBitWriter {
  public:
    void Bit(int v) {
        if (n_ % 8 == 0) out_.push_back(0);
        if (v) out_.back() |= uint8_t(0x80 >> (n_ % 8));
        ++n_;
    }
    void Bits(uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i)
            Bit(int((v >> i) & 1));
    }
    void Ue(uint32_t v) {
        uint32_t x = v + 1;
        int len = 0;
        while ((x >> len) > 1)
            ++len;
        Bits(0, len);
        Bits(x, len + 1);
    }
    // Appends the stop bit and the alignment zeros.
    std::vector<uint8_t> Finish() {
        Bit(1);
        while (n_ % 8)
            Bit(0);
        return out_;
    }

  private:
    std::vector<uint8_t> out_;
    size_t n_ = 0;
};

// Index of the rbsp stop bit (the last 1 bit of the payload).
size_t Stop_Bit(const std::vector<uint8_t>& rbsp) {
    for (size_t i = rbsp.size(); i-- > 0;)
        if (rbsp[i])
            for (int k = 0; k < 8; ++k)
                if (rbsp[i] & (1 << k)) return i * 8 + size_t(7 - k);
    throw std::runtime_error("NAL unit without a stop bit");
}

void Copy_Rest(TBitReader& r, TBitWriter& w, size_t stop) {
    while (r.Pos() < stop)
        w.Bit(r.Bit());
}

// Rewrites the SPS with a new log2_max_frame_num; returns the old one.
std::vector<uint8_t> Rewrite_Sps(const std::vector<uint8_t>& nal, int newLog2, int& oldLog2) {
    std::vector<uint8_t> rbsp = Unescape(nal.data() + 1, nal.size() - 1);
    const size_t stop = Stop_Bit(rbsp);
    TBitReader r(rbsp);
    TBitWriter w;
    const uint32_t profile = r.Bits(8);
    if (profile != 66 && profile != 77 && profile != 88)
        throw std::runtime_error("unexpected H.264 profile " + std::to_string(profile));
    w.Bits(profile, 8);
    w.Bits(r.Bits(16), 16); // constraint flags, level
    w.Ue(r.Ue());           // seq_parameter_set_id
    oldLog2 = int(r.Ue()) + 4;
    w.Ue(uint32_t(newLog2 - 4));
    Copy_Rest(r, w, stop);
    std::vector<uint8_t> out{nal[0]};
    std::vector<uint8_t> esc = Escape(w.Finish());
    out.insert(out.end(), esc.begin(), esc.end());
    return out;
}

std::vector<uint8_t> Rewrite_Slice(const std::vector<uint8_t>& nal, int oldLog2, int newLog2,
                                   uint32_t frameNum) {
    std::vector<uint8_t> rbsp = Unescape(nal.data() + 1, nal.size() - 1);
    const size_t stop = Stop_Bit(rbsp);
    TBitReader r(rbsp);
    TBitWriter w;
    w.Ue(r.Ue()); // first_mb_in_slice
    w.Ue(r.Ue()); // slice_type
    w.Ue(r.Ue()); // pic_parameter_set_id
    const uint32_t old = r.Bits(oldLog2);
    if (old != (frameNum & ((1u << oldLog2) - 1)))
        throw std::runtime_error("frame_num sequence not as expected (all frames must be reference frames)");
    w.Bits(frameNum, newLog2);
    Copy_Rest(r, w, stop);
    std::vector<uint8_t> out{nal[0]};
    std::vector<uint8_t> esc = Escape(w.Finish());
    out.insert(out.end(), esc.begin(), esc.end());
    return out;
}

std::vector<std::vector<uint8_t>> Split_AnnexB(const std::vector<uint8_t>& d) {
    std::vector<std::vector<uint8_t>> nals;
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= d.size(); ++i)
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            starts.push_back(i + 3);
            i += 2;
        }
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : d.size();
        while (end > starts[k] && d[end - 1] == 0)
            --end; // zero bytes belong to the next start code
        if (end > starts[k]) nals.emplace_back(d.begin() + int64_t(starts[k]), d.begin() + int64_t(end));
    }
    return nals;
}

// ---------------------------------------------------------------------------
// Elementary streams made by ffmpeg, cached by their parameters.

std::string Cache_Dir() {
    const char* env = std::getenv("QRV_STREAM_CACHE");
    std::filesystem::path p = env && *env ? std::filesystem::path(env)
                                          : std::filesystem::temp_directory_path() / "qrv-stream-cache";
    std::filesystem::create_directories(p);
    return p.string();
}

std::vector<uint8_t> Cached_Stream(const std::string& name, const std::string& ffmpegArgs) {
    const std::string path = Cache_Dir() + "/" + name;
    if (std::filesystem::exists(path)) return Read_File(path);
    if (!Have_Program("ffmpeg")) throw std::runtime_error("the ffmpeg program is needed to make recordings");
    // Unique scratch name, then an atomic rename: parallel test programs may
    // ask for the same stream.
    const std::string tmp = path + ".tmp" + std::to_string(::getpid());
    std::string out;
    const std::string cmd = "ffmpeg -nostdin -v error -y " + ffmpegArgs + " '" + tmp + "' 2>&1";
    if (Run_Command(cmd, &out) != 0) {
        std::filesystem::remove(tmp);
        throw std::runtime_error("ffmpeg failed: " + cmd + "\n" + out);
    }
    std::filesystem::rename(tmp, path);
    return Read_File(path);
}

int Frame_Count(const TRecordingPlan& s) {
    return std::max(1, int(std::lround(s.Seconds * s.Fps)));
}

std::vector<uint8_t> Video_Stream(const TRecordingPlan& s) {
    const int frames = Frame_Count(s);
    char name[160];
    std::snprintf(name, sizeof name, "v-%dx%d-f%d-n%d-g%d-q%d-s%u.h264", s.Width, s.Height, s.Fps, frames,
                  s.Gop, s.Quality, s.Seed);
    char args[1024];
    std::snprintf(
        args, sizeof args,
        "-f lavfi -i 'testsrc2=size=%dx%d:rate=%d,noise=alls=12:allf=t+u:all_seed=%u,format=yuv420p' "
        "-frames:v %d -threads 1 -c:v libx264 -profile:v baseline -qp %d "
        "-x264-params 'keyint=%d:min-keyint=%d:scenecut=0:bframes=0:slices=1:threads=1:"
        "sliced-threads=0:ref=1:aud=0' -fflags +bitexact -flags +bitexact -f h264",
        s.Width, s.Height, s.Fps, s.Seed, frames, s.Quality, s.Gop, s.Gop);
    return Cached_Stream(name, args);
}

std::vector<uint8_t> Sound_Stream(const TRecordingPlan& s) {
    char name[160];
    std::snprintf(name, sizeof name, "a-r%d-d%.3f-s%u.aac", s.SoundRate, s.Seconds, s.Seed);
    char args[512];
    std::snprintf(args, sizeof args,
                  "-f lavfi -i 'anoisesrc=d=%.3f:c=pink:r=%d:a=0.2:s=%u' -ac 1 -threads 1 -c:a aac -b:a 32k "
                  "-fflags +bitexact -flags +bitexact -f adts",
                  s.Seconds, s.SoundRate, s.Seed);
    return Cached_Stream(name, args);
}

struct TVideoStream {
    std::vector<uint8_t> Sps, Pps;
    std::vector<std::vector<uint8_t>> Samples; // length-prefixed NAL units, the slice last
    std::vector<bool> Sync;
    std::vector<uint32_t> Lead; // bytes ahead of the slice in each sample
};

void Put_Prefixed(std::vector<uint8_t>& out, const std::vector<uint8_t>& nal) {
    const uint32_t n = uint32_t(nal.size());
    const uint8_t len[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    out.insert(out.end(), len, len + 4);
    out.insert(out.end(), nal.begin(), nal.end());
}

TVideoStream Make_VideoSamples(const TRecordingPlan& s) {
    std::vector<std::vector<uint8_t>> nals = Split_AnnexB(Video_Stream(s));
    // Wide enough frame numbers that they never use the top bit within a GOP:
    // P slices then start 41 9A like the cameras' do.
    int newLog2 = 4;
    while ((1 << (newLog2 - 1)) < s.Gop && newLog2 < 16)
        ++newLog2;
    TVideoStream v;
    int oldLog2 = 0;
    uint32_t frameNum = 0;
    std::vector<uint8_t> sei;
    for (const auto& nal : nals) {
        const int type = nal[0] & 0x1F;
        if (type == 7) {
            std::vector<uint8_t> sps = Rewrite_Sps(nal, newLog2, oldLog2);
            if (v.Sps.empty()) v.Sps = sps;
        } else if (type == 8) {
            if (v.Pps.empty()) v.Pps = nal;
        } else if (type == 6) {
            if (sei.empty() && v.Samples.empty()) sei = nal;
        } else if (type == 1 || type == 5) {
            if (oldLog2 == 0) throw std::runtime_error("slice before the sequence parameter set");
            if (type == 5) frameNum = 0;
            std::vector<uint8_t> slice = Rewrite_Slice(nal, oldLog2, newLog2, frameNum);
            ++frameNum;
            const bool idr = type == 5;
            if (slice.size() < 2 || (idr && (slice[0] != 0x65 || slice[1] != 0x88)) ||
                (!idr && (slice[0] != 0x41 || slice[1] != 0x9A)))
                throw std::runtime_error("unexpected slice start bytes");
            const bool first = v.Samples.empty();
            std::vector<uint8_t> sample;
            if ((first && s.ParamsFirst) || (idr && s.ParamsEveryIdr)) {
                Put_Prefixed(sample, v.Sps);
                Put_Prefixed(sample, v.Pps);
            }
            if (first && s.SeiFirst) {
                if (sei.empty())
                    throw std::runtime_error("the encoder wrote no SEI ahead of the first slice");
                Put_Prefixed(sample, sei);
            }
            v.Lead.push_back(uint32_t(sample.size()));
            Put_Prefixed(sample, slice);
            v.Samples.push_back(std::move(sample));
            v.Sync.push_back(idr);
        }
        // Access unit delimiters, later SEI and anything else stay out of the samples.
    }
    if (v.Samples.empty() || v.Sps.empty() || v.Pps.empty())
        throw std::runtime_error("no H.264 samples made");
    return v;
}

struct TSoundStream {
    std::vector<std::vector<uint8_t>> Samples; // raw AAC frames
    uint8_t Asc[2] = {0, 0};                   // AudioSpecificConfig
};

TSoundStream Make_SoundSamples(const TRecordingPlan& s) {
    std::vector<uint8_t> d = Sound_Stream(s);
    TSoundStream a;
    size_t i = 0;
    bool first = true;
    while (i + 7 <= d.size()) {
        if (d[i] != 0xFF || (d[i + 1] & 0xF0) != 0xF0) throw std::runtime_error("bad ADTS sync");
        const bool noCrc = d[i + 1] & 1;
        const size_t hdr = noCrc ? 7 : 9;
        const size_t len = (size_t(d[i + 3] & 3) << 11) | (size_t(d[i + 4]) << 3) | (d[i + 5] >> 5);
        if (len < hdr || i + len > d.size()) throw std::runtime_error("bad ADTS frame length");
        if (first) {
            const uint32_t profile = (d[i + 2] >> 6) + 1; // object type
            const uint32_t freq = (d[i + 2] >> 2) & 0xF;
            const uint32_t ch = ((d[i + 2] & 1) << 2) | (d[i + 3] >> 6);
            const uint32_t asc = (profile << 11) | (freq << 7) | (ch << 3);
            a.Asc[0] = uint8_t(asc >> 8);
            a.Asc[1] = uint8_t(asc);
            first = false;
        }
        a.Samples.emplace_back(d.begin() + int64_t(i + hdr), d.begin() + int64_t(i + len));
        i += len;
    }
    if (a.Samples.empty()) throw std::runtime_error("no AAC frames made");
    return a;
}

// ---------------------------------------------------------------------------
// moov construction.

struct TTrackTables {
    std::vector<uint32_t> Sizes;        // sample sizes
    std::vector<uint32_t> ChunkSamples; // samples per chunk
    std::vector<int64_t> ChunkOffsets;  // file offsets
};

void Write_Stsc(TBoxWriter& w, const std::vector<uint32_t>& perChunk, TBoxTruth& truth) {
    std::vector<std::pair<uint32_t, uint32_t>> runs; // first chunk (1-based), samples
    for (size_t c = 0; c < perChunk.size(); ++c)
        if (runs.empty() || runs.back().second != perChunk[c]) runs.push_back({uint32_t(c + 1), perChunk[c]});
    size_t at = w.Open_Full("stsc", 0, 0);
    w.U32(uint32_t(runs.size()));
    for (auto& r : runs) {
        w.U32(r.first);
        w.U32(r.second);
        w.U32(1);
    }
    w.Close(at);
    truth = {int64_t(at), int64_t(w.Size() - at)};
}

void Write_Stsz(TBoxWriter& w, const std::vector<uint32_t>& sizes, TBoxTruth& truth) {
    size_t at = w.Open_Full("stsz", 0, 0);
    w.U32(0);
    w.U32(uint32_t(sizes.size()));
    for (uint32_t s : sizes)
        w.U32(s);
    w.Close(at);
    truth = {int64_t(at), int64_t(w.Size() - at)};
}

void Write_ChunkOffsets(TBoxWriter& w, const std::vector<int64_t>& offs, bool co64, TBoxTruth& truth) {
    size_t at = w.Open_Full(co64 ? "co64" : "stco", 0, 0);
    w.U32(uint32_t(offs.size()));
    for (int64_t o : offs) {
        if (co64)
            w.U64(uint64_t(o));
        else
            w.U32(uint32_t(o));
    }
    w.Close(at);
    truth = {int64_t(at), int64_t(w.Size() - at)};
}

void Write_Tkhd(TBoxWriter& w, uint32_t ctime, uint32_t id, uint32_t duration, bool sound, int width,
                int height) {
    size_t at = w.Open_Full("tkhd", 0, 3);
    w.U32(ctime);
    w.U32(ctime);
    w.U32(id);
    w.U32(0);
    w.U32(duration);
    w.Zeros(8);
    w.U16(0);                  // layer
    w.U16(sound ? 1 : 0);      // alternate group
    w.U16(sound ? 0x0100 : 0); // volume
    w.U16(0);
    Matrix(w);
    w.U32(sound ? 0 : uint32_t(width) << 16);
    w.U32(sound ? 0 : uint32_t(height) << 16);
    w.Close(at);
}

void Write_Mdhd_Hdlr(TBoxWriter& w, uint32_t ctime, uint32_t scale, uint32_t duration, bool sound) {
    size_t at = w.Open_Full("mdhd", 0, 0);
    w.U32(ctime);
    w.U32(ctime);
    w.U32(scale);
    w.U32(duration);
    w.U16(0x55C4); // "und"
    w.U16(0);
    w.Close(at);
    at = w.Open_Full("hdlr", 0, 0);
    w.U32(0);
    w.Tag(sound ? "soun" : "vide");
    w.Zeros(12);
    const char* name = sound ? "SoundHandler" : "VideoHandler";
    w.Raw(name, std::char_traits<char>::length(name) + 1);
    w.Close(at);
}

void Write_Dinf(TBoxWriter& w) {
    size_t dinf = w.Open("dinf");
    size_t dref = w.Open_Full("dref", 0, 0);
    w.U32(1);
    size_t url = w.Open_Full("url ", 0, 1);
    w.Close(url);
    w.Close(dref);
    w.Close(dinf);
}

void Esds_Descriptor(TBoxWriter& w, uint8_t tag, const std::vector<uint8_t>& body) {
    w.U8(tag);
    w.U8(uint32_t(body.size())); // bodies here are far below 128 bytes
    w.Raw(body);
}

struct TMoovInput {
    const TRecordingPlan* Plan;
    const TVideoStream* V;
    const TSoundStream* A; // null without sound
    TTrackTables Vt, At;
    uint32_t VideoScale, VideoDelta;
    uint32_t MovieDuration;
};

// Builds the moov box at file offset base; fills the box positions of truth.
std::vector<uint8_t> Build_Moov(const TMoovInput& in, int64_t base, TRecording& truth) {
    const TRecordingPlan& s = *in.Plan;
    TBoxWriter w;
    truth.Traks.clear();
    size_t moov = w.Open("moov");

    size_t mvhd = w.Open_Full("mvhd", 0, 0);
    w.U32(s.CreationTime);
    w.U32(s.CreationTime);
    w.U32(s.Timescale);
    w.U32(in.MovieDuration);
    w.U32(0x00010000); // rate
    w.U16(0x0100);     // volume
    w.Zeros(10);
    Matrix(w);
    w.Zeros(24);
    w.U32(in.A ? 3 : 2); // next track id
    w.Close(mvhd);
    if (w.Size() - mvhd != 108) throw std::logic_error("mvhd must be 108 bytes");
    truth.MvhdOff = base + int64_t(mvhd);

    const uint32_t nVideo = uint32_t(in.Vt.Sizes.size());
    const uint32_t vDuration = nVideo * in.VideoDelta;
    const uint32_t vMovieDur = uint32_t(uint64_t(vDuration) * s.Timescale / in.VideoScale);
    auto rel = [&](TBoxTruth& t) { t.Offset += base; };

    // Video track.
    {
        size_t trak = w.Open("trak");
        Write_Tkhd(w, s.CreationTime, 1, vMovieDur, false, s.Width, s.Height);
        size_t mdia = w.Open("mdia");
        Write_Mdhd_Hdlr(w, s.CreationTime, in.VideoScale, vDuration, false);
        size_t minf = w.Open("minf");
        size_t vmhd = w.Open_Full("vmhd", 0, 1);
        w.Zeros(8);
        w.Close(vmhd);
        Write_Dinf(w);
        size_t stbl = w.Open("stbl");
        size_t stsd = w.Open_Full("stsd", 0, 0);
        w.U32(1);
        size_t avc1 = w.Open("avc1");
        w.Zeros(6);
        w.U16(1);
        w.Zeros(16);
        w.U16(uint32_t(s.Width));
        w.U16(uint32_t(s.Height));
        w.U32(0x00480000);
        w.U32(0x00480000);
        w.U32(0);
        w.U16(1);
        w.Zeros(32);
        w.U16(0x18);
        w.U16(0xFFFF);
        size_t avcC = w.Open("avcC");
        const auto& sps = in.V->Sps;
        w.U8(1);
        w.U8(sps[1]);
        w.U8(sps[2]);
        w.U8(sps[3]);
        w.U8(0xFF); // 4-byte lengths
        w.U8(0xE1);
        w.U16(uint32_t(sps.size()));
        w.Raw(sps);
        w.U8(1);
        w.U16(uint32_t(in.V->Pps.size()));
        w.Raw(in.V->Pps);
        w.Close(avcC);
        w.Close(avc1);
        w.Close(stsd);
        size_t stts = w.Open_Full("stts", 0, 0);
        w.U32(1);
        w.U32(nVideo);
        w.U32(in.VideoDelta);
        w.Close(stts);
        if (s.Stss) {
            size_t stss = w.Open_Full("stss", 0, 0);
            std::vector<uint32_t> sync;
            for (size_t i = 0; i < in.V->Sync.size(); ++i)
                if (in.V->Sync[i]) sync.push_back(uint32_t(i + 1));
            w.U32(uint32_t(sync.size()));
            for (uint32_t n : sync)
                w.U32(n);
            w.Close(stss);
            truth.VideoStss = {int64_t(stss), int64_t(w.Size() - stss)};
            rel(truth.VideoStss);
        } else {
            truth.VideoStss = {};
        }
        Write_Stsc(w, in.Vt.ChunkSamples, truth.VideoStsc);
        Write_Stsz(w, in.Vt.Sizes, truth.VideoStsz);
        Write_ChunkOffsets(w, in.Vt.ChunkOffsets, s.Co64, truth.VideoStco);
        rel(truth.VideoStsc);
        rel(truth.VideoStsz);
        rel(truth.VideoStco);
        w.Close(stbl);
        w.Close(minf);
        w.Close(mdia);
        w.Close(trak);
        truth.Traks.push_back({base + int64_t(trak), int64_t(w.Size() - trak)});
    }

    // Sound track.
    if (in.A) {
        const uint32_t nSound = uint32_t(in.At.Sizes.size());
        const uint32_t aDuration = nSound * 1024;
        const uint32_t aMovieDur = uint32_t(uint64_t(aDuration) * s.Timescale / uint32_t(s.SoundRate));
        size_t trak = w.Open("trak");
        Write_Tkhd(w, s.CreationTime, 2, aMovieDur, true, 0, 0);
        size_t mdia = w.Open("mdia");
        Write_Mdhd_Hdlr(w, s.CreationTime, uint32_t(s.SoundRate), aDuration, true);
        size_t minf = w.Open("minf");
        size_t smhd = w.Open_Full("smhd", 0, 0);
        w.U32(0);
        w.Close(smhd);
        Write_Dinf(w);
        size_t stbl = w.Open("stbl");
        size_t stsd = w.Open_Full("stsd", 0, 0);
        w.U32(1);
        size_t mp4a = w.Open("mp4a");
        w.Zeros(6);
        w.U16(1);
        w.Zeros(8);
        w.U16(1);  // channels
        w.U16(16); // sample size
        w.U16(0);
        w.U16(0);
        w.U32(uint32_t(s.SoundRate) << 16);
        size_t esds = w.Open_Full("esds", 0, 0);
        uint32_t maxSize = 0;
        for (uint32_t z : in.At.Sizes)
            maxSize = std::max(maxSize, z);
        TBoxWriter dsi;
        dsi.U8(in.A->Asc[0]);
        dsi.U8(in.A->Asc[1]);
        TBoxWriter dcd;
        dcd.U8(0x40); // MPEG-4 audio
        dcd.U8(0x15); // audio stream
        dcd.U24(maxSize);
        dcd.U32(32000);
        dcd.U32(32000);
        Esds_Descriptor(dcd, 0x05, dsi.b);
        TBoxWriter es;
        es.U16(2); // ES id
        es.U8(0);
        Esds_Descriptor(es, 0x04, dcd.b);
        Esds_Descriptor(es, 0x06, {0x02});
        Esds_Descriptor(w, 0x03, es.b);
        w.Close(esds);
        w.Close(mp4a);
        w.Close(stsd);
        size_t stts = w.Open_Full("stts", 0, 0);
        w.U32(1);
        w.U32(nSound);
        w.U32(1024);
        w.Close(stts);
        Write_Stsc(w, in.At.ChunkSamples, truth.SoundStsc);
        Write_Stsz(w, in.At.Sizes, truth.SoundStsz);
        Write_ChunkOffsets(w, in.At.ChunkOffsets, s.Co64, truth.SoundStco);
        rel(truth.SoundStsc);
        rel(truth.SoundStsz);
        rel(truth.SoundStco);
        w.Close(stbl);
        w.Close(minf);
        w.Close(mdia);
        w.Close(trak);
        truth.Traks.push_back({base + int64_t(trak), int64_t(w.Size() - trak)});
    } else {
        truth.SoundStsc = truth.SoundStsz = truth.SoundStco = {};
    }

    // User data, always the last child: the camera model item.
    size_t udta = w.Open("udta");
    if (s.WithModel) {
        size_t item = w.Size();
        w.U32(0);
        w.U8(0xA9);
        w.U8(0x69);
        w.U8(0x6E);
        w.U8(0x66);
        w.U16(uint32_t(s.Model.size()));
        w.U16(0);
        w.Raw(s.Model.data(), s.Model.size());
        w.Close(item);
    }
    w.Close(udta);
    truth.UdtaOff = base + int64_t(udta);
    truth.UdtaLen = int64_t(w.Size() - udta);
    w.Close(moov);
    return w.b;
}

} // namespace

TRecording Make_Recording(const TRecordingPlan& s) {
    if (s.Fps <= 0 || s.Width <= 0 || s.Height <= 0 || s.Gop <= 0 || s.SamplesPerChunk <= 0 ||
        s.Seconds <= 0 || s.FreeSize < 8 || s.SoundRate <= 0)
        throw std::invalid_argument("bad recording plan");
    const TVideoStream v = Make_VideoSamples(s);
    TSoundStream a;
    if (s.Sound) a = Make_SoundSamples(s);

    TRecording rec;
    TMoovInput in;
    in.Plan = &s;
    in.V = &v;
    in.A = s.Sound ? &a : nullptr;
    if (90000 % s.Fps == 0) {
        in.VideoScale = 90000;
        in.VideoDelta = uint32_t(90000 / s.Fps);
    } else {
        in.VideoScale = uint32_t(s.Fps) * 1000;
        in.VideoDelta = 1000;
    }
    const size_t nv = v.Samples.size();
    in.MovieDuration = s.Duration >= 0 ? uint32_t(s.Duration)
                                       : uint32_t(uint64_t(nv) * in.VideoDelta * s.Timescale / in.VideoScale);

    // Interleave plan: video chunk j holds samples [j*N, (j+1)*N); the sound
    // samples starting before the next video chunk follow it.
    const size_t N = size_t(s.SamplesPerChunk);
    const size_t nChunks = (nv + N - 1) / N;
    std::vector<std::pair<size_t, size_t>> soundRange(nChunks, {0, 0}); // [first, end) per video chunk
    size_t k = 0;
    for (size_t j = 0; j < nChunks; ++j) {
        size_t first = k;
        if (s.Sound) {
            if (j + 1 == nChunks)
                k = a.Samples.size();
            else
                while (k < a.Samples.size() &&
                       uint64_t(k) * 1024 * uint64_t(s.Fps) < uint64_t((j + 1) * N) * uint64_t(s.SoundRate))
                    ++k;
        }
        soundRange[j] = {first, k};
    }
    for (const auto& smp : v.Samples)
        in.Vt.Sizes.push_back(uint32_t(smp.size()));
    for (size_t j = 0; j < nChunks; ++j)
        in.Vt.ChunkSamples.push_back(uint32_t(std::min(N, nv - j * N)));
    if (s.Sound) {
        for (const auto& smp : a.Samples)
            in.At.Sizes.push_back(uint32_t(smp.size()));
        for (auto& r : soundRange)
            if (r.second > r.first) in.At.ChunkSamples.push_back(uint32_t(r.second - r.first));
    }

    // Media data size.
    int64_t mediaBytes = 0;
    for (auto z : in.Vt.Sizes)
        mediaBytes += z;
    for (auto z : in.At.Sizes)
        mediaBytes += z;
    const int64_t mdatHdr = s.LargeMdat ? 16 : 8;

    // ftyp
    TBoxWriter ftyp;
    size_t f = ftyp.Open("ftyp");
    ftyp.Tag("isom");
    ftyp.U32(0x200);
    ftyp.Tag("isom");
    ftyp.Tag("iso2");
    ftyp.Tag("avc1");
    ftyp.Tag("mp41");
    ftyp.Close(f);

    // Lay out: the moov size does not depend on the offset values, so a first
    // build with placeholder offsets gives its length.
    in.Vt.ChunkOffsets.assign(nChunks, 0);
    in.At.ChunkOffsets.assign(in.At.ChunkSamples.size(), 0);
    const int64_t moovSize = int64_t(Build_Moov(in, 0, rec).size());
    rec.FtypOff = 0;
    if (s.Layout == TLayout::Tail) {
        rec.FreeOff = int64_t(ftyp.Size());
        rec.MdatOff = rec.FreeOff + s.FreeSize;
        rec.MoovOff = rec.MdatOff + mdatHdr + mediaBytes;
    } else {
        rec.MoovOff = int64_t(ftyp.Size());
        rec.FreeOff = rec.MoovOff + moovSize;
        rec.MdatOff = rec.FreeOff + s.FreeSize;
    }
    rec.MdatDataOff = rec.MdatOff + mdatHdr;
    rec.MdatSize = mdatHdr + mediaBytes;

    // mdat payload and the truth tables.
    TBoxWriter mdat;
    int64_t off = rec.MdatDataOff;
    in.Vt.ChunkOffsets.clear();
    in.At.ChunkOffsets.clear();
    for (size_t j = 0; j < nChunks; ++j) {
        in.Vt.ChunkOffsets.push_back(off);
        for (size_t i = j * N; i < std::min(nv, (j + 1) * N); ++i) {
            TVideoTruth t;
            t.Offset = off;
            t.Size = uint32_t(v.Samples[i].size());
            t.Sync = v.Sync[i];
            t.Lead = v.Lead[i];
            t.Chunk = int32_t(j);
            mdat.Raw(v.Samples[i]);
            off += t.Size;
            rec.Video.push_back(std::move(t));
        }
        auto [s0, s1] = soundRange[j];
        if (s1 > s0) {
            in.At.ChunkOffsets.push_back(off);
            rec.SoundChunkOffsets.push_back(off);
            rec.SoundChunkSamples.push_back(uint32_t(s1 - s0));
            for (size_t q = s0; q < s1; ++q) {
                rec.Video.back().Sound.push_back({off, uint32_t(a.Samples[q].size())});
                rec.SoundSizes.push_back(uint32_t(a.Samples[q].size()));
                mdat.Raw(a.Samples[q]);
                off += int64_t(a.Samples[q].size());
            }
        }
    }
    rec.VideoChunkOffsets = in.Vt.ChunkOffsets;
    if (!s.Co64)
        for (int64_t o : in.Vt.ChunkOffsets)
            if (o > INT32_MAX) throw std::runtime_error("chunk offset needs co64");

    // Media end: the furthest end of a track's last chunk.
    auto chunkEnd = [](const std::vector<int64_t>& offs, const std::vector<uint32_t>& per,
                       const std::vector<uint32_t>& sizes) -> int64_t {
        if (offs.empty()) return 0;
        int64_t bytes = 0;
        for (size_t i = sizes.size() - per.back(); i < sizes.size(); ++i)
            bytes += sizes[i];
        return offs.back() + bytes;
    };
    rec.MediaEnd = std::max(chunkEnd(in.Vt.ChunkOffsets, in.Vt.ChunkSamples, in.Vt.Sizes),
                            chunkEnd(in.At.ChunkOffsets, in.At.ChunkSamples, in.At.Sizes));

    std::vector<uint8_t> moov = Build_Moov(in, rec.MoovOff, rec);
    if (int64_t(moov.size()) != moovSize) throw std::logic_error("moov size changed between builds");
    rec.MoovLen = moovSize;

    TBoxWriter free;
    size_t fr = free.Open("free");
    free.Zeros(s.FreeSize - 8);
    free.Close(fr);

    TBoxWriter mh;
    if (s.LargeMdat) {
        mh.U32(1);
        mh.Tag("mdat");
        mh.U64(uint64_t(rec.MdatSize));
    } else {
        mh.U32(uint32_t(rec.MdatSize));
        mh.Tag("mdat");
    }

    std::vector<uint8_t>& out = rec.Bytes;
    out = ftyp.b;
    if (s.Layout == TLayout::Tail) {
        out.insert(out.end(), free.b.begin(), free.b.end());
        out.insert(out.end(), mh.b.begin(), mh.b.end());
        out.insert(out.end(), mdat.b.begin(), mdat.b.end());
        out.insert(out.end(), moov.begin(), moov.end());
    } else {
        out.insert(out.end(), moov.begin(), moov.end());
        out.insert(out.end(), free.b.begin(), free.b.end());
        out.insert(out.end(), mh.b.begin(), mh.b.end());
        out.insert(out.end(), mdat.b.begin(), mdat.b.end());
    }
    rec.Timescale = s.Timescale;
    rec.Duration = in.MovieDuration;
    rec.CreationTime = s.CreationTime;
    rec.Sps = v.Sps;
    rec.Pps = v.Pps;
    return rec;
}

void Save_Recording(const TRecording& rec, const std::string& path) {
    Write_File(path, rec.Bytes);
}

} // namespace qrv::test

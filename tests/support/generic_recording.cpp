#include "support/generic_recording.h"

#include <algorithm>
#include <stdexcept>

#include "support/test_env.h"

namespace qrv::test {

namespace {

uint32_t BE32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b.at(at)) << 24 | uint32_t(b.at(at + 1)) << 16 | uint32_t(b.at(at + 2)) << 8 |
           b.at(at + 3);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    for (int k = 0; k < 4; ++k)
        b.at(at + size_t(k)) = uint8_t(v >> (24 - 8 * k));
}
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    Put32(b, at, v >> 32);
    Put32(b, at + 4, v & 0xFFFFFFFFu);
}

// Top-level box of the given type: its offset, or throws.
size_t Top_Box(const std::vector<uint8_t>& b, const char* type) {
    for (size_t at = 0; at + 8 <= b.size();) {
        const uint32_t size = BE32(b, at);
        if (std::string(reinterpret_cast<const char*>(&b[at + 4]), 4) == type) return at;
        if (size < 8) break;
        at += size;
    }
    throw std::runtime_error(std::string("no top-level box ") + type);
}

// mvhd version 0 -> 1 and udta moved to the front of the movie box at the end.
std::vector<uint8_t> As_OtherMaker(const std::vector<uint8_t>& in) {
    const size_t moov = Top_Box(in, "moov");
    const size_t moovEnd = moov + BE32(in, moov);
    if (moovEnd != in.size()) throw std::runtime_error("the movie box is not at the end");
    std::vector<std::vector<uint8_t>> children;
    for (size_t at = moov + 8; at < moovEnd;) {
        const uint32_t size = BE32(in, at);
        if (size < 8 || at + size > moovEnd) throw std::runtime_error("malformed movie box");
        children.emplace_back(in.begin() + long(at), in.begin() + long(at + size));
        at += size;
    }
    std::vector<uint8_t> body;
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& c : children) {
            const std::string type(reinterpret_cast<const char*>(&c[4]), 4);
            if ((type == "udta") != (pass == 0)) continue;
            if (type != "mvhd") {
                body.insert(body.end(), c.begin(), c.end());
                continue;
            }
            // v0: version/flags, created, modified, scale, duration (32-bit),
            // then 80 bytes; v1 widens the times and the duration to 64 bits.
            std::vector<uint8_t> v1(c.size() + 12, 0);
            Put32(v1, 0, v1.size());
            std::copy(c.begin() + 4, c.begin() + 8, v1.begin() + 4);
            v1[8] = 1;
            Put64(v1, 12, BE32(c, 12));
            Put64(v1, 20, BE32(c, 16));
            Put32(v1, 28, BE32(c, 20));
            Put64(v1, 32, BE32(c, 24));
            std::copy(c.begin() + 28, c.end(), v1.begin() + 40);
            body.insert(body.end(), v1.begin(), v1.end());
        }
    }
    std::vector<uint8_t> out(in.begin(), in.begin() + long(moov) + 8);
    Put32(out, moov, body.size() + 8);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

} // namespace

std::vector<uint8_t> Make_GenericRecording(const std::string& folder, const TGenericPlan& plan) {
    if (!Have_Program("ffmpeg")) throw std::runtime_error("the ffmpeg program is needed to make recordings");
    const std::string secs = std::to_string(plan.Seconds);
    // Noise makes the pictures large enough that a recording spans several
    // clusters, as real ones do.
    std::string in = "-f lavfi -i 'testsrc=size=160x120:rate=25:duration=" + secs + ",noise=alls=30:allf=t' ";
    int inputs = 1;
    if (plan.SecondVideo) {
        in += "-f lavfi -i 'testsrc2=size=160x120:rate=25:duration=" + secs + "' ";
        ++inputs;
    }
    if (plan.Sound) {
        in += "-f lavfi -i 'sine=frequency=440:sample_rate=16000:duration=" + secs + "' ";
        ++inputs;
    }
    std::string map;
    for (int k = 0; k < inputs; ++k)
        map += "-map " + std::to_string(k) + " ";
    std::string codec =
        plan.Video == "h265"
            ? "-c:v libx265 -x265-params log-level=error -tag:v hvc1 -preset ultrafast -crf 24 "
            : "-c:v libx264 -preset veryfast -crf 24 -bf " + std::to_string(plan.BFrames) + " ";
    codec += "-g " + std::to_string(plan.Gop) + " ";
    if (plan.Sound) codec += "-c:a aac -b:a 32k ";
    std::string meta = "-metadata creation_time=" + plan.CreationTime + " ";
    if (!plan.Make.empty()) meta += "-metadata make='" + plan.Make + "' ";
    if (!plan.Model.empty()) meta += "-metadata model='" + plan.Model + "' ";
    std::string fmt = plan.QuickTime ? "-f mov " : "-f mp4 ";
    if (plan.FastStart) fmt += "-movflags +faststart ";
    const std::string path = folder + "/" + plan.Name;
    const std::string cmd = "ffmpeg -nostdin -v error -y " + in + map + codec + meta + fmt +
                            "-fflags +bitexact '" + path + "' 2>&1";
    std::string out;
    if (Run_Command(cmd, &out) != 0) throw std::runtime_error("ffmpeg failed: " + cmd + "\n" + out);
    std::vector<uint8_t> bytes = Read_File(path);
    if (plan.OtherMaker) {
        bytes = As_OtherMaker(bytes);
        Write_File(path, bytes);
    }
    return bytes;
}

} // namespace qrv::test

#include "sources/image_digest.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <openssl/evp.h>
#include <sstream>

#include "common/language.h"
#include "platform/ewf_source.h"
#include "platform/output_file.h"
#include "platform/source_io.h"

namespace qrv {

namespace {

constexpr size_t kSlotBytes = size_t(1) << 20;

const EVP_MD* Digest_Of(int which) {
    switch (which) {
    case 0:
        return EVP_md5();
    case 1:
        return EVP_sha1();
    default:
        return EVP_sha256();
    }
}

std::string Hex(const uint8_t* d, unsigned n) {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (unsigned i = 0; i < n; ++i) {
        s += kHex[d[i] >> 4];
        s += kHex[d[i] & 15];
    }
    return s;
}

} // namespace

TImageDigest::TImageDigest() {
    for (auto& s : slots_)
        s.Bytes.resize(kSlotBytes);
    for (int i = 0; i < kDigests; ++i)
        threads_[i] = std::thread([this, i] { Run(i); });
}

TImageDigest::~TImageDigest() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        done_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_)
        if (t.joinable()) t.join();
}

void TImageDigest::Run(int which) {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = ctx && EVP_DigestInit_ex(ctx.get(), Digest_Of(which), nullptr) == 1;
    for (;;) {
        uint64_t at = 0;
        {
            std::unique_lock<std::mutex> lk(mu_);
            cv_.wait(lk, [&] { return consumed_[which] < produced_ || done_; });
            if (consumed_[which] >= produced_) break; // done and drained
            at = consumed_[which];
        }
        // The slot is not reused before this digest has moved past it.
        const TSlot& s = slots_[at % kSlots];
        if (ok && EVP_DigestUpdate(ctx.get(), s.Bytes.data(), s.Len) != 1) ok = false;
        {
            std::lock_guard<std::mutex> lk(mu_);
            ++consumed_[which];
        }
        cv_.notify_all();
    }
    uint8_t d[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    if (ok && EVP_DigestFinal_ex(ctx.get(), d, &n) == 1) {
        std::lock_guard<std::mutex> lk(mu_);
        hex_[which] = Hex(d, n);
    }
}

void TImageDigest::Update(const uint8_t* data, size_t len) {
    fed_ += int64_t(len);
    while (len > 0) {
        const size_t part = std::min(len, kSlotBytes);
        {
            std::unique_lock<std::mutex> lk(mu_);
            cv_.wait(lk, [&] {
                const uint64_t slowest = *std::min_element(consumed_, consumed_ + kDigests);
                return produced_ - slowest < uint64_t(kSlots);
            });
        }
        // Only this thread writes slots, and no digest reads this one now.
        TSlot& s = slots_[produced_ % kSlots];
        std::memcpy(s.Bytes.data(), data, part);
        s.Len = part;
        {
            std::lock_guard<std::mutex> lk(mu_);
            ++produced_;
        }
        cv_.notify_all();
        data += part;
        len -= part;
    }
}

TImageHashes TImageDigest::Finish() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        done_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_)
        if (t.joinable()) t.join();
    return {hex_[0], hex_[1], hex_[2]};
}

std::string Image_HashesText(const TImageHashes& h) {
    return "MD5  " + h.Md5 + "\nSHA1  " + h.Sha1 + "\nSHA256  " + h.Sha256 + "\n";
}

TImageHashes Parse_ImageHashes(const std::string& text) {
    TImageHashes h;
    std::istringstream in(text);
    std::string algo, hex;
    while (in >> algo >> hex) {
        if (algo == "MD5") h.Md5 = hex;
        else if (algo == "SHA1") h.Sha1 = hex;
        else if (algo == "SHA256") h.Sha256 = hex;
    }
    return h;
}

TOutcome Write_Sidecar(const std::string& path, const std::string& text, const TOutputGuard& guard) {
    TGuardVerdict refusal;
    auto out = TOutputFile::Create(path, guard, &refusal);
    if (!out && !refusal.Allowed()) return TOutcome::Refused(refusal.Reason);
    if (!out || !out->Write(text.data(), text.size()) || !out->Commit_Replacing())
        return TOutcome::Io_Error(-1, path + ": " + std::strerror(errno));
    return TOutcome::Ok();
}

TOutcome Hash_File(const std::string& path, int64_t len, TImageHashes& out, TImageDigest* into) {
    // A container is read through libewf: its digests are those of the media it holds.
    auto h = Is_EwfFile(path) ? Open_EwfSource(path) : Open_Source(path);
    if (!h) return TOutcome::Io_Error(0, path + ": " + Tr("无法打开"));
    TImageDigest own;
    TImageDigest& d = into ? *into : own;
    std::vector<uint8_t> buf(kSlotBytes);
    int64_t at = 0;
    TOutcome result = TOutcome::Ok();
    while (len < 0 || at < len) {
        const size_t want = len < 0 ? buf.size() : size_t(std::min<int64_t>(int64_t(buf.size()), len - at));
        const int64_t n = h->Read_At(buf.data(), want, at);
        if (n < 0) {
            result = TOutcome::Io_Error(at, path + ": " + Tr("读取失败"));
            break;
        }
        if (n == 0) {
            // A file shorter than len is not the image asked for.
            if (len >= 0) result = TOutcome::Corrupt(at, path + ": " + Tr("文件比预期短"));
            break;
        }
        d.Update(buf.data(), size_t(n));
        at += n;
    }
    if (!into) out = own.Finish();
    return result;
}

} // namespace qrv

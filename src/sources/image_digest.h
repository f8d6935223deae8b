// Digests of an acquisition: MD5, SHA-1 and SHA-256 of the bytes of the image,
// computed while it is written. Each digest runs on its own thread over a
// shared ring of blocks, so the three together take about as long as the
// slowest one (SHA-256) rather than the sum of the three.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/outcome.h"
#include "platform/output_guard.h"

namespace qrv {

// Lower-case hex digests; empty when the digest could not be computed.
struct TImageHashes {
    std::string Md5, Sha1, Sha256;
    bool Ok() const { return !Md5.empty() && !Sha1.empty() && !Sha256.empty(); }
};

class TImageDigest {
  public:
    TImageDigest();
    ~TImageDigest(); // stops and joins the threads (an unfinished digest is dropped)
    TImageDigest(const TImageDigest&) = delete;
    TImageDigest& operator=(const TImageDigest&) = delete;

    // Feeds len bytes (copied into the ring; waits while every slot is still
    // being hashed by some digest).
    void Update(const uint8_t* data, size_t len);
    // Waits for the digests to take every block fed and returns them.
    TImageHashes Finish();
    // Bytes fed so far.
    int64_t Fed() const { return fed_; }

  private:
    struct TSlot {
        std::vector<uint8_t> Bytes;
        size_t Len = 0;
    };
    static constexpr int kSlots = 8;
    static constexpr int kDigests = 3;
    void Run(int which);
    std::mutex mu_;
    std::condition_variable cv_;
    TSlot slots_[kSlots];
    uint64_t produced_ = 0;
    uint64_t consumed_[kDigests] = {0, 0, 0};
    bool done_ = false;
    bool finished_ = false;
    std::string hex_[kDigests];
    std::thread threads_[kDigests];
    int64_t fed_ = 0;
};

// The sidecar text: one "ALGO  HEX" line per digest (MD5, SHA1, SHA256).
std::string Image_HashesText(const TImageHashes& h);
// Reads a sidecar text back (missing lines stay empty).
TImageHashes Parse_ImageHashes(const std::string& text);

// Writes text as the file path through the output guard (replacing an
// earlier one of the same name: the sidecars are rewritten on a resume).
// Refused when the guard refuses path, IoError when the write fails.
TOutcome Write_Sidecar(const std::string& path, const std::string& text, const TOutputGuard& guard);

// Digests of bytes [0, len) of the file at path (len < 0: the whole file;
// for an EWF container, of the media it holds),
// read through the same three threads. IoError when the file cannot be
// opened or a read fails (at its offset), Corrupt when the file ends before
// len bytes.
TOutcome Hash_File(const std::string& path, int64_t len, TImageHashes& out, TImageDigest* into = nullptr);

} // namespace qrv

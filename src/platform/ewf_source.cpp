#include "platform/ewf_error.h"
#include "platform/ewf_source.h"

#include <libewf.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qrv {

namespace {

const uint8_t kEvf1[8] = {'E', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};
const uint8_t kEvf2[8] = {'E', 'V', 'F', '2', 0x0d, 0x0a, 0x81, 0x00};

std::string Hex(const uint8_t* p, size_t n) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

class TEwfSource final : public TSource {
  public:
    TEwfSource(libewf_handle_t* h, std::string path, TEwfInfo info)
        : h_(h), path_(std::move(path)), info_(std::move(info)) {}
    ~TEwfSource() override {
        libewf_handle_close(h_, nullptr);
        libewf_handle_free(&h_, nullptr);
    }
    TEwfSource(const TEwfSource&) = delete;
    TEwfSource& operator=(const TEwfSource&) = delete;

    int64_t Read_At(void* buf, size_t len, int64_t off) override {
        if (off < 0) return -1;
        if (off >= info_.MediaSize || len == 0) return 0;
        len = size_t(std::min<int64_t>(int64_t(len), info_.MediaSize - off));
        // One handle keeps one read position and chunk cache: reads are serialised.
        std::lock_guard<std::mutex> lock(mu_);
        // Read chunk by chunk, so that a chunk failing its checksum is known by
        // its own media offset: the read ends short there, as a file read ends
        // at a bad sector, and the caller can read on around it.
        const int64_t chunk = Chunk_Size();
        size_t done = 0;
        auto* out = static_cast<uint8_t*>(buf);
        while (done < len) {
            const int64_t at = off + int64_t(done);
            const size_t piece = size_t(std::min<int64_t>(int64_t(len - done), chunk - at % chunk));
            const int64_t index = at / chunk;
            const uint32_t errorsBefore = Checksum_Errors();
            size_t got = 0;
            // A chunk known to be bad stays bad: libewf keeps its zeros in
            // its cache and would hand them out again without a new error.
            while (got < piece && !badChunks_.count(index)) {
                libewf_error_t* err = nullptr;
                ssize_t n = libewf_handle_read_random(h_, out + done + got, piece - got, at + int64_t(got), &err);
                if (err) libewf_error_free(&err);
                if (n <= 0) break;
                got += size_t(n);
            }
            // A chunk that failed its checksum was handed back as zeros: those
            // bytes are an I/O error, not media content.
            if (Checksum_Errors() != errorsBefore) badChunks_.insert(index);
            if (badChunks_.count(index)) {
                std::memset(out + done, 0, len - done);
                return done > 0 ? int64_t(done) : -1;
            }
            done += got;
            if (got < piece) break;
        }
        return done > 0 || len == 0 ? int64_t(done) : -1;
    }
    int64_t Size() override { return info_.MediaSize; }
    const std::string& Path() const override { return path_; }
    const TEwfInfo& Info() const { return info_; }

  private:
    int64_t Chunk_Size() {
        if (chunk_ > 0) return chunk_;
        size32_t n = 0;
        libewf_error_t* err = nullptr;
        if (libewf_handle_get_chunk_size(h_, &n, &err) != 1 || n == 0) n = 32768;
        if (err) libewf_error_free(&err);
        chunk_ = int64_t(n);
        return chunk_;
    }
    uint32_t Checksum_Errors() {
        uint32_t n = 0;
        libewf_error_t* err = nullptr;
        if (libewf_handle_get_number_of_checksum_errors(h_, &n, &err) != 1) n = 0;
        if (err) libewf_error_free(&err);
        return n;
    }
    libewf_handle_t* h_;
    std::string path_;
    TEwfInfo info_;
    std::mutex mu_;
    int64_t chunk_ = 0;
    std::set<int64_t> badChunks_; // chunks that failed their checksum
};

} // namespace

bool Is_EwfSignature(const uint8_t* head, size_t len) {
    return len >= 8 && (std::memcmp(head, kEvf1, 8) == 0 || std::memcmp(head, kEvf2, 8) == 0);
}

bool Is_EwfFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    uint8_t head[8] = {};
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::pread(fd, head, 8, 0) == 8 &&
                    Is_EwfSignature(head, 8);
    ::close(fd);
    return ok;
}

TSourcePtr Open_EwfSource(const std::string& path, std::string* error) {
    auto fail = [&](std::string why) -> TSourcePtr {
        if (error) *error = std::move(why);
        errno = EIO;
        return nullptr;
    };
    if (!Is_EwfFile(path)) return fail("not an EWF segment file: " + path);
    // EWF2 (.Ex01) segment files: read when the installed libewf knows the
    // format, else refused with the library's version named.
    std::string prefix;
    {
        uint8_t head[8] = {};
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            if (::pread(fd, head, 8, 0) == 8 && std::memcmp(head, kEvf2, 8) == 0)
                prefix = "EWF2 (.Ex01) container not readable with libewf " + Ewf_Version() + ": ";
            ::close(fd);
        }
    }
    auto failWith = [&](const std::string& why) { return fail(prefix + why); };
    libewf_error_t* err = nullptr;
    char** names = nullptr;
    int count = 0;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &err) != 1 || count < 1)
        return failWith(
            Take_EwfError(err, "segment files of the set not found (open the first segment, .E01 or .Ex01)"));
    libewf_handle_t* h = nullptr;
    if (libewf_handle_initialize(&h, &err) != 1) {
        libewf_glob_free(names, count, nullptr);
        return failWith(Take_EwfError(err, "libewf could not start"));
    }
    // Read-only: libewf is asked for read access only, and opens the segment files read-only.
    const int opened = libewf_handle_open(h, names, count, LIBEWF_OPEN_READ, &err);
    libewf_glob_free(names, count, nullptr);
    auto drop = [&](std::string why) {
        if (opened == 1) libewf_handle_close(h, nullptr);
        libewf_handle_free(&h, nullptr);
        return failWith(std::move(why));
    };
    if (opened != 1)
        return drop(Take_EwfError(err, "the segment set cannot be opened (missing, truncated or corrupt)"));
    if (libewf_handle_segment_files_corrupted(h, &err) != 0)
        return drop(Take_EwfError(err, ("the segment set is incomplete or corrupted (" + std::to_string(count) +
                                     " segment file(s) found; a segment is missing, truncated or damaged)")
                                        .c_str()));
    TEwfInfo info;
    info.Segments = count;
    size64_t media = 0;
    if (libewf_handle_get_media_size(h, &media, &err) != 1 || media == 0 || media > uint64_t(INT64_MAX))
        return drop(Take_EwfError(err, "the container holds no media size"));
    info.MediaSize = int64_t(media);
    uint32_t bps = 0;
    if (libewf_handle_get_bytes_per_sector(h, &bps, &err) == 1) info.BytesPerSector = bps;
    if (err) libewf_error_free(&err);
    uint8_t md5[16] = {}, sha1[20] = {};
    if (libewf_handle_get_md5_hash(h, md5, sizeof md5, &err) == 1) info.StoredMd5 = Hex(md5, sizeof md5);
    if (err) libewf_error_free(&err);
    if (libewf_handle_get_sha1_hash(h, sha1, sizeof sha1, &err) == 1)
        info.StoredSha1 = Hex(sha1, sizeof sha1);
    if (err) libewf_error_free(&err);
    // A chunk that fails its checksum reads as zeros and the read reports an error.
    libewf_handle_set_read_zero_chunk_on_error(h, 1, nullptr);
    auto src = std::make_unique<TEwfSource>(h, path, std::move(info));
    // The first and the last sector must be readable: a set cut short is refused here,
    // not discovered halfway through a scan.
    uint8_t probe[512];
    const int64_t size = src->Size();
    const int64_t last = size > int64_t(sizeof probe) ? size - int64_t(sizeof probe) : 0;
    const size_t plen = size_t(std::min<int64_t>(size, sizeof probe));
    if (src->Read_At(probe, plen, 0) != int64_t(plen) || src->Read_At(probe, plen, last) != int64_t(plen))
        return failWith("the media of the segment set cannot be read (truncated or corrupt)");
    return src;
}

std::vector<std::string> Ewf_SegmentFiles(const std::string& path) {
    std::vector<std::string> out;
    if (!Is_EwfFile(path)) return out;
    libewf_error_t* err = nullptr;
    char** names = nullptr;
    int count = 0;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &err) == 1) {
        for (int i = 0; i < count; ++i)
            if (names[i]) out.emplace_back(names[i]);
        libewf_glob_free(names, count, nullptr);
    }
    if (err) libewf_error_free(&err);
    return out;
}

namespace {

// "card.E01" -> "card", "E01"; false when the name has no extension.
bool Split_Name(const std::string& name, std::string& base, std::string& ext) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return false;
    base = name.substr(0, dot);
    ext = name.substr(dot + 1);
    return true;
}

bool Is_Digit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

bool Ewf_IsSegmentName(const std::string& first, const std::string& name) {
    std::string base, ext, nameBase, nameExt;
    if (!Split_Name(first, base, ext) || !Split_Name(name, nameBase, nameExt) || base != nameBase)
        return false;
    // The set's scheme: a letter, an x for EWF2, then the segment number 01.
    // Its letters keep the case of the first one (E01 -> EAA, e01 -> eaa).
    const char from = ext[0];
    const char low = from >= 'a' && from <= 'z' ? 'a' : 'A';
    const auto letter = [low](char c) { return c >= low && c <= low + 25; };
    const bool ewf2 = ext.size() == 4 && (ext[1] == 'x' || ext[1] == 'X');
    if (!(ext.size() == 3 || ewf2) || !letter(from) || ext.compare(ext.size() - 2, 2, "01") != 0)
        return false;
    if (nameExt.size() != ext.size() || (ewf2 && nameExt[1] != ext[1])) return false;
    const char lead = nameExt[0], a = nameExt[ext.size() - 2], b = nameExt[ext.size() - 1];
    // Segments 1 to 99 are numbered; later ones count on in letters (EAA to
    // EZZ, then FAA ...). Only the set's own first letter is refused: 775
    // segments are more than any card is acquired in, and the names beyond
    // (card.QRV, card.TXT) are ordinary files an examiner writes.
    if (Is_Digit(a) && Is_Digit(b)) return lead == from && !(a == '0' && b == '0');
    return lead == from && letter(a) && letter(b);
}

const TEwfInfo* Ewf_Info(const TSource& src) {
    const auto* e = dynamic_cast<const TEwfSource*>(&src);
    return e ? &e->Info() : nullptr;
}

std::string Ewf_Version() {
    const char* v = libewf_get_version();
    return v ? v : "";
}

TVerifyResult Verify_Ewf(TSource& src, const std::function<bool(int64_t, int64_t)>& progress) {
    TVerifyResult r;
    if (const TEwfInfo* info = Ewf_Info(src)) {
        r.StoredMd5 = info->StoredMd5;
        r.StoredSha1 = info->StoredSha1;
    }
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> md5(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> sha1(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!md5 || !sha1 || EVP_DigestInit_ex(md5.get(), EVP_md5(), nullptr) != 1 ||
        EVP_DigestInit_ex(sha1.get(), EVP_sha1(), nullptr) != 1) {
        r.Error = "OpenSSL digests unavailable";
        return r;
    }
    const int64_t total = src.Size();
    if (total < 0) {
        r.Error = "media size unknown";
        return r;
    }
    std::vector<uint8_t> block(size_t(1) << 20);
    int64_t done = 0;
    while (done < total) {
        const size_t want = size_t(std::min<int64_t>(int64_t(block.size()), total - done));
        const int64_t n = src.Read_At(block.data(), want, done);
        if (n != int64_t(want)) {
            r.Error = "read error at media offset " + std::to_string(done + std::max<int64_t>(n, 0));
            return r;
        }
        EVP_DigestUpdate(md5.get(), block.data(), want);
        EVP_DigestUpdate(sha1.get(), block.data(), want);
        done += int64_t(want);
        if (progress && !progress(done, total)) {
            r.Error = "cancelled";
            return r;
        }
    }
    uint8_t d[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_DigestFinal_ex(md5.get(), d, &len);
    r.Md5 = Hex(d, len);
    EVP_DigestFinal_ex(sha1.get(), d, &len);
    r.Sha1 = Hex(d, len);
    r.ReadOk = true;
    r.Md5Match = !r.StoredMd5.empty() && r.Md5 == r.StoredMd5;
    r.Sha1Match = !r.StoredSha1.empty() && r.Sha1 == r.StoredSha1;
    return r;
}

} // namespace qrv

#include "platform/ewf_error.h"
#include "platform/ewf_writer.h"

#include <libewf.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/output_file.h"

namespace qrv {

namespace {

std::string Folder_Of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Name_Of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// 16 or 20 bytes from lower-case hex; false for anything else.
bool From_Hex(const std::string& hex, uint8_t* out, size_t n) {
    if (hex.size() != n * 2) return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned v = 0;
        if (std::sscanf(hex.c_str() + 2 * i, "%2x", &v) != 1) return false;
        out[i] = uint8_t(v);
    }
    return true;
}

} // namespace

bool Parse_EwfCompression(const std::string& text, TEwfCompression& out) {
    if (text == "none") out = TEwfCompression::None;
    else if (text == "fast") out = TEwfCompression::Fast;
    else if (text == "best") out = TEwfCompression::Best;
    else return false;
    return true;
}

std::string Ewf_SegmentName(const std::string& first, int n) {
    if (first.size() < 4 || n < 1) return "";
    const std::string base = first.substr(0, first.size() - 3);
    const char from = first[first.size() - 3];
    const char low = from >= 'a' && from <= 'z' ? 'a' : 'A';
    char ext[4] = {};
    if (n <= 99) {
        std::snprintf(ext, sizeof ext, "%c%02d", from, n);
    } else {
        const int k = n - 100; // 0 -> AA
        const int lead = (from - low) + k / (26 * 26);
        if (lead >= 26) return "";
        ext[0] = char(low + lead);
        ext[1] = char(low + k / 26 % 26);
        ext[2] = char(low + k % 26);
    }
    return base + ext;
}

struct TEwfWriter::THandle {
    libewf_handle_t* H = nullptr;
    ~THandle() {
        if (H) {
            libewf_handle_close(H, nullptr);
            libewf_handle_free(&H, nullptr);
        }
    }
};

std::unique_ptr<TEwfWriter> TEwfWriter::Create(const std::string& target, int64_t mediaBytes, int64_t sectorBytes,
                                               const TEwfSettings& s, const TOutputGuard& guard, std::string* error,
                                               TGuardVerdict* refusal) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<TEwfWriter> {
        if (error) *error = why;
        return nullptr;
    };
    const auto refused = [&](const TGuardVerdict& v) {
        if (refusal) *refusal = v;
        return fail(v.Reason);
    };
    if (refusal) *refusal = {};
    const std::string folder = Folder_Of(target), name = Name_Of(target);
    if (name.size() < 5 || name.compare(name.size() - 4, 4, ".E01") != 0)
        return fail("the first segment must be named *.E01");
    if (TGuardVerdict v = guard.Check_Folder(folder); !v.Allowed()) return refused(v);
    // Every segment the media can need, uncompressed with the container's own
    // overhead, is a name the guard allows and nothing holds yet.
    const int64_t seg = s.SegmentBytes > 0 ? s.SegmentBytes : int64_t(1500) << 20;
    const int64_t count = std::max<int64_t>(1, mediaBytes / std::max<int64_t>(seg / 2, 1) + 2);
    for (int n = 1; n <= count; ++n) {
        const std::string segment = Ewf_SegmentName(target, n);
        if (segment.empty()) return fail("too many segment files for this segment size");
        if (TGuardVerdict v = guard.Check_File(segment); !v.Allowed()) return refused(v);
        if (Path_Taken(segment)) return fail("a segment file of that name exists already: " + segment);
    }

    std::unique_ptr<TEwfWriter> w(new TEwfWriter(guard));
    w->target_ = target;
    std::mt19937 rnd(std::random_device{}());
    for (int i = 0; i < 16 && w->stage_.empty(); ++i) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "%06x", unsigned(rnd() & 0xFFFFFF));
        const std::string stage = folder + "/." + name + ".qrv-part-" + tag;
        if (Path_Taken(stage)) continue;
        TGuardVerdict v;
        if (!Make_Folder(stage, guard, &v)) return v.Allowed() ? fail("cannot create " + stage) : refused(v);
        w->stage_ = stage;
    }
    if (w->stage_.empty()) return fail("cannot create a staging folder in " + folder);

    w->h_ = std::make_unique<THandle>();
    libewf_error_t* err = nullptr;
    // libewf is given the set's base name and adds .E01, .E02 ... itself.
    const std::string staged = w->stage_ + "/" + name.substr(0, name.size() - 4);
    char* names[] = {const_cast<char*>(staged.c_str())};
    if (libewf_handle_initialize(&w->h_->H, &err) != 1) return fail(Take_EwfError(err, "libewf"));
    if (libewf_handle_open(w->h_->H, names, 1, LIBEWF_OPEN_WRITE, &err) != 1) {
        libewf_handle_free(&w->h_->H, nullptr);
        return fail(Take_EwfError(err, "cannot create the segment set"));
    }
    libewf_handle_t* h = w->h_->H;
    const int8_t level = s.Compression == TEwfCompression::Best   ? LIBEWF_COMPRESSION_BEST
                         : s.Compression == TEwfCompression::Fast ? LIBEWF_COMPRESSION_FAST
                                                                  : LIBEWF_COMPRESSION_NONE;
    bool ok = libewf_handle_set_format(h, LIBEWF_FORMAT_ENCASE6, &err) == 1 &&
              libewf_handle_set_media_size(h, size64_t(mediaBytes), &err) == 1 &&
              libewf_handle_set_bytes_per_sector(h, uint32_t(sectorBytes), &err) == 1 &&
              libewf_handle_set_compression_values(h, level, 0, &err) == 1 &&
              (s.SegmentBytes <= 0 || libewf_handle_set_maximum_segment_size(h, size64_t(s.SegmentBytes), &err) == 1);
    const std::pair<const char*, const std::string*> header[] = {{"case_number", &s.CaseNumber},
                                                                 {"evidence_number", &s.EvidenceNumber},
                                                                 {"examiner_name", &s.Examiner},
                                                                 {"description", &s.Description},
                                                                 {"notes", &s.Notes}};
    for (const auto& [id, value] : header)
        if (ok && !value->empty())
            ok = libewf_handle_set_utf8_header_value(h, reinterpret_cast<const uint8_t*>(id), std::strlen(id),
                                                     reinterpret_cast<const uint8_t*>(value->data()),
                                                     value->size(), &err) == 1;
    if (!ok) return fail(Take_EwfError(err, "cannot set up the segment set"));
    return w;
}

TEwfWriter::TEwfWriter(const TOutputGuard& guard) : guard_(guard) {}

TEwfWriter::~TEwfWriter() { Discard(); }

void TEwfWriter::Discard() {
    h_.reset();
    if (stage_.empty()) return;
    // Only the segments libewf made in our own staging folder are removed.
    if (DIR* d = ::opendir(stage_.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                ::unlink((stage_ + "/" + e->d_name).c_str());
        ::closedir(d);
    }
    ::rmdir(stage_.c_str());
    stage_.clear();
}

bool TEwfWriter::Write(const void* buf, size_t len) {
    if (!h_ || !h_->H) return false;
    libewf_error_t* err = nullptr;
    const ssize_t n = libewf_handle_write_buffer(h_->H, buf, len, &err);
    if (err) libewf_error_free(&err);
    if (n != ssize_t(len)) return false;
    written_ += int64_t(len);
    return true;
}

void TEwfWriter::Add_AcquiryError(int64_t firstSector, int64_t sectors) {
    if (!h_ || !h_->H) return;
    libewf_error_t* err = nullptr;
    if (libewf_handle_append_acquiry_error(h_->H, uint64_t(firstSector), uint64_t(sectors), &err) != 1 && err)
        libewf_error_free(&err);
}

bool TEwfWriter::Finish(const std::string& md5, const std::string& sha1, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (!h_ || !h_->H) return fail("the segment set is not open");
    libewf_handle_t* h = h_->H;
    libewf_error_t* err = nullptr;
    uint8_t d5[16], d1[20];
    if (!From_Hex(md5, d5, 16) || !From_Hex(sha1, d1, 20)) return fail("no digests to store");
    if (libewf_handle_set_md5_hash(h, d5, 16, &err) != 1 || libewf_handle_set_sha1_hash(h, d1, 20, &err) != 1 ||
        libewf_handle_set_utf8_hash_value(h, reinterpret_cast<const uint8_t*>("MD5"), 3,
                                          reinterpret_cast<const uint8_t*>(md5.data()), md5.size(), &err) != 1 ||
        libewf_handle_set_utf8_hash_value(h, reinterpret_cast<const uint8_t*>("SHA1"), 4,
                                          reinterpret_cast<const uint8_t*>(sha1.data()), sha1.size(), &err) != 1)
        return fail(Take_EwfError(err, "cannot store the digests"));
    if (libewf_handle_write_finalize(h, &err) < 0) return fail(Take_EwfError(err, "cannot finish the segment set"));
    if (libewf_handle_close(h, &err) != 0) return fail(Take_EwfError(err, "cannot close the segment set"));
    libewf_handle_free(&h_->H, nullptr);
    h_.reset();

    // The staged segments, flushed, then moved in order to their names.
    const std::string folder = Folder_Of(target_), name = Name_Of(target_);
    std::vector<std::string> staged;
    for (int n = 1;; ++n) {
        const std::string seg = Ewf_SegmentName(name, n);
        if (seg.empty() || !Path_Taken(stage_ + "/" + seg)) break;
        staged.push_back(seg);
    }
    if (staged.empty()) return fail("libewf wrote no segment file");
    for (const std::string& seg : staged) {
        const int fd = ::open((stage_ + "/" + seg).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::fsync(fd) != 0) {
            if (fd >= 0) ::close(fd);
            return fail("cannot flush " + seg);
        }
        ::close(fd);
    }
    for (const std::string& seg : staged) {
        const std::string final = folder + "/" + seg;
        if (TGuardVerdict v = guard_.Check_File(final); !v.Allowed()) return fail(v.Reason + ": " + final);
        if (::renameat2(AT_FDCWD, (stage_ + "/" + seg).c_str(), AT_FDCWD, final.c_str(), RENAME_NOREPLACE) != 0)
            return fail("cannot name " + final + ": " + std::strerror(errno));
        segments_.push_back(final);
    }
    if (const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    Discard();
    return true;
}

} // namespace qrv

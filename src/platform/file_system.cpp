#include "platform/file_system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace qrv {

TPathKind Get_PathKind(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return TPathKind::Missing;
    if (S_ISREG(st.st_mode)) return TPathKind::File;
    if (S_ISDIR(st.st_mode)) return TPathKind::Folder;
    if (S_ISBLK(st.st_mode)) return TPathKind::BlockDevice;
    return TPathKind::Other;
}

std::string Canonical_Path(const std::string& path) {
    std::error_code ec;
    auto c = std::filesystem::canonical(path, ec);
    return ec ? path : c.string();
}

std::string Absolute_Path(const std::string& path) {
    std::error_code ec;
    std::string full = std::filesystem::absolute(path, ec).lexically_normal().string();
    return ec ? path : full;
}

bool Read_WholeFile(const std::string& path, std::vector<uint8_t>& out) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    out.clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool Remove_File(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

std::string Get_TempFolder() {
    std::error_code ec;
    std::string t = std::filesystem::temp_directory_path(ec).string();
    if (ec || t.empty()) t = "/tmp";
    while (t.size() > 1 && t.back() == '/')
        t.pop_back();
    return t;
}

} // namespace qrv

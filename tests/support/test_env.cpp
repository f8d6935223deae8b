#include "support/test_env.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace qrv::test {

TTempDir::TTempDir(const std::string& tag) {
    std::string tmpl = (std::filesystem::temp_directory_path() / (tag + "-XXXXXX")).string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed for " + tmpl);
    path_ = buf.data();
}

TTempDir::~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string Bin_Dir() {
    const char* d = std::getenv("QRV_BIN_DIR");
    if (d && *d) return d;
    // The test programs are built into the same folder as the programs they run.
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("bin") : self.parent_path().string();
}

int Run_Command(const std::string& cmd, std::string* out) {
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return -1;
    std::array<char, 4096> buf{};
    size_t n;
    std::string text;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) text.append(buf.data(), n);
    int st = ::pclose(p);
    if (out) *out = std::move(text);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

bool Have_Program(const std::string& name) {
    return Run_Command("command -v " + name + " >/dev/null 2>&1") == 0;
}

std::vector<uint8_t> Read_File(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

void Write_File(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

void Write_At(const std::string& path, int64_t offset, const std::vector<uint8_t>& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, offset + int64_t(done));
        if (n <= 0) {
            ::close(fd);
            throw std::runtime_error("cannot write " + path);
        }
        done += size_t(n);
    }
    ::close(fd);
}

bool Fixtures_Required() {
    const char* v = std::getenv("QRV_REQUIRE_FIXTURES");
    return v && std::string(v) == "1";
}

} // namespace qrv::test

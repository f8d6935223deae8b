// Test environment helpers: scratch folders, program locations, running tools.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qrv::test {

// A fresh folder under the temporary folder, removed with its content when the
// object goes away.
class TTempDir {
  public:
    explicit TTempDir(const std::string& tag = "qrv");
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Folder of the built programs (qrv-cli ...): QRV_BIN_DIR when set, else the
// folder of the running test program, where the build puts them all.
std::string Bin_Dir();

// Runs a shell command; returns its exit status, and its stdout in *out when given.
int Run_Command(const std::string& cmd, std::string* out = nullptr);

// True when a program is on PATH.
bool Have_Program(const std::string& name);

// True when the environment variable QRV_REQUIRE_FIXTURES is "1": every tool,
// privilege and device the tests use must then be there (the test script and
// CI set it), and QRV_SKIP_WITHOUT fails a test instead of skipping it.
bool Fixtures_Required();

// Whole-file helpers.
std::vector<uint8_t> Read_File(const std::string& path);
void Write_File(const std::string& path, const std::vector<uint8_t>& bytes);
// Writes bytes at an offset of an existing (or new) file without truncating it.
void Write_At(const std::string& path, int64_t offset, const std::vector<uint8_t>& bytes);

} // namespace qrv::test

// Skips the calling test because something of the environment it needs (a
// tool, root, a loop device) is missing; fails it when fixtures are required.
#define QRV_SKIP_WITHOUT(reason)                                                                              \
    do {                                                                                                      \
        if (::qrv::test::Fixtures_Required())                                                                 \
            GTEST_FAIL() << "missing what this test needs (QRV_REQUIRE_FIXTURES=1): " << reason;              \
        else                                                                                                  \
            GTEST_SKIP() << reason;                                                                           \
    } while (0)

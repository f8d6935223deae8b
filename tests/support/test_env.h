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

// Whole-file helpers.
std::vector<uint8_t> Read_File(const std::string& path);
void Write_File(const std::string& path, const std::vector<uint8_t>& bytes);
// Writes bytes at an offset of an existing (or new) file without truncating it.
void Write_At(const std::string& path, int64_t offset, const std::vector<uint8_t>& bytes);

} // namespace qrv::test

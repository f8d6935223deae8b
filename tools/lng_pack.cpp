// qrv-lngpack: build-time helper that turns the plain "Chinese=English" table
// into the language file the program reads, every byte XORed with the
// program's language-file key.
//   qrv-lngpack TEXT_IN LNG_OUT
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/language.h"

namespace {

bool Write_All(const char* path, const std::vector<unsigned char>& bytes) {
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return (std::fclose(f) == 0) && ok;
}

} // namespace

int main(int argc, char** argv) {
    const char* usage =
        "usage: qrv-lngpack TEXT_IN LNG_OUT\n"
        "  scrambles the plain \"Chinese=English\" table TEXT_IN into the language file LNG_OUT\n";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            return 0;
        }
    }
    if (argc != 3 || argv[1][0] == '-' || argv[2][0] == '-') {
        std::fputs(usage, stderr);
        return 2;
    }
    std::FILE* in = std::fopen(argv[1], "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "qrv-lngpack: cannot read %s\n", argv[1]);
        return 1;
    }
    std::vector<unsigned char> bytes;
    unsigned char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    bool readOk = !std::ferror(in);
    std::fclose(in);
    if (!readOk) {
        std::fprintf(stderr, "qrv-lngpack: cannot read %s\n", argv[1]);
        return 1;
    }
    for (auto& c : bytes) c ^= qrv::LANGUAGE_FILE_KEY;
    if (!Write_All(argv[2], bytes)) {
        std::fprintf(stderr, "qrv-lngpack: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}

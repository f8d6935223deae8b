// The language-file loader over arbitrary file contents: scrambled with the
// shipped key and plain (key 0), with every text encoding the loader accepts
// (UTF-8 with and without a byte-order mark, UTF-16 of both orders, GB18030),
// then lookups of texts taken from the input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/language.h"
#include "platform/language_files.h"

using namespace qrv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/qrv-fuzz-language-" + std::to_string(::getpid()) + ".lng";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);

    for (uint8_t key : {uint8_t(LANGUAGE_FILE_KEY), uint8_t(0)}) {
        TLanguageTable table;
        if (!Load_LanguageFile(path, table, key)) continue;
        std::string value;
        const std::string text(reinterpret_cast<const char*>(data), std::min<size_t>(size, 40));
        table.Find(text, value);
        table.Find(text.substr(0, text.find('=')), value);
        table.Find("扫描开始", value);
    }
    return 0;
}

#include "platform/program_folder.h"

#include <unistd.h>

#include <vector>

namespace qrv {

std::string Program_Folder() {
    std::vector<char> buf(4096);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return ".";
        if (size_t(n) < buf.size()) {
            std::string path(buf.data(), size_t(n));
            size_t slash = path.rfind('/');
            if (slash == std::string::npos) return ".";
            if (slash == 0) return "/";
            return path.substr(0, slash);
        }
        buf.resize(buf.size() * 2); // the link did not fit: try a larger buffer
    }
}

} // namespace qrv

// libewf reports errors through an owned error object; this turns one into
// the text of a log line and frees it. Shared by the EWF reader and writer.
#pragma once

#include <libewf.h>

#include <string>

namespace qrv {

inline std::string Take_EwfError(libewf_error_t*& err, const char* what) {
    std::string text = what;
    if (err) {
        char buf[512] = {};
        if (libewf_error_sprint(err, buf, sizeof buf) > 0) {
            // The first line names the failing step; the rest is libewf's call stack.
            std::string msg(buf);
            if (auto nl = msg.find('\n'); nl != std::string::npos) msg.resize(nl);
            if (!msg.empty()) text += ": " + msg;
        }
        libewf_error_free(&err);
        err = nullptr;
    }
    return text;
}

} // namespace qrv

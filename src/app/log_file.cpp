#include "app/log_file.h"

#include "common/op_state.h"
#include "platform/output_file.h"
#include "platform/output_guard.h"

namespace qrv::app {

std::string Log_FileText(const std::vector<TLogRow>& rows) {
    std::string text;
    for (const auto& r : rows)
        text += r[0] + "  " + r[1] + "  " + r[2] + "\r\n";
    return text;
}

bool Write_LogFile(const std::string& folder, const std::vector<TLogRow>& rows,
                   const std::vector<std::string>& sources) {
    std::string path = folder;
    if (path.empty() || path.back() != '/') path += '/';
    path += "log.txt";
    // The log never lands on the medium being examined.
    const TOutputGuard guard(sources);
    auto out = TOutputFile::Create(path, guard);
    if (!out) return false;
    const std::string text = Log_FileText(rows);
    // A log saved earlier into the folder is kept: this one takes log-2.txt ...
    return out->Write(text.data(), text.size()) && out->Commit(TTakenName::NextFree);
}

} // namespace qrv::app

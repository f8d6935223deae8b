#include "app/source_checks.h"

#include "common/language.h"
#include "media/raw_access.h"
#include "platform/output_guard.h"
#include "platform/source_io.h"

namespace qrv::app {

std::string Check_OutputTarget(const std::string& folder, const TTreeData& node,
                               const TGuardOptions& output) {
    const TGuardVerdict v = TOutputGuard({Get_SourcePath(node)}, output).Check_Folder(folder);
    if (v.Allowed()) return "";
    // A folder on the source's disk gets the dialog's own words; the other
    // refusals (the source itself, a device, a disk that cannot be told) say why.
    if (v.Cause == TGuardCause::SameDisk) return Tr("为避免覆盖,请不要设置保存路径到同一磁盘!");
    return v.Reason;
}

std::string Access_Hint(const TTreeData& node) {
    const std::string path = Get_SourcePath(node);
    TOpenFailure failure;
    if (Open_Source(path, &failure)) return "";
    return Open_FailureHint(path, failure);
}

} // namespace qrv::app

#include "app/source_checks.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/language.h"
#include "media/raw_access.h"
#include "platform/output_guard.h"
#include "platform/source_io.h"

namespace qrv::app {

namespace {

std::string User_Name() {
    if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_name != nullptr)
        return pw->pw_name;
    return "$USER";
}

} // namespace

std::string Check_OutputTarget(const std::string& folder, const TTreeData& node) {
    const TGuardVerdict v = TOutputGuard({Get_SourcePath(node)}).Check_Folder(folder);
    if (v.Allowed()) return "";
    // A folder on the source's disk gets the dialog's own words; the other
    // refusals (the source itself, a device, a disk that cannot be told) say why.
    if (v.Cause == TGuardCause::SameDisk) return Tr("为避免覆盖,请不要设置保存路径到同一磁盘!");
    return v.Reason;
}

std::string Access_Hint(const TTreeData& node) {
    const std::string path = Get_SourcePath(node);
    errno = 0;
    if (Open_Source(path)) return "";
    const int err = errno;
    // Root is refused only by something else (a container's device rules, a
    // file system mounted without devices): asking to run as root would not help.
    if ((err != EACCES && err != EPERM) || ::geteuid() == 0) return "";
    struct stat st {};
    const bool device = ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
    if (!device) return Tr("没有权限读取此文件:") + path + "\n" + Tr("请检查文件的读取权限。");
    return Tr("没有权限读取此设备:") + path + "\n" +
           Tr("请以root身份运行本程序,或把当前用户加入disk组后重新登录:") + " sudo usermod -aG disk " +
           User_Name();
}

} // namespace qrv::app

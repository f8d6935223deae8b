// The open policy of sources: a direct read-only open first; a block device
// that a normal user may not open is then asked of udisks2; when neither
// works, the hint says what the user can do.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/language.h"
#include "platform/source_io.h"
#include "platform/udisks.h"

namespace qrv {

namespace {

bool Is_BlockDevice(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

std::string User_Name() {
    if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_name != nullptr)
        return pw->pw_name;
    return "$USER";
}

} // namespace

TSourcePtr Open_Source(const std::string& path, TOpenFailure* failure) {
    // Direct first: root, members of the disk group and image files need no
    // one's permission, and nobody is asked for a password in vain.
    errno = 0;
    if (TSourcePtr s = Open_SourceWithFlags(path, O_RDONLY)) return s;
    TOpenFailure f;
    f.Error = errno;
    f.Device = Is_BlockDevice(path);
    if (f.Device && (f.Error == EACCES || f.Error == EPERM) && ::geteuid() != 0) {
        TUdisksOpen u = Udisks_OpenDevice(path);
        f.Udisks = u.Status;
        f.UdisksError = u.Error;
        if (u.Status == TUdisksStatus::Opened) return TSourcePtr(new TFileSource(u.Fd, path));
    }
    if (failure != nullptr) *failure = f;
    errno = f.Error;
    return nullptr;
}

std::string Open_FailureHint(const std::string& path, const TOpenFailure& failure) {
    // Root is refused only by something else (a container's device rules, a
    // file system mounted without devices): asking to run as root would not help.
    if ((failure.Error != EACCES && failure.Error != EPERM) || ::geteuid() == 0) return "";
    if (!failure.Device) return Tr("没有权限读取此文件:") + path + "\n" + Tr("请检查文件的读取权限。");
    std::string hint = Tr("没有权限读取此设备:") + path + "\n" +
                       Tr("请以root身份运行本程序,或把当前用户加入disk组后重新登录:") +
                       " sudo usermod -aG disk " + User_Name();
    switch (failure.Udisks) {
    case TUdisksStatus::NoBus:
    case TUdisksStatus::NoService:
        hint += "\n" + Tr("或安装并启动udisks2,由它在授权后只读打开设备:") + " sudo apt-get install udisks2";
        break;
    case TUdisksStatus::NotAuthorized:
        hint += "\n" + Tr("udisks2的授权被拒绝或取消,再次打开时请在授权窗口中确认。");
        break;
    case TUdisksStatus::NotTried:
    case TUdisksStatus::Opened:
        break;
    default:
        hint += "\n" + Tr("udisks2未能只读打开此设备:") + failure.UdisksError;
        break;
    }
    return hint;
}

} // namespace qrv

#include "platform/same_disk.h"

#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace qrv {

namespace {

std::string Sys_Path(dev_t dev) {
    return "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

std::optional<dev_t> Read_DevFile(const std::string& path) {
    std::ifstream in(path);
    unsigned maj = 0, min = 0;
    char colon = 0;
    if (!(in >> maj >> colon >> min) || colon != ':') return std::nullopt;
    return makedev(maj, min);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

} // namespace

std::optional<dev_t> Get_WholeDisk(dev_t dev) {
    const std::string base = Sys_Path(dev);
    if (!Exists(base + "/dev")) return std::nullopt;
    // A partition's sysfs folder sits inside its disk's folder.
    if (Exists(base + "/partition")) return Read_DevFile(base + "/../dev");
    return dev;
}

std::optional<dev_t> Get_FolderDisk(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return std::nullopt;
    return Get_WholeDisk(st.st_dev);
}

bool Is_SameDisk(const std::string& folder, const std::string& sourcePath) {
    struct stat st {};
    if (::stat(sourcePath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
    auto src = Get_WholeDisk(st.st_rdev);
    auto dst = Get_FolderDisk(folder);
    return src && dst && *src == *dst;
}

} // namespace qrv

#include "platform/udisks.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace qrv {

namespace {

constexpr const char* kService = "org.freedesktop.UDisks2";
constexpr const char* kManagerPath = "/org/freedesktop/UDisks2/Manager";
constexpr const char* kManager = "org.freedesktop.UDisks2.Manager";
constexpr const char* kBlock = "org.freedesktop.UDisks2.Block";
constexpr const char* kBlockPrefix = "/org/freedesktop/UDisks2/block_devices/";
// The authentication agent may wait for the user to type a password.
constexpr uint64_t kOpenTimeoutUsec = 300ull * 1000 * 1000;

struct TBusUnref {
    void operator()(sd_bus* b) const { sd_bus_flush_close_unref(b); }
};
struct TMsgUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using TBus = std::unique_ptr<sd_bus, TBusUnref>;
using TMsg = std::unique_ptr<sd_bus_message, TMsgUnref>;

// Fills the outcome from a failed call.
void Take_Error(TUdisksOpen& out, const sd_bus_error& e, int r) {
    const char* name = e.name != nullptr ? e.name : "";
    out.Error = std::string(name) + (e.message != nullptr ? std::string(": ") + e.message : "");
    if (out.Error.empty()) out.Error = std::strerror(-r);
    if (!std::strcmp(name, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
        !std::strcmp(name, SD_BUS_ERROR_NAME_HAS_NO_OWNER))
        out.Status = TUdisksStatus::NoService;
    else if (!std::strncmp(name, "org.freedesktop.UDisks2.Error.NotAuthorized", 43) ||
             !std::strcmp(name, SD_BUS_ERROR_ACCESS_DENIED) || !std::strcmp(name, SD_BUS_ERROR_AUTH_FAILED) ||
             !std::strcmp(name, SD_BUS_ERROR_INTERACTIVE_AUTHORIZATION_REQUIRED))
        out.Status = TUdisksStatus::NotAuthorized;
    else if (!std::strcmp(name, SD_BUS_ERROR_UNKNOWN_OBJECT) ||
             !std::strcmp(name, SD_BUS_ERROR_UNKNOWN_METHOD))
        out.Status = TUdisksStatus::UnknownDevice;
    else
        out.Status = TUdisksStatus::Failed;
}

// The object of the device: ResolveDevice({"path": dev}, {}) when the service
// offers it, else the object named after the device.
std::string Resolve_Object(sd_bus* bus, const std::string& dev, TUdisksOpen& out) {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, kService, kManagerPath, kManager, "ResolveDevice", &e, &reply,
                               "a{sv}a{sv}", 1, "path", "s", dev.c_str(), 0);
    TMsg hold(reply);
    if (r < 0) {
        const bool noMethod = e.name != nullptr && (!std::strcmp(e.name, SD_BUS_ERROR_UNKNOWN_METHOD) ||
                                                    !std::strcmp(e.name, SD_BUS_ERROR_UNKNOWN_OBJECT));
        if (!noMethod) {
            Take_Error(out, e, r);
            sd_bus_error_free(&e);
            return "";
        }
        sd_bus_error_free(&e);
        // An older udisks2 without ResolveDevice: the object is named after the device.
        const size_t slash = dev.rfind('/');
        return Udisks_BlockObjectPath(slash == std::string::npos ? dev : dev.substr(slash + 1));
    }
    std::string object;
    if (sd_bus_message_enter_container(reply, 'a', "o") > 0) {
        const char* p = nullptr;
        if (sd_bus_message_read(reply, "o", &p) > 0 && p != nullptr) object = p;
    }
    if (object.empty()) {
        out.Status = TUdisksStatus::UnknownDevice;
        out.Error = "udisks2 does not know " + dev;
    }
    return object;
}

} // namespace

std::string Udisks_BlockObjectPath(const std::string& deviceName) {
    static const char* hex = "0123456789abcdef";
    std::string p = kBlockPrefix;
    for (unsigned char c : deviceName) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            p.push_back(char(c));
        } else {
            p.push_back('_');
            p.push_back(hex[c >> 4]);
            p.push_back(hex[c & 15]);
        }
    }
    return p;
}

TUdisksOpen Udisks_OpenDevice(const std::string& devicePath) {
    TUdisksOpen out;
    // udisks2 knows devices by their real node: follow /dev/disk/by-id/... links.
    std::string dev = devicePath;
    if (char* real = ::realpath(devicePath.c_str(), nullptr)) {
        dev = real;
        std::free(real);
    }

    sd_bus* raw = nullptr;
    int r = sd_bus_open_system(&raw);
    TBus bus(raw);
    if (r < 0) {
        out.Status = TUdisksStatus::NoBus;
        out.Error = std::string("system bus: ") + std::strerror(-r);
        return out;
    }
    // Let polkit ask the user through the desktop's authentication agent.
    sd_bus_set_allow_interactive_authorization(bus.get(), 1);

    const std::string object = Resolve_Object(bus.get(), dev, out);
    if (object.empty()) return out;

    sd_bus_message* call = nullptr;
    r = sd_bus_message_new_method_call(bus.get(), &call, kService, object.c_str(), kBlock, "OpenDevice");
    TMsg hold(call);
    if (r >= 0) r = sd_bus_message_append(call, "sa{sv}", "r", 0);
    if (r < 0) {
        out.Status = TUdisksStatus::Failed;
        out.Error = std::strerror(-r);
        return out;
    }
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call(bus.get(), call, kOpenTimeoutUsec, &e, &reply);
    TMsg holdReply(reply);
    if (r < 0) {
        Take_Error(out, e, r);
        sd_bus_error_free(&e);
        return out;
    }
    int fd = -1;
    if (sd_bus_message_read(reply, "h", &fd) <= 0 || fd < 0) {
        out.Status = TUdisksStatus::Failed;
        out.Error = "OpenDevice returned no descriptor";
        return out;
    }
    // The message owns its descriptor: keep a copy of our own.
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (own < 0) {
        out.Status = TUdisksStatus::Failed;
        out.Error = std::strerror(errno);
        return out;
    }
    // A source is never read through a descriptor that could write to it.
    const int flags = ::fcntl(own, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) != O_RDONLY) {
        ::close(own);
        out.Status = TUdisksStatus::NotReadOnly;
        out.Error = "the descriptor handed out by udisks2 is not read-only";
        return out;
    }
    out.Status = TUdisksStatus::Opened;
    out.Fd = own;
    return out;
}

} // namespace qrv

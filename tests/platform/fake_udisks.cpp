// A stand-in for the udisks2 service on a private bus, for the tests of the
// read-only device opens: fake-udisks MODE DEVICE
//   ok    ResolveDevice and OpenDevice answer as udisks2 does
//   old   no ResolveDevice (an older udisks2): the object is found by name
//   deny  OpenDevice answers NotAuthorized, as polkit's refusal does
//   rw    OpenDevice hands out a descriptor open for writing
// Prints "ready" on stdout once it owns the name, then serves until killed.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/udisks.h"

namespace {

std::string g_mode, g_device, g_object;

int Resolve_Device(sd_bus_message* m, void*, sd_bus_error*) {
    std::string path;
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    while (r >= 0 && sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* key = nullptr;
        sd_bus_message_read(m, "s", &key);
        if (key != nullptr && !std::strcmp(key, "path")) {
            const char* v = nullptr;
            sd_bus_message_read(m, "v", "s", &v);
            if (v != nullptr) path = v;
        } else {
            sd_bus_message_skip(m, "v");
        }
        sd_bus_message_exit_container(m);
    }
    sd_bus_message* reply = nullptr;
    sd_bus_message_new_method_return(m, &reply);
    sd_bus_message_open_container(reply, 'a', "o");
    if (path == g_device) sd_bus_message_append(reply, "o", g_object.c_str());
    sd_bus_message_close_container(reply);
    r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

int Open_Device(sd_bus_message* m, void*, sd_bus_error* e) {
    if (std::strcmp(sd_bus_message_get_path(m), g_object.c_str()) != 0)
        return sd_bus_error_set(e, SD_BUS_ERROR_UNKNOWN_OBJECT, "no such block device");
    const char* mode = nullptr;
    sd_bus_message_read(m, "s", &mode);
    if (g_mode == "deny")
        return sd_bus_error_set(e, "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain",
                                "Not authorized to perform operation");
    if (mode == nullptr || std::strcmp(mode, "r") != 0)
        return sd_bus_error_set(e, "org.freedesktop.UDisks2.Error.Failed", "only mode r is expected");
    const int fd = ::open(g_device.c_str(), (g_mode == "rw" ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return sd_bus_error_set_errno(e, errno);
    const int r = sd_bus_reply_method_return(m, "h", fd);
    ::close(fd);
    return r;
}

const sd_bus_vtable kManager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("ResolveDevice", "a{sv}a{sv}", "ao", Resolve_Device, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

const sd_bus_vtable kBlock[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("OpenDevice", "sa{sv}", "h", Open_Device, SD_BUS_VTABLE_UNPRIVILEGED), SD_BUS_VTABLE_END};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: fake-udisks ok|old|deny|rw DEVICE\n", stderr);
        return 2;
    }
    g_mode = argv[1];
    g_device = argv[2];
    if (char* real = ::realpath(argv[2], nullptr)) {
        g_device = real;
        std::free(real);
    }
    g_object = qrv::Udisks_BlockObjectPath(g_device.substr(g_device.rfind('/') + 1));

    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return 1;
    if (g_mode != "old")
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/UDisks2/Manager",
                                 "org.freedesktop.UDisks2.Manager", kManager, nullptr);
    sd_bus_add_fallback_vtable(bus, nullptr, "/org/freedesktop/UDisks2/block_devices",
                               "org.freedesktop.UDisks2.Block", kBlock, nullptr, nullptr);
    if (sd_bus_request_name(bus, "org.freedesktop.UDisks2", 0) < 0) return 1;
    std::puts("ready");
    std::fflush(stdout);
    for (;;) {
        int r = sd_bus_process(bus, nullptr);
        if (r < 0) return 1;
        if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) return 1;
    }
}

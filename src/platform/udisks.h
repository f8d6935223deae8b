// Read-only opens of block devices through udisks2, for a user who may not
// open the device node itself.
//
// udisks2 runs as root and hands out a descriptor of a block device
// (org.freedesktop.UDisks2.Block.OpenDevice, mode "r") after polkit has
// authorised the caller, who may be asked for a password by the desktop's
// authentication agent. The client talks to the system bus with sd-bus
// (libsystemd), so the desktop program and qrv-cli share it; the bus address
// comes from DBUS_SYSTEM_BUS_ADDRESS when set (tests run a private bus).
#pragma once

#include <string>

namespace qrv {

enum class TUdisksStatus {
    NotTried,      // the direct open was enough, or the path is not a device
    Opened,        // Fd holds a read-only descriptor of the device
    NoBus,         // no system bus to talk to
    NoService,     // the bus has no udisks2 service
    NotAuthorized, // polkit refused (or the user dismissed the request)
    UnknownDevice, // udisks2 does not know the device
    NotReadOnly,   // the descriptor handed out allows writing: closed, not used
    Failed         // any other error
};

struct TUdisksOpen {
    TUdisksStatus Status = TUdisksStatus::NotTried;
    int Fd = -1;       // owned by the caller when Status is Opened
    std::string Error; // D-Bus error name and message, for the log
};

// Asks udisks2 for a read-only descriptor of the block device at devicePath
// (links are followed first). The descriptor is checked to be open for
// reading only (fcntl F_GETFL) before it is handed back.
TUdisksOpen Udisks_OpenDevice(const std::string& devicePath);

// The udisks2 object path of a device name ("sdb" -> .../block_devices/sdb):
// letters and digits as they are, every other byte as "_" and two hex digits.
std::string Udisks_BlockObjectPath(const std::string& deviceName);

} // namespace qrv

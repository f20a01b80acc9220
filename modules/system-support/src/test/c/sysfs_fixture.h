// A fake sysfs tree with USB and other HID devices laid out as the kernel shows them, and the means
// to let a child process see it as /sys (a private mount namespace; needs the right to create one).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace sysfstest {

class SysfsFixture {
public:
    SysfsFixture();   // an empty tree in a fresh temporary folder
    ~SysfsFixture();  // removes the folder
    SysfsFixture(const SysfsFixture&) = delete;
    SysfsFixture& operator=(const SysfsFixture&) = delete;

    // A USB device with `interfaces` interfaces, each carrying one HID device (with a hidraw node
    // when hidraw is set). Returns the sysfs paths (as seen from inside) of the HID devices.
    std::vector<std::string> add_usb_hid(uint16_t vendor, uint16_t product, uint16_t revision, int interfaces,
                                         bool hidraw = true);
    // A HID device outside USB (a virtual or Bluetooth one) with the given HID_ID property.
    std::string add_other_hid(const std::string& hidId);

    // Makes the listing of HID devices fail: bus/hid/devices becomes a plain file.
    void break_hid_listing();

    const std::string& root() const { return root_; }

private:
    std::string hid_device(const std::string& parent, const std::string& hidId, const std::string& name, bool hidraw);

    std::string root_;
    int nextUsb_ = 1;
    int nextHid_ = 1;
    int nextHidraw_ = 0;
};

// The outcome of a function run in a child process.
struct ChildResult {
    bool unsupported = false;  // no private mount namespace could be made here
    bool ok = false;           // the child ran fn and exited normally
    std::string output;        // what fn returned
};

// Runs fn in a forked child that sees each bind's first path at its second (the first of all
// usually the fixture's root at /sys).
ChildResult run_with_binds(const std::vector<std::pair<std::string, std::string>>& binds,
                           const std::function<std::string()>& fn);

// The program and arguments that run `program` with the same binds, through unshare(1) and sh.
std::pair<std::string, std::vector<std::string>> bind_command(
    const std::vector<std::pair<std::string, std::string>>& binds, const std::string& program);

// True when this machine lets us create a private mount namespace.
bool mount_namespaces_available();

}  // namespace sysfstest

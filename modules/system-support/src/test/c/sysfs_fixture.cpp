#include "sysfs_fixture.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace sysfstest {

namespace {

constexpr const char* usbRoot = "/sys/devices/pci0000:00/0000:00:14.0/usb1";
constexpr int hidrawMajor = 240;

void write_file(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string hex(unsigned value, int digits, bool upper) {
    char text[16];
    std::snprintf(text, sizeof text, upper ? "%0*X" : "%0*x", digits, value);
    return text;
}

bool write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// In a child: a private mount namespace with the binds in place. 0, or an errno value.
int enter_binds(const std::vector<std::pair<std::string, std::string>>& binds) {
    if (unshare(CLONE_NEWNS) != 0) return errno;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return errno;
    for (const auto& [from, to] : binds)
        if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0) return errno;
    return 0;
}

constexpr int childUnsupported = 77;

}  // namespace

SysfsFixture::SysfsFixture() {
    std::string pattern = (fs::temp_directory_path() / "veldra-sysfs-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    fs::create_directories(root_ + "/bus/hid/devices");
    fs::create_directories(root_ + "/bus/usb/devices");
    fs::create_directories(root_ + "/class/hidraw");
}

SysfsFixture::~SysfsFixture() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

std::string SysfsFixture::hid_device(const std::string& parent, const std::string& hidId, const std::string& name,
                                     bool hidraw) {
    const std::string path = parent + "/" + name;
    const fs::path local = root_ + path.substr(4);  // below the fixture instead of /sys
    write_file(local / "uevent", "DRIVER=hid-generic\nHID_ID=" + hidId + "\nHID_NAME=Fixture device\n" +
                                     "MODALIAS=hid:b" + hidId.substr(0, 4) + "g0001\n");
    fs::create_directory_symlink("/sys/bus/hid", local / "subsystem");
    fs::create_directory_symlink(path, root_ + "/bus/hid/devices/" + name);
    if (hidraw) {
        const int minor = nextHidraw_++;
        const std::string node = "hidraw" + std::to_string(minor);
        const fs::path rawLocal = local / "hidraw" / node;
        write_file(rawLocal / "uevent", "MAJOR=" + std::to_string(hidrawMajor) + "\nMINOR=" + std::to_string(minor) +
                                            "\nDEVNAME=" + node + "\n");
        write_file(rawLocal / "dev", std::to_string(hidrawMajor) + ":" + std::to_string(minor) + "\n");
        fs::create_directory_symlink("/sys/class/hidraw", rawLocal / "subsystem");
        fs::create_directory_symlink(path + "/hidraw/" + node, root_ + "/class/hidraw/" + node);
    }
    return path;
}

std::vector<std::string> SysfsFixture::add_usb_hid(uint16_t vendor, uint16_t product, uint16_t revision, int interfaces,
                                                   bool hidraw) {
    const std::string port = "1-" + std::to_string(nextUsb_++);
    const std::string device = std::string(usbRoot) + "/" + port;
    const fs::path local = root_ + device.substr(4);
    write_file(local / "uevent", "DEVTYPE=usb_device\nDRIVER=usb\nPRODUCT=" + hex(vendor, 1, false) + "/" +
                                     hex(product, 1, false) + "/" + hex(revision, 1, false) + "\n");
    write_file(local / "idVendor", hex(vendor, 4, false) + "\n");
    write_file(local / "idProduct", hex(product, 4, false) + "\n");
    write_file(local / "bcdDevice", hex(revision, 4, false) + "\n");
    char count[8];
    std::snprintf(count, sizeof count, "%2d\n", interfaces);  // the kernel's own format
    write_file(local / "bNumInterfaces", count);
    fs::create_directory_symlink("/sys/bus/usb", local / "subsystem");
    fs::create_directory_symlink(device, root_ + "/bus/usb/devices/" + port);

    const std::string hidId = "0003:" + hex(vendor, 8, true) + ":" + hex(product, 8, true);
    std::vector<std::string> paths;
    for (int i = 0; i < interfaces; ++i) {
        const std::string interface = device + "/" + port + ":1." + std::to_string(i);
        const fs::path interfaceLocal = root_ + interface.substr(4);
        write_file(interfaceLocal / "uevent", "DEVTYPE=usb_interface\nDRIVER=usbhid\nINTERFACE=3/0/0\n");
        write_file(interfaceLocal / "bInterfaceNumber", hex(static_cast<unsigned>(i), 2, false) + "\n");
        fs::create_directory_symlink("/sys/bus/usb", interfaceLocal / "subsystem");
        const std::string name = "0003:" + hex(vendor, 4, true) + ":" + hex(product, 4, true) + "." +
                                 hex(static_cast<unsigned>(nextHid_++), 4, true);
        paths.push_back(hid_device(interface, hidId, name, hidraw));
    }
    return paths;
}

std::string SysfsFixture::add_other_hid(const std::string& hidId) {
    const std::string name = hidId.substr(0, 4) + ":" + hidId.substr(9, 4) + ":" + hidId.substr(18, 4) + "." +
                             hex(static_cast<unsigned>(nextHid_++), 4, true);
    return hid_device("/sys/devices/virtual/misc/uhid", hidId, name, true);
}

void SysfsFixture::break_hid_listing() {
    fs::remove_all(root_ + "/bus/hid/devices");
    write_file(root_ + "/bus/hid/devices", "");
}

ChildResult run_with_binds(const std::vector<std::pair<std::string, std::string>>& binds,
                           const std::function<std::string()>& fn) {
    ChildResult result;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return result;
    const pid_t child = fork();
    if (child < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return result;
    }
    if (child == 0) {
        close(pipeFds[0]);
        if (enter_binds(binds) != 0) _exit(childUnsupported);
        std::string output;
        try {
            output = fn();
        } catch (const std::exception& e) {
            output = std::string("exception: ") + e.what();
        }
        _exit(write_all(pipeFds[1], output) ? 0 : 1);
    }
    close(pipeFds[1]);
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.output.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    result.unsupported = WIFEXITED(status) && WEXITSTATUS(status) == childUnsupported;
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

std::pair<std::string, std::vector<std::string>> bind_command(
    const std::vector<std::pair<std::string, std::string>>& binds, const std::string& program) {
    std::string script;
    std::vector<std::string> args = {"--mount", "--propagation", "private", "/bin/sh", "-c", "", "sh"};
    int position = 1;
    for (const auto& [from, to] : binds) {
        script +=
            "mount --bind \"${" + std::to_string(position) + "}\" \"${" + std::to_string(position + 1) + "}\" && ";
        position += 2;
        args.push_back(from);
        args.push_back(to);
    }
    script += "exec \"${" + std::to_string(position) + "}\"";
    args.push_back(program);
    args[5] = script;
    return {"/usr/bin/unshare", args};
}

bool mount_namespaces_available() {
    return !run_with_binds({}, [] { return std::string(); }).unsupported;
}

}  // namespace sysfstest

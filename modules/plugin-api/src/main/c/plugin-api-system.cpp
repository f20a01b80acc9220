#include "plugin-api-system.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <set>
#include <string_view>

#include "exception_text.h"
#include "log.h"
#ifdef _WIN32
#include "plugin-api-system-registry.h"
#endif

namespace {

// What the package database may hand to an answer or keep in memory: a line (longer ones are not
// taken), a version text, and the number of packages looked at.
constexpr size_t MAX_LINE_BYTES = 4096;
constexpr size_t MAX_VERSION_BYTES = 64;
constexpr size_t MAX_PACKAGES = 20000;
// The HID interfaces looked at: far more than a workstation has, far less than an answer can hold.
constexpr size_t MAX_DEVICES = 1024;

// One line without its newline, at most MAX_LINE_BYTES of it kept (cut says that more was there);
// false at the end of the file. (No C++ streams: they bring the locale machinery into every
// process's start-up.)
bool read_line(std::FILE* in, std::string& line, bool& cut) {
    line.clear();
    cut = false;
    bool any = false;
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, in)) {
        any = true;
        size_t n = std::strlen(chunk);
        const bool end = n > 0 && chunk[n - 1] == '\n';
        if (end) --n;
        if (line.size() + n > MAX_LINE_BYTES) {
            cut = true;
            n = MAX_LINE_BYTES - line.size();
        }
        line.append(chunk, n);
        if (end) return true;
    }
    return any;
}

std::string ascii_lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

std::string_view trim(std::string_view text) {
    const size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return {};
    const size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

// The value of "Name: value" when line is that field (name compared without letter case).
bool field(std::string_view line, std::string_view name, std::string_view& value) {
    if (line.size() <= name.size() || line[name.size()] != ':' ||
        ascii_lower(line.substr(0, name.size())) != ascii_lower(name))
        return false;
    value = trim(line.substr(name.size() + 1));
    return true;
}

// Installed packages only; pending triggers leave a package installed.
bool is_installed(std::string_view status) {
    const size_t lastBlank = status.find_last_of(' ');
    const std::string_view state = lastBlank == std::string_view::npos ? status : status.substr(lastBlank + 1);
    return state == "installed" || state == "triggers-pending" || state == "triggers-awaited";
}

struct Package {
    std::string name, status, version, summary;
};

void write_device_list(json_response* response, const std::set<std::string>& vidpids) {
    json_response_begin_array(response, "deviceList");
    int index = 0;
    for (const std::string& vidpid : vidpids) {
        json_response_separator(response, index == 0);
        json_response_begin_object(response, nullptr);
        json_response_add_int(response, "index", index, false);
        json_response_add_string(response, "vidpid", vidpid.c_str(), true);
        json_response_end_object(response);
        ++index;
    }
    json_response_end_array(response);
}

void write_package_list(json_response* response, const ComponentTable& components) {
    json_response_begin_array(response, "packageList");
    int index = 0;
    for (const auto& [key, checker] : components) {
        const std::string version = checker->version();
        json_response_separator(response, index == 0);
        json_response_begin_object(response, nullptr);
        json_response_add_int(response, "index", index, false);
        json_response_add_string(response, "component", key.c_str(), false);
        json_response_add_string(response, "version", version.c_str(), true);
        json_response_end_object(response);
        ++index;
    }
    json_response_end_array(response);
}

}  // namespace

RegistryChecker::RegistryChecker(std::string displayName, std::string statusPath)
    : displayName_(std::move(displayName)), statusPath_(std::move(statusPath)) {}

std::string RegistryChecker::version() const {
    const std::string wanted = ascii_lower(displayName_);
#ifdef _WIN32
    for (const InstalledProgram& program : installed_programs_from_registry())
#else
    for (const InstalledProgram& program : installed_programs(statusPath_))
#endif
        if (ascii_lower(program.name).find(wanted) != std::string::npos)
            return program.version.size() <= MAX_VERSION_BYTES ? program.version : std::string();
    return {};
}

std::vector<InstalledProgram> installed_programs(const std::string& statusPath) {
    std::vector<InstalledProgram> byDescription, byName;
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(statusPath.c_str(), "r"), std::fclose);
    Package package;
    auto finish = [&] {
        if (!package.name.empty() && is_installed(package.status)) {
            if (!package.summary.empty()) byDescription.push_back({package.summary, package.version});
            byName.push_back({package.name, package.version});
        }
        package = Package();
    };
    bool cut = false;
    size_t packages = 0;
    for (std::string line; in && packages < MAX_PACKAGES && read_line(in.get(), line, cut);) {
        const std::string_view text(line);
        std::string_view value;
        if (trim(text).empty()) {
            if (!package.name.empty()) ++packages;
            finish();
        } else if (cut || text[0] == ' ' || text[0] == '\t') {
            continue;  // a continuation line (the long description, conffiles), or one too long to take
        } else if (field(text, "Package", value)) {
            package.name = value;
        } else if (field(text, "Status", value)) {
            package.status = value;
        } else if (field(text, "Version", value)) {
            package.version = value;
        } else if (field(text, "Description", value)) {
            package.summary = value;
        }
    }
    finish();
    byDescription.insert(byDescription.end(), byName.begin(), byName.end());
    return byDescription;
}

// Built on first use and only read afterwards.
const ComponentTable& component_table() {
    static const ComponentTable table = {
        {"stepover", std::make_shared<RegistryChecker>("StepOver Signature Device Driver")},
        {"vasco", std::make_shared<RegistryChecker>("VASCO DIGIPASS Secure Card Reader Driver")},
    };
    return table;
}

std::string vidpid_text(const WacomGSS::UsbDevice& device) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%x", static_cast<unsigned>(device.vendorId),
                  static_cast<unsigned>(device.productId));
    return text;
}

void get_system_info(api_ctx* ctx, json_response* response) {
    get_system_info(ctx, response, WacomGSS::enumerate, component_table());
}

void get_system_info(api_ctx* ctx, json_response* response, const DeviceEnumerator& enumerate,
                     const ComponentTable& components) {
    watcher_set_timeout(ctx ? ctx->watcher : nullptr, 60);
    try {
        std::vector<WacomGSS::UsbDevice> devices;
        enumerate([&devices](WacomGSS::UsbDevice& device) {
            devices.push_back(device);
            return devices.size() < MAX_DEVICES;
        });
        LOG_DEBUG("Found %d devices(s)", static_cast<int>(devices.size()));

        json_response_begin(response);
        std::set<std::string> vidpids;
        for (const WacomGSS::UsbDevice& device : devices) vidpids.insert(vidpid_text(device));
        write_device_list(response, vidpids);
        json_response_separator(response);
        write_package_list(response, components);
        json_response_end(response);
    } catch (...) {
        const std::string failure = Utils::current_exception_text(Utils::EmptyWhat::DemangledTypeName);
        LOG_DEBUG("Listing devices failed (%s)", failure.c_str());
        json_response_error(response, 20, "Listing devices failed (%s)", failure.c_str());
    }
}

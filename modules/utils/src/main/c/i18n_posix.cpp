// The C library's gettext: the language from the environment, as every Debian program chooses it.
#include <libintl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <string>

#include "i18n.h"

namespace Utils {
namespace {

constexpr const char* kDomain = "veldra";

// "locale" beside the program when there is one (the build tree), else the installed folder.
std::string catalog_folder() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length > 0) {
        const std::string program(path, static_cast<std::size_t>(length));
        const std::size_t slash = program.rfind('/');
        const std::string beside = program.substr(0, slash + 1) + "locale";
        struct stat info {};
        if (slash != std::string::npos && stat(beside.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return beside;
    }
#ifdef VELDRA_LOCALE_DIR
    return VELDRA_LOCALE_DIR;
#else
    return {};
#endif
}

}  // namespace

void i18n_init() {
    std::setlocale(LC_MESSAGES, "");
    const std::string folder = catalog_folder();
    if (!folder.empty()) bindtextdomain(kDomain, folder.c_str());
    // pinentry, GTK and the JSON report take UTF-8 whatever the terminal's character set.
    bind_textdomain_codeset(kDomain, "UTF-8");
}

const char* translate(const char* english) { return dgettext(kDomain, english); }

}  // namespace Utils

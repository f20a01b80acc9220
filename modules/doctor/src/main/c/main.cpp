// veldra-doctor [--json]: what stands between a browser and a signature on this machine.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "doctor.h"
#include "i18n.h"

namespace {

constexpr const char* kUsage =
    "usage: veldra-doctor [--json]\n"
    "Checks, without changing anything, what a signature needs on this machine: the host, the\n"
    "browsers' registrations, the smart-card service and readers, the PIN dialog, the pads and the\n"
    "state folder. Exit code 0: a card signature can work here; 1: it cannot; 2: usage.\n";

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("veldra-doctor " VELDRA_VERSION);
            return 0;
        } else {
            std::fprintf(stderr, "veldra-doctor: unknown argument %s\n%s", argv[i], kUsage);
            return 2;
        }
    }
    // The text report in the user's language; the JSON document, for scripts and bug reports, in English.
    if (!json) Utils::i18n_init();
    using namespace Doctor;
    Findings findings;
    CheckHost(findings);
    CheckRegistrations(findings);
    const bool pinPadCard = CheckSmartCards(findings);
    CheckPinDialog(findings, pinPadCard);
    CheckPads(findings);
    CheckInventory(findings);
    CheckStateFolder(findings);
    const std::string report = json ? RenderJson(findings) : RenderText(findings);
    std::fwrite(report.data(), 1, report.size(), stdout);
    return SignatureCanWork(findings) ? 0 : 1;
}

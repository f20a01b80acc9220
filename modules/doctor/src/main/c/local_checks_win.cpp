// The checks of this session on Windows: the PIN dialog and the pads.
#include "doctor.h"
#include "i18n.h"

namespace Doctor {

void CheckPinDialog(Findings& findings, bool) {
    // The host's own dialog on the secure desktop: part of the program, nothing to find.
    findings.push_back(
        {N_("PIN dialog"), Status::Ok, _("the host shows its own PIN dialog on the secure desktop"), "", {}});
}

void CheckPads(Findings& findings) {
    findings.push_back(
        {N_("pads"),
         Status::Ok,
         _("the pad SDK's COM objects are looked for when a pad command runs; GET_PADS lists a connected pad"),
         "",
         {}});
}

}  // namespace Doctor

// The state store's folder and file as the host would find them, looked at without creating,
// repairing or reading anything (for a diagnosis).
#pragma once

#include <string>

struct AppStateFinding {
    enum class Verdict {
        Ready,     // as the host requires it
        Missing,   // not there yet: the host creates it on first use
        Repaired,  // the host restores its modes on first use
        Refused,   // the host refuses it: signatures that need the state fail
    };
    Verdict verdict = Verdict::Ready;
    std::string text;  // what was found, in words (path, owner, modes)
};

struct AppStateInspection {
    std::string folder;  // where the state lives; empty when no folder can be named
    AppStateFinding folderFinding;
    AppStateFinding fileFinding;
};

// Never throws: a folder that cannot be named is a refused folder with the reason in its text.
AppStateInspection inspect_appstate();

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
    std::string file;    // the state file in it; empty with the folder
    AppStateFinding folderFinding;
    AppStateFinding fileFinding;
};

#ifndef _WIN32
// The modes the host requires of the folder and the file (owned by the user, never a symbolic
// link); it restores them where it finds others. On Windows the file's DACL is protected and
// grants its owner alone.
constexpr unsigned APPSTATE_FOLDER_MODE = 0700;
constexpr unsigned APPSTATE_FILE_MODE = 0600;
#endif

// Never throws: a folder that cannot be named is a refused folder with the reason in its text.
AppStateInspection inspect_appstate();

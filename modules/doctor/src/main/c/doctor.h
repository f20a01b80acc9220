// veldra-doctor: each check of a machine is one finding (OK, WARNING or PROBLEM) with, for a
// problem, one sentence on what to do. Every check only looks: nothing is written, no PIN is asked
// for and no VERIFY reaches a card.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace Doctor {

enum class Status { Ok, Warning, Problem };

struct Finding {
    std::string check;  // short name: "host", "chrome", "smart cards", ...
    Status status = Status::Ok;
    std::string text;                  // what was found, one sentence
    std::string advice;                // what to do; empty when nothing is to be done
    std::vector<std::string> details;  // one line each: readers, manifests' extensions, ...
};

using Findings = std::vector<Finding>;

// What a host program answered to GET_INFO.
struct HostAnswer {
    bool answered = false;
    std::string version;     // "version"
    std::string binVersion;  // "binVersion"
    std::string error;       // why there is no answer
};

// The GET_INFO request as a browser frames it.
std::string GetInfoFrame();
// The version and binVersion of the answer frame at the start of output, or why there is none.
HostAnswer ReadHostAnswer(const std::string& output, long exitCode);

// Runs program with args, sends it a GET_INFO frame and reads its answer within limit (the
// program is killed after it). Its standard error is discarded. The limit is the host's own window
// for reading a request: a host that starts slowly (a loaded machine, an emulated loader) is not
// reported broken, and a hung one costs the report at most that.
HostAnswer QueryHost(const std::string& program, const std::vector<std::string>& args,
                     std::chrono::milliseconds limit = std::chrono::seconds(10));

// The host that belongs to this doctor: the one beside it (a build tree), else the installed one.
std::string OwnHostPath();

// The checks, in the order they are printed.
void CheckHost(Findings& findings);
void CheckRegistrations(Findings& findings);
// Returns whether an identity card sits in a reader that takes the PIN itself (PIN pad, bypass).
bool CheckSmartCards(Findings& findings);
void CheckPinDialog(Findings& findings, bool pinPadCard);
void CheckPads(Findings& findings);
void CheckInventory(Findings& findings);
void CheckStateFolder(Findings& findings);

// The report, as text lines or one JSON document.
std::string RenderText(const Findings& findings);
std::string RenderJson(const Findings& findings);
// A card signature can work here: no finding is a problem.
bool SignatureCanWork(const Findings& findings);

// "~/..." for a path under $HOME, the path otherwise (shorter lines).
std::string Shorten(const std::string& path);
// A display the pad window or a graphical pinentry could open: empty when there is none, with the reason in why.
std::string ReachableDisplay(std::string& why);

}  // namespace Doctor

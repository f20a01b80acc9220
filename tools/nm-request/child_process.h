// Runs a program with one input on its standard input and collects its standard output.
#pragma once

#include <string>
#include <vector>

struct ChildResult {
    bool started = false;
    std::string error;   // why it did not start
    std::string output;  // all of its standard output
    int exit_code = -1;  // -1 when it was ended by a signal
    int signal = 0;
    long max_rss_kib = 0;   // its peak resident memory
    double answer_ms = -1;  // from the start until a whole frame had arrived; -1: none did
    double exit_ms = -1;    // from the start until it had exited
};

// Standard error is inherited. Standard input is closed after input has been written.
ChildResult run_child(const std::string& program, const std::vector<std::string>& args, const std::string& input);

// The length prefix of a native messaging frame followed by text.
std::string frame_text(const std::string& text);
// The text of the frame at the start of data; false when data is shorter than its prefix says.
bool unframe_text(const std::string& data, std::string& text);

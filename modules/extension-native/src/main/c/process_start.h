// What the host makes sure of before it reads its request or opens any file.
#pragma once

// Core dumps off (they would hold the PIN, tokens and the master key) and each closed standard
// descriptor (0, 1, 2) opened on the null device, so that no file opened later takes its number
// and receives the answer or the log lines.
void secure_process_start();

// What the host makes sure of before it reads its request or opens any file.
#pragma once

// Core dumps off (they would hold the PIN, tokens and the master key) and each closed standard
// descriptor (0, 1, 2) opened on the null device, so that no file opened later takes its number
// and receives the answer or the log lines.
void secure_process_start();

// One heap for all of the process's threads: a host runs one request with a handful of threads, and
// a heap of its own for the worker thread costs its start-up more than sharing saves later.
void configure_process_heap();

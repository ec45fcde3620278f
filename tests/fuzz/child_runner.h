// Runs start-up code that may end the program with exit() in a forked child, once per input.
#pragma once

#include <functional>

// The body runs in a child process with the harness linked with -Wl,--wrap=exit: its return
// value, or the status it hands to exit(), comes back as the result. The child's coverage
// counters are copied back, so the fuzzer sees what the code did as if it had run in-process.
// A child that dies any other way (a signal, a sanitizer report) or runs for more than ten
// seconds aborts the parent, which makes the fuzzer keep the input as a crash.
int run_in_child(const std::function<int()>& body);

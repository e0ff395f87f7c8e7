// How a host ended, in words a front-end can show: the host's own exit codes
// (as the README's table gives them), the signals that end a Linux process
// and the exceptions that end a Windows one.
#include "host_session.h"

#include <cstdio>

namespace kalmo::client {

const char *exit_code_meaning(int64_t code) {
    switch (code) {
    case 0: return "the game ended (QUIT or the core's request)";
    case 2: return "bad arguments: fewer than six paths, or a path that cannot be converted to UTF-8";
    case 3: return "the core library does not load";
    case 4: return "the core lacks a Libretro entry point";
    case 5: return "the core refused the content";
    default: return "not an exit code of the host (it crashed, or another program ran)";
    }
}

// Linux's numbering.
static const char *signal_name(int64_t signal) {
    switch (signal) {
    case 1: return "hangup";
    case 2: return "interrupt";
    case 3: return "quit";
    case 4: return "illegal instruction";
    case 6: return "aborted";
    case 7: return "bus error";
    case 8: return "floating-point exception";
    case 9: return "killed";
    case 11: return "segmentation fault";
    case 13: return "broken pipe";
    case 15: return "terminated";
    default: return "another signal";
    }
}

static const char *exception_name(int64_t code) {
    switch (uint32_t(code)) {
    case 0xC0000005u: return "access violation";
    case 0xC000001Du: return "illegal instruction";
    case 0xC0000094u: return "integer division by zero";
    case 0xC00000FDu: return "stack overflow";
    case 0xC0000409u: return "stack buffer overrun";
    case 0xC000013Au: return "Ctrl+C";
    case 0xC0000135u: return "a DLL was not found";
    default: return "another exception";
    }
}

std::string describe_end(const ProcessEnd &end) {
    char text[64];
    if (end.kind == ProcessEnd::kSignal) {
        snprintf(text, sizeof text, "ended by signal %lld", (long long)end.code);
        return std::string(text) + " (" + signal_name(end.code) + ")";
    }
    if (end.kind == ProcessEnd::kException) {
        snprintf(text, sizeof text, "ended by exception 0x%08llX", (unsigned long long)end.code);
        return std::string(text) + " (" + exception_name(end.code) + ")";
    }
    return "exit code " + std::to_string(end.code) + ": " + exit_code_meaning(end.code);
}

}  // namespace kalmo::client

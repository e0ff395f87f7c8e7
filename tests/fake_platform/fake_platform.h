// The fake platform behind the unit tests: scripted pipe input, partial and
// failing writes, a counter that only moves when told (or when the host
// sleeps), recorded Sleep calls, allocations that can be made to fail, and an
// exit that throws so a test can watch the host end.
#pragma once

#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

struct fake_exit {
    uint32_t code;
};

struct fake_write {
    platform_handle handle;
    uint32_t requested;
    uint32_t written;
};

struct fake_platform_state {
    // Handles the fake hands out.
    platform_handle input = (platform_handle)0x10;
    platform_handle output = (platform_handle)0x11;
    platform_handle error = (platform_handle)0x12;
    platform_handle null_device = (platform_handle)0x13;
    bool null_device_fails = false;
    platform_handle std_output_now = nullptr;
    std::vector<platform_handle> closed;

    // What reached each stream, and every write call made.
    std::string protocol;
    std::string diagnostics;
    std::string sink;  // bytes written to the NUL handle
    std::vector<fake_write> writes;
    uint32_t write_limit = 0;   // most bytes one write takes; 0 = no limit
    int failing_writes = 0;     // the next N writes fail
    int zero_writes = 0;        // the next N writes report 0 bytes

    // The command pipe: what is in it, how much one read delivers at most.
    std::string pipe;
    uint32_t read_limit = 0;  // 0 = no limit
    bool pipe_broken = false;
    int peek_calls = 0;
    int read_calls = 0;

    // Command line.
    std::vector<std::string> arguments;
    bool split_fails = false;
    int argument_vector_frees = 0;
    std::set<std::string> unconvertible;  // arguments whose conversion fails

    // Heap.
    int allocations = 0;
    int failing_allocations = 0;  // the next N allocations fail
    int frees = 0;
    std::vector<size_t> allocation_sizes;

    // Counter and sleep. With a tick, a sleep of N ms wakes at the first
    // tick boundary at or after N ms from now, as Windows' Sleep does; a
    // Sleep(0) only yields.
    int64_t frequency = 10000000;
    int64_t counter = 0;
    std::vector<uint32_t> sleeps;
    double sleep_tick_ms = 0;

    // Timer resolution requests ("request 1", "release 1"), each with the
    // number of protocol bytes written by then; a granted request makes the
    // sleep tick that many milliseconds.
    std::vector<std::pair<std::string, size_t>> timer_calls;
    bool timer_request_granted = true;

    // Libraries: never loaded by the fake.
    int libraries_freed = 0;

    std::vector<uint32_t> exits;
};

extern fake_platform_state fake;

// Fresh fake and fresh host state (running flag set, default rates, empty
// input and reader, zero counters), with the standard handles captured.
void reset_fake_host(void);
// Moves the fake counter by a number of milliseconds.
void advance_counter_ms(double milliseconds);

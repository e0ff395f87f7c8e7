// libFuzzer harness of the command reader, over the fake platform.
//
// An arbitrary byte stream is fed to poll_command_input three ways: cut into
// arbitrary arrivals and arbitrary short reads, all at once, and cut again
// with a line feed and QUIT after it. The lines executed must not depend on
// the cutting, must be exactly those a plain reading of the stream gives
// (every line of at most 8190 bytes before its line feed; longer ones are
// dropped whole), the buffer must never hold more than it can, and the QUIT
// after any garbage must always stop the host. The core's reset and keyboard
// callbacks may poll again from inside; such a nested poll must do nothing.
//
// Input: byte 0 the most bytes one read delivers (0: no limit), bytes 1 to 8
// the arrival sizes (cycled), byte 9 flags, the rest the stream. With flag 1,
// the stream bytes 0xFE n b stand for (n + 1) × 64 copies of b, so short
// inputs can hold lines longer than the buffer.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "fuzz_support.h"
#include "host/host_state.h"
#include "input/command_reader.h"
#include "input/input_state.h"

namespace {

const uint32_t longest_line = sizeof command_reader.line_buffer - 2;

struct observed_state {
    int32_t dx, dy, wheel, buttons, px, py, inside;
    uint32_t mouse_lines;
    int running;
};

std::string describe(const observed_state &s) {
    return std::to_string(s.dx) + "," + std::to_string(s.dy) + "," + std::to_string(s.wheel) + "," +
           std::to_string(s.buttons) + "," + std::to_string(s.px) + "," + std::to_string(s.py) + "," +
           std::to_string(s.inside) + " n=" + std::to_string(s.mouse_lines) + " run=" + std::to_string(s.running);
}

observed_state host_state_now() {
    return {input.pending_dx, input.pending_dy, input.pending_wheel, input.buttons, input.px,
            input.py,         input.inside,     command_reader.mouse_line_count, running};
}

// What one run of the host did, in the order it did it.
struct run_record {
    std::string effects;
    observed_state final_state;
    std::vector<uint8_t> key_state;
    std::string diagnostics;
    std::string unfinished;
    bool discarding;
};

std::string *effects_now;
bool nested_polls;

void check_reader_invariants() {
    FUZZ_CHECK(command_reader.line_fill <= sizeof command_reader.line_buffer - 1,
               std::to_string(command_reader.line_fill));
    FUZZ_CHECK(command_reader.line_buffer[command_reader.line_fill] == 0, "terminator after the held bytes");
}

void poll_again_from_inside() {
    if (!nested_polls) return;
    observed_state before = host_state_now();
    size_t pipe_before = fake.pipe.size();
    int peeks_before = fake.peek_calls;
    poll_command_input();
    FUZZ_CHECK(describe(host_state_now()) == describe(before), "nested poll executed something");
    FUZZ_CHECK(fake.pipe.size() == pipe_before && fake.peek_calls == peeks_before, "nested poll read the pipe");
}

void record_key(bool down, unsigned key, uint32_t character, uint16_t modifiers) {
    *effects_now += "K" + std::to_string(down) + " " + std::to_string(key) + " " + std::to_string(character) + " " +
                    std::to_string(modifiers) + " @ " + describe(host_state_now()) + "\n";
    poll_again_from_inside();
}

void record_reset() {
    *effects_now += "R @ " + describe(host_state_now()) + "\n";
    poll_again_from_inside();
}

void start_run(run_record &record) {
    reset_fake_host();
    keyboard_callback = record_key;
    core_reset = record_reset;
    effects_now = &record.effects;
}

void poll_once() {
    poll_command_input();
    check_reader_invariants();
    FUZZ_CHECK(!command_reader.busy, "reader left busy");
}

// Polls until the pipe is empty; every poll that finds bytes takes some.
void drain() {
    for (size_t guard = fake.pipe.size() + 2; !fake.pipe.empty(); guard--) {
        FUZZ_CHECK(guard > 0, "the reader stopped taking bytes");
        poll_once();
    }
}

void finish_run(run_record &record) {
    record.final_state = host_state_now();
    record.key_state.assign(input.key_state, input.key_state + sizeof input.key_state);
    record.diagnostics = fake.diagnostics;
    record.unfinished.assign(command_reader.line_buffer, command_reader.line_fill);
    record.discarding = command_reader.discarding;
}

run_record run_cut(const std::string &stream, const std::vector<size_t> &cuts, uint32_t read_limit) {
    run_record record;
    start_run(record);
    fake.read_limit = read_limit;
    // The reader rescans its held bytes on every poll and the fake pipe
    // moves its whole content on every read, so a long stream cut into
    // single bytes costs quadratic time. Bounding the polls and reads per
    // run to a few hundred keeps the fuzzer fast; short streams are still
    // cut and read byte by byte, long lines still cut anywhere.
    size_t smallest = stream.size() / 300;
    if (read_limit) read_limit = std::max<uint32_t>(read_limit, (uint32_t)(stream.size() / 16));
    size_t position = 0;
    for (size_t i = 0; position < stream.size(); i++) {
        size_t size = std::max(cuts[i % cuts.size()], smallest);
        fake.pipe.append(stream, position, size);
        position += size;
        poll_once();
    }
    drain();
    finish_run(record);
    return record;
}

run_record run_whole(const std::string &stream) {
    run_record record;
    start_run(record);
    fake.pipe = stream;
    drain();
    finish_run(record);
    return record;
}

// The plain reading of the stream, written apart from the host's code.
struct reference_reader {
    observed_state state{0, 0, 0, 0, 0, 0, 0, 0, 1};
    std::vector<uint8_t> key_state = std::vector<uint8_t>(65536, 0);
    std::string effects;

    static int32_t field(const std::string &line, size_t &at) {
        while (at < line.size() && line[at] == ' ') at++;
        bool negative = at < line.size() && line[at] == '-';
        if (negative) at++;
        uint32_t value = 0;
        while (at < line.size() && line[at] >= '0' && line[at] <= '9') value = value * 10u + (uint32_t)(line[at++] - '0');
        return (int32_t)(negative ? 0u - value : value);
    }

    static uint32_t add(int32_t a, int32_t b) { return (uint32_t)a + (uint32_t)b; }

    void mouse(const std::string &line) {
        size_t at = 2;
        int32_t f[7];
        for (int32_t &value : f) value = field(line, at);
        state.dx = (int32_t)add(state.dx, f[0]);
        state.dy = (int32_t)add(state.dy, f[1]);
        state.buttons = f[2];
        state.wheel = (int32_t)add(state.wheel, f[3]);
        state.px = f[4];
        state.py = f[5];
        state.inside = f[6] != 0;
        state.mouse_lines++;
    }

    void key(const std::string &line) {
        size_t at = 2;
        int32_t f[4];
        for (int32_t &value : f) value = field(line, at);
        if ((uint32_t)f[0] <= 65535) key_state[(uint32_t)f[0]] = f[1] != 0;
        effects += "K" + std::to_string(f[1] != 0) + " " + std::to_string((uint32_t)f[0]) + " " +
                   std::to_string((uint32_t)f[2]) + " " + std::to_string((uint16_t)f[3]) + " @ " + describe(state) +
                   "\n";
    }

    void execute(std::string line) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line = line.substr(0, line.find('\0'));
        if (line == "QUIT")
            state.running = 0;
        else if (line == "RESET")
            effects += "R @ " + describe(state) + "\n";
        else if (line.size() >= 2 && line[0] == 'M' && line[1] == ' ')
            mouse(line);
        else if (line.size() >= 2 && line[0] == 'K' && line[1] == ' ')
            key(line);
    }

    void read(const std::string &stream) {
        size_t start = 0;
        for (size_t end; (end = stream.find('\n', start)) != std::string::npos; start = end + 1)
            if (end - start <= longest_line) execute(stream.substr(start, end - start));
    }
};

std::string expanded(const std::string &bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size() && out.size() < 40000; i++) {
        if ((uint8_t)bytes[i] == 0xFE && i + 2 < bytes.size()) {
            out.append(((size_t)(uint8_t)bytes[i + 1] + 1) * 64, bytes[i + 2]);
            i += 2;
        } else {
            out += bytes[i];
        }
    }
    return out;
}

void check_same(const run_record &a, const run_record &b, const char *what) {
    FUZZ_CHECK(a.effects == b.effects, what);
    FUZZ_CHECK(describe(a.final_state) == describe(b.final_state), what);
    FUZZ_CHECK(a.key_state == b.key_state, what);
    FUZZ_CHECK(a.diagnostics == b.diagnostics, what);
    FUZZ_CHECK(a.unfinished == b.unfinished && a.discarding == b.discarding, what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 10) return 0;
    uint32_t read_limit = data[0];
    std::vector<size_t> cuts;
    for (int i = 1; i <= 8; i++) cuts.push_back(data[i] == 0 ? 8192 : (size_t)data[i] * (data[i] > 200 ? 31 : 1));
    uint8_t flags = data[9];
    nested_polls = flags & 2;
    std::string stream((const char *)data + 10, size - 10);
    if (flags & 1) stream = expanded(stream);

    run_record cut = run_cut(stream, cuts, read_limit);
    run_record whole = run_whole(stream);
    check_same(cut, whole, "cutting the stream changed what was executed");

    reference_reader reference;
    reference.read(stream);
    FUZZ_CHECK(cut.effects == reference.effects, "lines executed differ from the stream's lines");
    FUZZ_CHECK(describe(cut.final_state) == describe(reference.state), describe(reference.state));
    FUZZ_CHECK(cut.key_state == reference.key_state, "key table");

    run_record quit = run_cut(stream + "\nQUIT\n", cuts, read_limit);
    FUZZ_CHECK(quit.final_state.running == 0, "QUIT after garbage was lost");
    return 0;
}

// kalmo-test-parent.exe: a small Windows parent for running the host under
// Wine, where PeekNamedPipe only works on pipes a Windows process made.
//
//   kalmo-test-parent [--stdin SCRIPT] [--keep-stdin-open] [--timeout MS]
//                     STDOUT_FILE STDERR_FILE EXIT_CODE_FILE -- PROGRAM [ARGUMENT...]
//
// It starts PROGRAM with the arguments through kalmo-client's spawner (the
// command line quoted so that CommandLineToArgvW gives them back unchanged,
// three anonymous pipes, a job object), plays the input script on the
// child's standard input (the *.input format of tests/support/input_script.h,
// parsed by the same code as on Linux, so one script drives both builds
// alike), copies the child's standard output and standard error raw into the
// two files from two threads, and writes the child's exit code in decimal to
// the third file. The command input is closed when the script ends, or with
// --keep-stdin-open only once the child has exited. A child still running
// after the timeout (60 s by default) is terminated; the exit-code file then
// says "timeout". Built by mingw-w64, statically, so Wine needs no other DLL.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host_process.h"
#include "input_script.h"
#include "output_watch.h"

using kalmo::client::HostProcess;
using kalmo_test::OutputWatch;

namespace {

constexpr int kParentFailure = 126;
constexpr int kChildTimedOut = 125;

struct Options {
    std::wstring script_path;
    bool keep_stdin_open = false;
    DWORD timeout_ms = 60000;
    std::wstring stdout_path, stderr_path, exit_code_path;
    std::vector<std::wstring> child_arguments;
};

// Shared between the main thread and the standard-output reader.
struct OutputState {
    std::mutex lock;
    OutputWatch watch;
    bool finished = false;
};

void complain(const char *text) {
    DWORD written = 0;
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    WriteFile(error, text, lstrlenA(text), &written, nullptr);
    WriteFile(error, "\r\n", 2, &written, nullptr);
}

bool parse_options(int count, wchar_t **arguments, Options &options) {
    int i = 1;
    for (; i < count && arguments[i][0] == L'-' && arguments[i][1] == L'-' && arguments[i][2] != 0; i++) {
        std::wstring name = arguments[i];
        if (name == L"--keep-stdin-open") {
            options.keep_stdin_open = true;
        } else if (name == L"--stdin" && i + 1 < count) {
            options.script_path = arguments[++i];
        } else if (name == L"--timeout" && i + 1 < count) {
            options.timeout_ms = 0;
            for (const wchar_t *digit = arguments[++i]; *digit >= L'0' && *digit <= L'9'; digit++)
                options.timeout_ms = options.timeout_ms * 10 + DWORD(*digit - L'0');
        } else {
            return false;
        }
    }
    if (count - i < 5 || std::wstring(arguments[i + 3]) != L"--") return false;
    options.stdout_path = arguments[i];
    options.stderr_path = arguments[i + 1];
    options.exit_code_path = arguments[i + 2];
    options.child_arguments.assign(arguments + i + 4, arguments + count);
    return true;
}

bool read_whole_file(const std::wstring &path, std::string &bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    CloseHandle(file);
    return true;
}

HANDLE create_output_file(const std::wstring &path) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

bool write_bytes(HANDLE handle, const char *bytes, size_t count) {
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(handle, bytes, DWORD(count), &written, nullptr) || written == 0) return false;
        bytes += written;
        count -= written;
    }
    return true;
}

// Copies one of the child's streams into `file` until it ends; standard
// output also feeds the watch the script's waits look at.
void copy_stream_to_file(HostProcess &child, bool standard_output, HANDLE file, OutputState *output) {
    static thread_local char buffer[65536];
    for (;;) {
        size_t got = standard_output ? child.read_output(buffer, sizeof buffer)
                                     : child.read_diagnostics(buffer, sizeof buffer);
        if (got == 0) break;
        write_bytes(file, buffer, got);
        if (!output) continue;
        std::lock_guard<std::mutex> hold(output->lock);
        output->watch.feed(buffer, got);
    }
    if (!output) return;
    std::lock_guard<std::mutex> hold(output->lock);
    output->finished = true;
}

// Waits until the condition holds, the child's output has ended or the
// deadline has passed.
template <typename Condition>
void wait_for(OutputState &output, ULONGLONG deadline, Condition condition) {
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(output.lock);
            if (condition(output.watch) || output.finished) return;
        }
        if (GetTickCount64() >= deadline) return;
        Sleep(1);
    }
}

void play_script(const kalmo_test::InputScript &script, HostProcess &child, bool &input_open, OutputState &output,
                 ULONGLONG deadline) {
    using kalmo_test::InputStep;
    std::string pending;
    // A child that stopped reading is not an error of the parent.
    auto send_pending = [&] {
        if (input_open && !pending.empty() && !child.write_input(pending.data(), pending.size())) {
            child.close_input();
            input_open = false;
        }
        pending.clear();
    };
    for (const InputStep &step : script.steps()) {
        if (step.kind == InputStep::kSend) {
            pending += step.text;
            continue;
        }
        // Consecutive sends go out in one write, as the Linux runner does.
        send_pending();
        switch (step.kind) {
        case InputStep::kSend:
            break;
        case InputStep::kSleep:
            Sleep(DWORD(step.number));
            break;
        case InputStep::kWaitFrames:
            wait_for(output, deadline, [&](const OutputWatch &w) { return w.frames >= step.number; });
            break;
        case InputStep::kWaitStatus:
            wait_for(output, deadline, [&](const OutputWatch &w) { return w.saw_status(step.text); });
            break;
        case InputStep::kClose:
            if (input_open) child.close_input();
            input_open = false;
            break;
        }
    }
    send_pending();
}

std::string utf8(const std::wstring &wide) {
    return kalmo::client::utf16_to_utf8(std::u16string(wide.begin(), wide.end()));
}

int run(const Options &options) {
    std::string script_text, script_error;
    if (!options.script_path.empty() && !read_whole_file(options.script_path, script_text)) {
        complain("kalmo-test-parent: cannot read the input script");
        return kParentFailure;
    }
    kalmo_test::InputScript script = kalmo_test::InputScript::parse(script_text, script_error);
    if (!script_error.empty()) {
        complain(("kalmo-test-parent: input script " + script_error).c_str());
        return kParentFailure;
    }
    HANDLE stdout_file = create_output_file(options.stdout_path);
    HANDLE stderr_file = create_output_file(options.stderr_path);
    if (stdout_file == INVALID_HANDLE_VALUE || stderr_file == INVALID_HANDLE_VALUE) {
        complain("kalmo-test-parent: cannot create the output files");
        return kParentFailure;
    }

    std::vector<std::string> command;
    for (const std::wstring &argument : options.child_arguments) command.push_back(utf8(argument));
    std::string error;
    std::unique_ptr<HostProcess> child = HostProcess::start(command, error);
    if (!child) {
        complain(("kalmo-test-parent: " + error).c_str());
        return kParentFailure;
    }

    OutputState output;
    std::thread out_reader(copy_stream_to_file, std::ref(*child), true, stdout_file, &output);
    std::thread err_reader(copy_stream_to_file, std::ref(*child), false, stderr_file, nullptr);

    ULONGLONG deadline = GetTickCount64() + options.timeout_ms;
    bool input_open = true;
    play_script(script, *child, input_open, output, deadline);
    if (input_open && !options.keep_stdin_open) {
        child->close_input();
        input_open = false;
    }

    // The child is ended by force when the deadline passes first.
    std::mutex lock;
    std::condition_variable ended_changed;
    bool ended = false, timed_out = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> hold(lock);
        ULONGLONG now = GetTickCount64();
        auto left = std::chrono::milliseconds(now < deadline ? deadline - now : 0);
        if (ended_changed.wait_for(hold, left, [&] { return ended; })) return;
        timed_out = true;
        child->terminate();
    });
    kalmo::client::ProcessEnd end = child->wait();
    {
        std::lock_guard<std::mutex> hold(lock);
        ended = true;
    }
    ended_changed.notify_all();
    watchdog.join();
    if (input_open) child->close_input();
    out_reader.join();
    err_reader.join();

    DWORD code = DWORD(end.code);
    std::string code_text = timed_out ? "timeout" : std::to_string(code);
    HANDLE code_file = create_output_file(options.exit_code_path);
    write_bytes(code_file, code_text.data(), code_text.size());
    CloseHandle(code_file);
    CloseHandle(stdout_file);
    CloseHandle(stderr_file);
    return timed_out ? kChildTimedOut : int(code);
}

}  // namespace

int main() {
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    Options options;
    if (!arguments || !parse_options(count, arguments, options)) {
        complain("usage: kalmo-test-parent [--stdin SCRIPT] [--keep-stdin-open] [--timeout MS] "
                 "STDOUT_FILE STDERR_FILE EXIT_CODE_FILE -- PROGRAM [ARGUMENT...]");
        return kParentFailure;
    }
    return run(options);
}

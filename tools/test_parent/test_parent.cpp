// kalmo-test-parent.exe: a small Windows parent for running the host under
// Wine, where PeekNamedPipe only works on pipes a Windows process made.
//
//   kalmo-test-parent [--stdin SCRIPT] [--keep-stdin-open] [--timeout MS]
//                     STDOUT_FILE STDERR_FILE EXIT_CODE_FILE -- PROGRAM [ARGUMENT...]
//
// It starts PROGRAM with the arguments (quoted so that CommandLineToArgvW
// gives them back unchanged) on three anonymous pipes, plays the input
// script on the child's standard input (the *.input format of
// tests/support/input_script.h, parsed by the same code as on Linux, so one
// script drives both builds alike), copies the
// child's standard output and standard error raw into the two files from two
// threads, and writes the child's exit code in decimal to the third file.
// The command input is closed when the script ends, or with
// --keep-stdin-open only once the child has exited. A child still running
// after the timeout (60 s by default) is terminated; the exit-code file then
// says "timeout". Built by mingw-w64, statically, so Wine needs no other DLL.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "input_script.h"
#include "output_watch.h"

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
    CRITICAL_SECTION lock;
    OutputWatch watch;
    volatile LONG finished = 0;
};

struct Reader {
    HANDLE pipe = nullptr;
    HANDLE file = nullptr;
    OutputState *output = nullptr;  // only for standard output
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

// The inverse of CommandLineToArgvW for one argument: backslashes are
// literal except before a double quote, where they must be doubled.
void append_quoted(std::wstring &line, const std::wstring &argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

std::wstring build_command_line(const std::vector<std::wstring> &arguments) {
    std::wstring line;
    for (size_t i = 0; i < arguments.size(); i++) {
        if (i) line += L' ';
        append_quoted(line, arguments[i]);
    }
    return line;
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

DWORD WINAPI copy_pipe_to_file(void *parameter) {
    Reader *reader = static_cast<Reader *>(parameter);
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(reader->pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        write_bytes(reader->file, buffer, got);
        if (!reader->output) continue;
        EnterCriticalSection(&reader->output->lock);
        reader->output->watch.feed(buffer, got);
        LeaveCriticalSection(&reader->output->lock);
    }
    if (reader->output) InterlockedExchange(&reader->output->finished, 1);
    return 0;
}

// One pipe with the child's end inheritable and ours not. Its buffer is as
// roomy as a Linux pipe's, so a script's large write lands at once on both
// builds and the frame a command arrives in does not depend on the pipe size.
bool make_pipe(HANDLE &ours, HANDLE &childs, bool child_reads) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 1 << 20)) return false;
    ours = child_reads ? write_end : read_end;
    childs = child_reads ? read_end : write_end;
    SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
    return true;
}

// Waits until the condition holds, the child's output has ended or the
// deadline has passed.
template <typename Condition>
void wait_for(OutputState &output, ULONGLONG deadline, Condition condition) {
    for (;;) {
        EnterCriticalSection(&output.lock);
        bool met = condition(output.watch);
        LeaveCriticalSection(&output.lock);
        if (met || output.finished || GetTickCount64() >= deadline) return;
        Sleep(1);
    }
}

void play_script(const kalmo_test::InputScript &script, HANDLE &input, OutputState &output, ULONGLONG deadline) {
    using kalmo_test::InputStep;
    std::string pending;
    for (const InputStep &step : script.steps()) {
        if (step.kind == InputStep::kSend) {
            pending += step.text;
            continue;
        }
        // Consecutive sends go out in one write, as the Linux runner does.
        if (input && !pending.empty() && !write_bytes(input, pending.data(), pending.size())) {
            // A child that stopped reading is not an error of the parent.
            CloseHandle(input);
            input = nullptr;
        }
        pending.clear();
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
            if (input) CloseHandle(input);
            input = nullptr;
            break;
        }
    }
    if (input && !pending.empty() && !write_bytes(input, pending.data(), pending.size())) {
        CloseHandle(input);
        input = nullptr;
    }
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

    HANDLE input = nullptr, child_input = nullptr, output_pipe = nullptr, child_output = nullptr,
           error_pipe = nullptr, child_error = nullptr;
    if (!make_pipe(input, child_input, true) || !make_pipe(output_pipe, child_output, false) ||
        !make_pipe(error_pipe, child_error, false)) {
        complain("kalmo-test-parent: CreatePipe failed");
        return kParentFailure;
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_input;
    startup.hStdOutput = child_output;
    startup.hStdError = child_error;
    PROCESS_INFORMATION process = {};
    std::wstring command_line = build_command_line(options.child_arguments);
    if (!CreateProcessW(options.child_arguments[0].c_str(), &command_line[0], nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process)) {
        complain("kalmo-test-parent: CreateProcessW failed");
        return kParentFailure;
    }
    // Only the child may hold these ends, or its pipes never report the end.
    CloseHandle(child_input);
    CloseHandle(child_output);
    CloseHandle(child_error);
    CloseHandle(process.hThread);

    OutputState output;
    InitializeCriticalSection(&output.lock);
    Reader out_reader = {output_pipe, stdout_file, &output};
    Reader err_reader = {error_pipe, stderr_file, nullptr};
    HANDLE threads[2] = {CreateThread(nullptr, 0, copy_pipe_to_file, &out_reader, 0, nullptr),
                         CreateThread(nullptr, 0, copy_pipe_to_file, &err_reader, 0, nullptr)};

    ULONGLONG deadline = GetTickCount64() + options.timeout_ms;
    play_script(script, input, output, deadline);
    if (input && !options.keep_stdin_open) {
        CloseHandle(input);
        input = nullptr;
    }

    ULONGLONG now = GetTickCount64();
    DWORD left = now < deadline ? DWORD(deadline - now) : 0;
    bool timed_out = WaitForSingleObject(process.hProcess, left) == WAIT_TIMEOUT;
    if (timed_out) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    if (input) CloseHandle(input);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);

    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
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

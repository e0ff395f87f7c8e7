// Windows side of host_process.h: CreateProcessW on three anonymous pipes,
// the host inside a job object. Built into kalmo-client by mingw-w64.
//
// What the child may keep (the security-relevant choice of this file): only
// its three pipe ends, named in an explicit handle list, whatever else of
// ours happens to be inheritable; no console window of its own. The job
// object is set to kill everything in it when its last handle closes, and
// that handle is ours alone, so a parent that crashes or is killed never
// leaves a game running.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <mutex>

#include "host_process.h"

namespace kalmo::client {

struct HostProcess::Parts {
    HANDLE process = nullptr, job = nullptr;
    HANDLE input = nullptr, output = nullptr, diagnostics = nullptr;
    DWORD pid = 0;
    std::mutex lock;
    bool ended = false;
    bool terminating = false;
    ProcessEnd end;
};

namespace {

void close_handle(HANDLE &handle) {
    if (handle) CloseHandle(handle);
    handle = nullptr;
}

std::string system_message(DWORD code) {
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::u16string wide = text ? std::u16string(reinterpret_cast<char16_t *>(text)) : std::u16string();
    if (text) LocalFree(text);
    while (!wide.empty() && (wide.back() == u'\n' || wide.back() == u'\r' || wide.back() == u' ')) wide.pop_back();
    return utf16_to_utf8(wide) + " (error " + std::to_string(code) + ")";
}

// One pipe with the child's end inheritable and ours not. A megabyte of room,
// as on Linux, so a burst of commands or a frame lands at once.
bool make_pipe(HANDLE &ours, HANDLE &childs, bool child_reads) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 1 << 20)) return false;
    ours = child_reads ? write_end : read_end;
    childs = child_reads ? read_end : write_end;
    SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
    return true;
}

HANDLE make_job(std::string &error) {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job) {
        error = "cannot create the host's job object: " + system_message(GetLastError());
        return nullptr;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        error = "cannot set up the host's job object: " + system_message(GetLastError());
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

struct ChildEnds {
    HANDLE input = nullptr, output = nullptr, diagnostics = nullptr;
    ~ChildEnds() {
        close_handle(input);
        close_handle(output);
        close_handle(diagnostics);
    }
};

// CreateProcessW with only the three pipe ends inheritable, suspended until
// it sits in the job.
bool create_suspended(std::u16string &program, std::u16string &line, ChildEnds &ends, PROCESS_INFORMATION &process,
                      std::string &error) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::string storage(size, '\0');
    auto *attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
        error = "cannot prepare the host's handle list: " + system_message(GetLastError());
        return false;
    }
    HANDLE inherited[3] = {ends.input, ends.output, ends.diagnostics};
    bool listed = UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                            sizeof inherited, nullptr, nullptr);
    DWORD listed_error = GetLastError();
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = ends.input;
    startup.StartupInfo.hStdOutput = ends.output;
    startup.StartupInfo.hStdError = ends.diagnostics;
    startup.lpAttributeList = attributes;
    bool created = listed && CreateProcessW(reinterpret_cast<wchar_t *>(program.data()),
                                            reinterpret_cast<wchar_t *>(line.data()), nullptr, nullptr, TRUE,
                                            EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW | CREATE_SUSPENDED |
                                                CREATE_UNICODE_ENVIRONMENT,
                                            nullptr, nullptr, &startup.StartupInfo, &process);
    DWORD failure = listed ? GetLastError() : listed_error;
    DeleteProcThreadAttributeList(attributes);
    if (!created) {
        error = std::string(listed ? "cannot start the host: " : "cannot list the host's handles: ") +
                system_message(failure);
        return false;
    }
    return true;
}

}  // namespace

HostProcess::HostProcess(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}

HostProcess::~HostProcess() {
    terminate();
    wait();
    close_handle(parts_->input);
    close_handle(parts_->output);
    close_handle(parts_->diagnostics);
    close_handle(parts_->process);
    close_handle(parts_->job);
}

std::unique_ptr<HostProcess> HostProcess::start(const std::vector<std::string> &command, std::string &error) {
    if (command.empty() || command[0].empty()) {
        error = "no host program given";
        return nullptr;
    }
    std::vector<std::u16string> wide(command.size());
    for (size_t i = 0; i < command.size(); i++) {
        std::string why;
        if (!utf8_to_utf16(command[i], wide[i], why)) {
            error = "argument " + std::to_string(i) + " of the host's command line is " + why;
            return nullptr;
        }
    }
    DWORD attributes = GetFileAttributesW(reinterpret_cast<const wchar_t *>(wide[0].c_str()));
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = "cannot run the host " + command[0] + ": " +
                (attributes == INVALID_FILE_ATTRIBUTES ? system_message(GetLastError()) : "it is a folder");
        return nullptr;
    }
    auto parts = std::make_unique<Parts>();
    ChildEnds ends;
    if (!make_pipe(parts->input, ends.input, true) || !make_pipe(parts->output, ends.output, false) ||
        !make_pipe(parts->diagnostics, ends.diagnostics, false)) {
        error = "cannot create the host's pipes: " + system_message(GetLastError());
        close_handle(parts->input);
        close_handle(parts->output);
        close_handle(parts->diagnostics);
        return nullptr;
    }
    parts->job = make_job(error);
    std::u16string line = windows_command_line(wide);
    PROCESS_INFORMATION process = {};
    if (!parts->job || !create_suspended(wide[0], line, ends, process, error)) {
        close_handle(parts->input);
        close_handle(parts->output);
        close_handle(parts->diagnostics);
        close_handle(parts->job);
        return nullptr;
    }
    if (!AssignProcessToJobObject(parts->job, process.hProcess)) {
        error = "cannot put the host in its job object: " + system_message(GetLastError());
        TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        close_handle(parts->input);
        close_handle(parts->output);
        close_handle(parts->diagnostics);
        close_handle(parts->job);
        return nullptr;
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    parts->process = process.hProcess;
    parts->pid = process.dwProcessId;
    return std::unique_ptr<HostProcess>(new HostProcess(std::move(parts)));
}

static size_t read_some(HANDLE pipe, void *into, size_t room) {
    DWORD got = 0;
    DWORD ask = room > (1u << 30) ? (1u << 30) : DWORD(room);
    if (!ReadFile(pipe, into, ask, &got, nullptr)) return 0;
    return got;
}

size_t HostProcess::read_output(void *into, size_t room) { return read_some(parts_->output, into, room); }
size_t HostProcess::read_diagnostics(void *into, size_t room) { return read_some(parts_->diagnostics, into, room); }

bool HostProcess::write_input(const void *bytes, size_t count) {
    const char *next = static_cast<const char *>(bytes);
    while (count > 0) {
        DWORD written = 0;
        DWORD ask = count > (1u << 30) ? (1u << 30) : DWORD(count);
        if (!parts_->input || !WriteFile(parts_->input, next, ask, &written, nullptr) || written == 0) return false;
        next += written;
        count -= written;
    }
    return true;
}

void HostProcess::close_input() { close_handle(parts_->input); }

ProcessEnd HostProcess::wait() {
    if (!parts_->process) return parts_->end;
    WaitForSingleObject(parts_->process, INFINITE);
    std::lock_guard<std::mutex> hold(parts_->lock);
    if (parts_->ended) return parts_->end;
    DWORD code = 0;
    GetExitCodeProcess(parts_->process, &code);
    parts_->ended = true;
    // An unhandled exception ends a process with its NTSTATUS, all of which
    // have the two top bits set; no program exits with such a code itself.
    if (code >= 0xC0000000u) parts_->end = {ProcessEnd::kException, int64_t(code)};
    else parts_->end = {ProcessEnd::kCode, int64_t(code)};
    parts_->end.terminated = parts_->terminating && code == kTerminatedCode;
    return parts_->end;
}

void HostProcess::terminate() {
    std::lock_guard<std::mutex> hold(parts_->lock);
    if (!parts_->process || parts_->ended) return;
    parts_->terminating = true;
    // The whole job: whatever the host started goes with it.
    TerminateJobObject(parts_->job, kTerminatedCode);
}

void HostProcess::end_leftovers() {
    std::lock_guard<std::mutex> hold(parts_->lock);
    if (parts_->job) TerminateJobObject(parts_->job, kTerminatedCode);
}

int64_t HostProcess::pid() const {
    std::lock_guard<std::mutex> hold(parts_->lock);
    return parts_->ended ? 0 : parts_->pid;
}

}  // namespace kalmo::client

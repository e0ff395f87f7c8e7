// Windows layer: a thin pass-through to KERNEL32 and SHELL32 with the exact
// flags the host relies on. Built with mingw-w64 without the C runtime; the
// process starts in host_main.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>

#include "platform/platform.h"

platform_handle platform_get_process_heap(void) { return GetProcessHeap(); }

void *platform_heap_alloc(platform_handle heap, size_t size) { return HeapAlloc(heap, 0, size); }

void platform_heap_free(platform_handle heap, void *block) { HeapFree(heap, 0, block); }

// A C runtime loaded before us (SHELL32 brings msvcrt in) has already bound
// its fd 1 to the original standard output handle value, and SetStdHandle
// does not change that: a core printing through it would corrupt the packet
// stream. So the packets keep a duplicate, and the original value is closed
// so that the NUL device opened next takes its slot (Windows hands the
// freed value out again). If anything does not fit, keep the original; in
// particular when NUL cannot be opened, which would leave the freed value to
// whatever the process opens next.
static HANDLE open_null_for_writing(void) {
    return CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

static HANDLE keep_duplicate_of_output(HANDLE output) {
    HANDLE process = GetCurrentProcess();
    HANDLE duplicate = nullptr;
    if (output == nullptr || output == INVALID_HANDLE_VALUE || output == GetStdHandle(STD_ERROR_HANDLE) ||
        output == GetStdHandle(STD_INPUT_HANDLE))
        return output;
    HANDLE probe = open_null_for_writing();
    if (probe == nullptr || probe == INVALID_HANDLE_VALUE) return output;
    CloseHandle(probe);
    if (!DuplicateHandle(process, output, process, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS)) return output;
    CloseHandle(output);
    return duplicate;
}

platform_handle platform_get_std_handle(enum platform_std_stream stream) {
    if (stream == PLATFORM_STD_OUTPUT) return keep_duplicate_of_output(GetStdHandle(STD_OUTPUT_HANDLE));
    return GetStdHandle(stream == PLATFORM_STD_INPUT ? STD_INPUT_HANDLE : STD_ERROR_HANDLE);
}

platform_handle platform_open_null_device(void) { return open_null_for_writing(); }

void platform_set_std_output(platform_handle handle) { SetStdHandle(STD_OUTPUT_HANDLE, handle); }

void platform_close_handle(platform_handle handle) { CloseHandle(handle); }

platform_char **platform_split_command_line(int *count) {
    *count = 0;
    return CommandLineToArgvW(GetCommandLineW(), count);
}

void platform_free_argument_vector(platform_char **arguments) { LocalFree(arguments); }

int platform_to_utf8(const platform_char *text, char *out, int out_size) {
    return WideCharToMultiByte(CP_UTF8, 0, text, -1, out, out_size, nullptr, nullptr);
}

bool platform_write(platform_handle handle, const void *bytes, uint32_t count, uint32_t *written) {
    DWORD done = 0;
    BOOL ok = WriteFile(handle, bytes, count, &done, nullptr);
    *written = done;
    return ok != 0;
}

bool platform_read(platform_handle handle, void *bytes, uint32_t count, uint32_t *delivered) {
    DWORD done = 0;
    BOOL ok = ReadFile(handle, bytes, count, &done, nullptr);
    *delivered = done;
    return ok != 0;
}

bool platform_peek_pipe(platform_handle handle, uint32_t *available) {
    DWORD total = 0;
    BOOL ok = PeekNamedPipe(handle, nullptr, 0, nullptr, &total, nullptr);
    *available = total;
    return ok != 0;
}

platform_handle platform_open_file_for_reading(const platform_char *path) {
    // Shared like a POSIX open: another process writing the file must not make
    // the content unreadable here when it is readable on Linux.
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool platform_file_size(platform_handle file, uint64_t *size) {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(file, &value)) return false;
    *size = (uint64_t)value.QuadPart;
    return true;
}

platform_library platform_load_library(const platform_char *path) { return LoadLibraryW(path); }

void *platform_get_proc_address(platform_library library, const char *name) {
    return (void *)GetProcAddress((HMODULE)library, name);
}

void platform_free_library(platform_library library) { FreeLibrary((HMODULE)library); }

int64_t platform_counter_frequency(void) {
    LARGE_INTEGER value = {};
    QueryPerformanceFrequency(&value);
    return value.QuadPart;
}

int64_t platform_counter(void) {
    LARGE_INTEGER value = {};
    QueryPerformanceCounter(&value);
    return value.QuadPart;
}

void platform_sleep(uint32_t milliseconds) { Sleep(milliseconds); }

typedef UINT(WINAPI *timer_period_call)(UINT);
static HMODULE timer_library;
static timer_period_call end_timer_period;

bool platform_request_timer_resolution(uint32_t milliseconds) {
    HMODULE library = LoadLibraryW(L"winmm.dll");
    if (!library) return false;
    timer_period_call begin = (timer_period_call)(void *)GetProcAddress(library, "timeBeginPeriod");
    timer_period_call end = (timer_period_call)(void *)GetProcAddress(library, "timeEndPeriod");
    // TIMERR_NOERROR is 0; anything else means the period was not set.
    if (!begin || !end || begin(milliseconds) != 0) {
        FreeLibrary(library);
        return false;
    }
    timer_library = library;
    end_timer_period = end;
    return true;
}

void platform_release_timer_resolution(uint32_t milliseconds) {
    if (!timer_library) return;
    end_timer_period(milliseconds);
    FreeLibrary(timer_library);
    timer_library = nullptr;
    end_timer_period = nullptr;
}

void platform_exit_process(uint32_t code) {
    ExitProcess(code);
}

// The host's only door to the operating system.
//
// Each operation mirrors one Windows call the host makes and is documented by
// the meaning the host relies on. win32.cpp passes straight through to
// KERNEL32/SHELL32 with the exact flags; posix.cpp gives the same meaning on
// Linux; tests/fake_platform.cpp gives it on scripted data. A behaviour that
// differs between the three is a bug in a layer, never a branch in the host.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Text of the command line as the platform hands it over: UTF-16 on Windows,
// the bytes of argv elsewhere (already the path the OS understands).
#ifdef _WIN32
typedef wchar_t platform_char;
#define PLATFORM_TEXT(s) L##s
#else
typedef char platform_char;
#define PLATFORM_TEXT(s) s
#endif

typedef void *platform_handle;
typedef void *platform_library;

// Neither a null handle nor this value is usable (INVALID_HANDLE_VALUE).
#define PLATFORM_INVALID_HANDLE ((platform_handle)(intptr_t)-1)

enum platform_std_stream { PLATFORM_STD_INPUT, PLATFORM_STD_OUTPUT, PLATFORM_STD_ERROR };

// GetProcessHeap: the heap every host allocation comes from.
platform_handle platform_get_process_heap(void);
// HeapAlloc with flags 0: contents not zeroed; null when memory is short.
void *platform_heap_alloc(platform_handle heap, size_t size);
// HeapFree with flags 0.
void platform_heap_free(platform_handle heap, void *block);

// GetStdHandle. The standard output handle is a duplicate of the original
// (fd 1 on Linux), which is then given up so that the NUL device takes its
// place for everything else in the process, C runtimes loaded earlier too.
platform_handle platform_get_std_handle(enum platform_std_stream stream);
// CreateFileW("NUL", GENERIC_WRITE, shared read/write, OPEN_EXISTING):
// a sink for writes; PLATFORM_INVALID_HANDLE or null when it cannot be opened.
platform_handle platform_open_null_device(void);
// SetStdHandle(STD_OUTPUT_HANDLE, handle): what the process (and the core)
// writes to standard output from now on goes to this handle.
void platform_set_std_output(platform_handle handle);
// CloseHandle.
void platform_close_handle(platform_handle handle);

// GetCommandLineW + CommandLineToArgvW: the argument vector and its count
// (count set to 0 first); null when the command line cannot be split.
platform_char **platform_split_command_line(int *count);
// LocalFree of the argument vector.
void platform_free_argument_vector(platform_char **arguments);
// WideCharToMultiByte(CP_UTF8, 0, text, -1, out, out_size, null, null):
// with out_size 0, the UTF-8 size including the terminator; otherwise the
// number of bytes written, 0 on failure. On Linux the text is copied as is.
int platform_to_utf8(const platform_char *text, char *out, int out_size);

// WriteFile, synchronous: false on failure; *written says how much went out.
bool platform_write(platform_handle handle, const void *bytes, uint32_t count, uint32_t *written);
// ReadFile, synchronous: false on failure; *delivered 0 at end of input.
bool platform_read(platform_handle handle, void *bytes, uint32_t count, uint32_t *delivered);
// PeekNamedPipe(handle, no buffer, total available): number of bytes readable
// from the command input without blocking; false when the input is not a
// pipe or its writer has gone.
bool platform_peek_pipe(platform_handle handle, uint32_t *available);

// Opens a file for reading (CreateFileW, GENERIC_READ, OPEN_EXISTING);
// PLATFORM_INVALID_HANDLE when it cannot be opened.
platform_handle platform_open_file_for_reading(const platform_char *path);
// GetFileSizeEx: false when the size cannot be read.
bool platform_file_size(platform_handle file, uint64_t *size);

// LoadLibraryW: null when the library cannot be loaded.
platform_library platform_load_library(const platform_char *path);
// GetProcAddress: null when the library does not export the name.
void *platform_get_proc_address(platform_library library, const char *name);
// FreeLibrary.
void platform_free_library(platform_library library);

// QueryPerformanceFrequency: counter ticks per second.
int64_t platform_counter_frequency(void);
// QueryPerformanceCounter.
int64_t platform_counter(void);
// Sleep, whole milliseconds.
void platform_sleep(uint32_t milliseconds);
// timeBeginPeriod from winmm.dll, looked up at run time (LoadLibraryW,
// GetProcAddress) so the import table stays as it is: true when sleeps now
// wake at this resolution and a release is owed; false, with nothing to
// release, when winmm, its calls or the request are refused. Without it a
// Windows process sleeps in whole 15.6 ms ticks. Linux sleeps are
// fine-grained already: false there.
bool platform_request_timer_resolution(uint32_t milliseconds);
// timeEndPeriod with the same value, after a request that returned true.
void platform_release_timer_resolution(uint32_t milliseconds);

// ExitProcess.
[[noreturn]] void platform_exit_process(uint32_t code);

// The host's entry point: reads its command line from the platform, never returns.
extern "C" [[noreturn]] void host_main(void);

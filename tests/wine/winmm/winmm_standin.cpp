// A stand-in winmm.dll for the Wine tests (Windows build only): exports the
// two timer calls the host looks up at run time and appends one line per
// call ("timeBeginPeriod 1") to the file named by KALMO_WINMM_RECORD, so a
// test sees what the host asked for and in what order. Placed beside a copy
// of kalmo-host.exe and preferred to Wine's own by WINEDLLOVERRIDES=winmm=n.
// Lean, so windows.h does not declare the two calls with dllimport first.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>

namespace {

void record(const char *call, UINT period) {
    wchar_t path[MAX_PATH];
    if (!GetEnvironmentVariableW(L"KALMO_WINMM_RECORD", path, MAX_PATH)) return;
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    char line[64];
    int length = snprintf(line, sizeof line, "%s %u\n", call, period);
    DWORD written = 0;
    WriteFile(file, line, (DWORD)length, &written, nullptr);
    CloseHandle(file);
}

}  // namespace

extern "C" __declspec(dllexport) UINT WINAPI timeBeginPeriod(UINT period) {
    record("timeBeginPeriod", period);
    return 0;
}

extern "C" __declspec(dllexport) UINT WINAPI timeEndPeriod(UINT period) {
    record("timeEndPeriod", period);
    return 0;
}

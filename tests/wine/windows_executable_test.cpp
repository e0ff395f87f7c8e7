// The Windows build's kalmo-host.exe as a file: a console program that
// imports only KERNEL32 and SHELL32, and from them only the calls the host's
// platform layer makes, with no C runtime linked in or imported. The exe is
// stripped, so "its entry point is host_main" is checked by what a runtime's
// start-up code would leave behind: runtime DLL imports, a TLS directory
// for its callbacks, and its bulk. It also carries the release's version in
// a version resource, the one way to tell one build of the exe from another.
#include <gtest/gtest.h>
#include <stdio.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "build_runs.h"

namespace wine_parity {
namespace {

std::string command_output(const std::string &command) {
    std::string text;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return text;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
    pclose(pipe);
    return text;
}

std::string objdump_headers(const std::filesystem::path &exe) {
    return command_output("x86_64-w64-mingw32-objdump -p '" + exe.string() + "' 2>&1");
}

std::vector<std::string> all_matches(const std::string &text, const std::regex &pattern) {
    std::vector<std::string> found;
    for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it) found.push_back((*it)[1]);
    return found;
}

class WineWindowsExecutable : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(windows_host()))
            GTEST_SKIP() << "Wine test skipped: the Windows build is missing: no " << windows_host();
        headers_ = objdump_headers(windows_host());
        // The objdump comes with the compiler that built the exe, so it is there.
        ASSERT_NE(headers_.find("Import Tables"), std::string::npos)
            << "x86_64-w64-mingw32-objdump could not read " << windows_host() << ":\n" << headers_;
    }
    std::string headers_;
};

TEST_F(WineWindowsExecutable, ImportsOnlyKernel32AndShell32) {
    std::vector<std::string> dlls = all_matches(headers_, std::regex(R"(DLL Name: (\S+))"));
    EXPECT_EQ(std::set<std::string>(dlls.begin(), dlls.end()), (std::set<std::string>{"KERNEL32.dll", "SHELL32.dll"}));
    EXPECT_EQ(dlls.size(), 2u) << "a DLL is named twice in the import table";
}

TEST_F(WineWindowsExecutable, ImportsNoCallBeyondThePlatformLayer) {
    const std::set<std::string> platform_calls = {
        "GetStdHandle", "SetStdHandle", "CreateFileW", "WriteFile", "ReadFile", "PeekNamedPipe", "GetFileSizeEx",
        "GetProcessHeap", "HeapAlloc", "HeapFree", "GetCommandLineW", "LocalFree", "WideCharToMultiByte",
        "LoadLibraryW", "GetProcAddress", "FreeLibrary", "QueryPerformanceFrequency", "QueryPerformanceCounter",
        "Sleep", "CloseHandle", "ExitProcess", "CommandLineToArgvW", "DuplicateHandle", "GetCurrentProcess"};
    std::vector<std::string> imported = all_matches(headers_, std::regex(R"(\n\t[0-9a-f]+\t +\d+ +(\w+))"));
    ASSERT_FALSE(imported.empty()) << headers_;
    for (const std::string &name : imported) EXPECT_TRUE(platform_calls.count(name)) << "unexpected import " << name;
    // The process starts in the host's own code, which ends it itself.
    for (const char *needed : {"GetCommandLineW", "CommandLineToArgvW", "ExitProcess"})
        EXPECT_NE(std::find(imported.begin(), imported.end(), needed), imported.end()) << needed;
}

TEST_F(WineWindowsExecutable, IsAConsoleProgramWithoutAnyCRuntimeStartUp) {
    EXPECT_NE(headers_.find("(Windows CUI)"), std::string::npos) << "subsystem is not console";
    EXPECT_EQ(std::regex_search(headers_, std::regex("msvcr|ucrtbase|api-ms-win-crt|libgcc|libstdc", std::regex::icase)),
              false)
        << "a C runtime DLL is imported";
    std::smatch tls;
    ASSERT_TRUE(std::regex_search(headers_, tls, std::regex(R"(Entry 9 ([0-9a-f]+) ([0-9a-f]+) Thread Storage)")));
    EXPECT_EQ(std::stoull(tls[2], nullptr, 16), 0u) << "a TLS directory, as a C runtime's start-up leaves";
    std::smatch entry;
    ASSERT_TRUE(std::regex_search(headers_, entry, std::regex(R"(AddressOfEntryPoint\s+([0-9a-f]+))")));
    EXPECT_NE(std::stoull(entry[1], nullptr, 16), 0u) << "no entry point";
}

TEST_F(WineWindowsExecutable, StaysSmallBecauseNoRuntimeIsLinkedIn) {
    uintmax_t size = std::filesystem::file_size(windows_host());
    RecordProperty("kalmo_host_exe_bytes", std::to_string(size));
    std::cout << "kalmo-host.exe is " << size << " bytes\n";
    // A statically linked C runtime alone is well over this.
    EXPECT_LT(size, 64u * 1024u);
}

TEST_F(WineWindowsExecutable, CarriesTheReleaseVersionInItsVersionResource) {
    // windres reads the resources back out of the exe as resource script.
    std::string script = command_output("x86_64-w64-mingw32-windres -i '" + windows_host().string() + "' -O rc 2>&1");
    std::string version = KALMO_VERSION;
    std::string numbers = std::regex_replace(version, std::regex(R"(\.)"), ", ") + ", 0";
    EXPECT_NE(script.find("FILEVERSION " + numbers), std::string::npos) << script;
    EXPECT_NE(script.find("PRODUCTVERSION " + numbers), std::string::npos) << script;
    for (const char *field : {"FileVersion", "ProductVersion"})
        EXPECT_NE(script.find(std::string("VALUE \"") + field + "\", \"" + version + "\""), std::string::npos)
            << field << " is not " << version << ":\n" << script;
    EXPECT_NE(script.find(R"(VALUE "ProductName", "KALMO")"), std::string::npos) << script;
    EXPECT_NE(script.find(R"(VALUE "FileDescription", "KALMO native engine host")"), std::string::npos) << script;
    // The string block's language and code page, which Explorer looks up through Translation.
    EXPECT_NE(script.find(R"(VALUE "Translation", 0x409, 1200)"), std::string::npos) << script;
}

}  // namespace
}  // namespace wine_parity

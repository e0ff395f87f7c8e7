// Start-up and footprint. Start-up is the time from starting the process to
// reading its "running" status, with Debian's nestopia core and a small NES
// ROM written here, beside the minimal loader (load, init, load-game, then
// the same status packet). Runs alternate; the target is held to the fastest
// run of each, the one least slowed by the rest of the machine, and the
// medians are shown beside.
// Footprint: the Windows exe's size and imports, read from its PE headers,
// and the host's own memory: the peak resident size of host + core after 30
// frames, less that of the minimal loader after running the same core as
// many frames.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "bench.h"
#include "child_process.h"

namespace {

// 16 KiB of PRG (seen at $8000 and $C000): at $C000 "SEI; CLD; JMP $C002",
// an RTI at $C005 for the interrupts; then 8 KiB of blank CHR.
std::string small_nes_rom() {
    std::string rom(16 + 16384 + 8192, '\0');
    const uint8_t header[16] = {'N', 'E', 'S', 0x1A, 1, 1};
    memcpy(&rom[0], header, sizeof header);
    uint8_t *prg = (uint8_t *)&rom[16];
    memset(prg, 0xEA, 16384);
    const uint8_t code[] = {0x78, 0xD8, 0x4C, 0x02, 0xC0, 0x40};
    memcpy(prg, code, sizeof code);
    const uint8_t vectors[] = {0x05, 0xC0, 0x00, 0xC0, 0x05, 0xC0};  // NMI, reset, IRQ
    memcpy(prg + 0x3FFA, vectors, sizeof vectors);
    return rom;
}

// A child that has already ended does not read its input; a failed write
// only means that.
void send_quit(child_process &child) { child.send("QUIT\n"); }

// Reads until the status `state` arrives; false if the output ends first.
bool read_until_status(child_process &child, output_follower &output, const char *state, uint64_t video_packets = 0) {
    auto arrived = [&](const stream_counts &counts) {
        return counts.saw_status(state) && counts.video_packets >= video_packets;
    };
    return arrived(output.counts) || output.follow(child, arrived);
}

// Milliseconds from start to "running"; 0 when it never came.
double time_to_running(const std::vector<std::string> &command) {
    child_process child;
    if (!child.start(command)) return 0;
    output_follower output;
    bool running = read_until_status(child, output, "running");
    double ms = (double)(monotonic_ns() - child.started_ns) / 1e6;
    send_quit(child);
    output.drain(child);
    child.finish();
    return running ? ms : 0;
}

// The peak resident size of a living process, in KiB (VmHWM). Not the
// rusage of the ended child: a process started by vfork and exec carries
// over the peak of the parent it shared memory with.
long peak_resident_kib(pid_t pid) {
    std::string status = read_text_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0 : atol(status.c_str() + at + 6);
}

// Peak resident size once `state` has come and then `frames` video packets;
// then QUIT, which both the host and the loader take as the end.
long peak_after(const std::vector<std::string> &command, const char *state, uint64_t frames) {
    child_process child;
    if (!child.start(command)) return 0;
    output_follower output;
    long peak = read_until_status(child, output, state, frames) ? peak_resident_kib(child.pid()) : 0;
    send_quit(child);
    output.drain(child);
    child.finish();
    return peak;
}

void startup_against_loader(const scratch_folder &folder, const std::string &rom) {
    std::vector<std::string> host = host_command(programs().host, nestopia_core, rom, folder.path);
    std::vector<std::string> loader = {programs().loader, nestopia_core, rom, "0"};
    const int rounds = 15;
    std::vector<double> host_ms, loader_ms;
    for (int round = 0; round < rounds; round++) {
        if (round % 2) loader_ms.push_back(time_to_running(loader));
        host_ms.push_back(time_to_running(host));
        if (!(round % 2)) loader_ms.push_back(time_to_running(loader));
    }
    bool all_ran = std::count(host_ms.begin(), host_ms.end(), 0.0) == 0 &&
                   std::count(loader_ms.begin(), loader_ms.end(), 0.0) == 0;
    double host_best = *std::min_element(host_ms.begin(), host_ms.end());
    double loader_best = *std::min_element(loader_ms.begin(), loader_ms.end());
    double ratio = loader_best > 0 ? host_best / loader_best : 0;
    report("Start-up to \"running\" with nestopia and a 24 KiB NES ROM, %d alternating runs each:", rounds);
    report("  fastest: kalmo-host %.2f ms, minimal loader %.2f ms: %.2fx", host_best, loader_best, ratio);
    report("  median:  kalmo-host %.2f ms, minimal loader %.2f ms: %.2fx", median(host_ms), median(loader_ms),
           median(loader_ms) > 0 ? median(host_ms) / median(loader_ms) : 0);
    char figure[48];
    snprintf(figure, sizeof figure, "%.2fx loader", ratio);
    report_target("start-up to running (nestopia), fastest runs", figure, "<= 1.3x", all_ran && ratio <= 1.3);
}

void memory_against_loader(const scratch_folder &folder, const std::string &rom) {
    std::string orders = folder.file("memory.txt");
    write_text_file(orders, "width 640\nheight 480\nformat 1\nfps 60\nframes 100000\n");
    struct pairing {
        const char *name;
        std::string core, content;
    } pairs[] = {{"nestopia", nestopia_core, rom}, {"bench core 640x480", programs().bench_core, orders}};
    report("Peak resident memory after 30 frames (host + core vs minimal loader + the same core):");
    for (const pairing &p : pairs) {
        if (access(p.core.c_str(), R_OK) != 0) continue;
        long host = peak_after(host_command(programs().host, p.core, p.content, folder.path), "running", 30);
        long loader = peak_after({programs().loader, p.core, p.content, "30"}, "ran", 0);
        report("  %-20s kalmo-host %6ld KiB, minimal loader %6ld KiB: the host's own %+ld KiB", p.name, host, loader,
               host - loader);
    }
    struct stat host_file;
    if (stat(programs().host.c_str(), &host_file) == 0)
        report("  (the Linux kalmo-host file itself: %lld bytes)", (long long)host_file.st_size);
}

uint32_t read_u32(const std::string &bytes, size_t at) {
    if (at + 4 > bytes.size()) return 0;
    uint32_t value;
    memcpy(&value, bytes.data() + at, 4);
    return value;
}

uint16_t read_u16(const std::string &bytes, size_t at) {
    if (at + 2 > bytes.size()) return 0;
    uint16_t value;
    memcpy(&value, bytes.data() + at, 2);
    return value;
}

struct pe_section {
    std::string name;
    uint32_t file_size, memory_size;
};

std::vector<pe_section> pe_sections(const std::string &exe) {
    std::vector<pe_section> sections;
    size_t coff = read_u32(exe, 0x3C) + 4;
    size_t table = coff + 20 + read_u16(exe, coff + 16);
    for (uint16_t i = 0; i < read_u16(exe, coff + 2) && table + i * 40 + 40 <= exe.size(); i++) {
        size_t at = table + i * 40;
        sections.push_back({std::string(exe.c_str() + at, strnlen(exe.c_str() + at, 8)), read_u32(exe, at + 16),
                            read_u32(exe, at + 8)});
    }
    return sections;
}

// The import table of a PE32+ file: each DLL with the names it imports.
std::map<std::string, std::vector<std::string>> pe_imports(const std::string &exe) {
    std::map<std::string, std::vector<std::string>> imports;
    uint32_t pe = read_u32(exe, 0x3C);
    if (exe.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return imports;
    size_t coff = pe + 4, optional = coff + 20;
    uint16_t sections = read_u16(exe, coff + 2);
    size_t section_table = optional + read_u16(exe, coff + 16);
    auto file_offset = [&](uint32_t rva) -> size_t {
        for (uint16_t i = 0; i < sections; i++) {
            size_t s = section_table + i * 40;
            uint32_t address = read_u32(exe, s + 12), size = read_u32(exe, s + 16);
            if (rva >= address && rva < address + size) return read_u32(exe, s + 20) + (rva - address);
        }
        return std::string::npos;
    };
    auto text_at = [&](size_t at) { return at < exe.size() ? std::string(exe.c_str() + at) : std::string(); };
    if (read_u16(exe, optional) != 0x20B) return imports;
    size_t descriptor = file_offset(read_u32(exe, optional + 112 + 8));
    for (; descriptor != std::string::npos && read_u32(exe, descriptor + 12); descriptor += 20) {
        std::vector<std::string> &names = imports[text_at(file_offset(read_u32(exe, descriptor + 12)))];
        uint32_t thunks = read_u32(exe, descriptor) ? read_u32(exe, descriptor) : read_u32(exe, descriptor + 16);
        for (size_t at = file_offset(thunks); at != std::string::npos && at + 8 <= exe.size(); at += 8) {
            uint64_t thunk = (uint64_t)read_u32(exe, at) | (uint64_t)read_u32(exe, at + 4) << 32;
            if (!thunk) break;
            names.push_back(thunk >> 63 ? "#" + std::to_string(thunk & 0xffff)
                                        : text_at(file_offset((uint32_t)thunk) + 2));
        }
    }
    return imports;
}

void windows_executable() {
    if (programs().windows_host.empty()) {
        report("Windows exe: not built (no kalmo-host.exe in the Windows build folder)");
        return;
    }
    std::string exe = read_text_file(programs().windows_host);
    // Relative to the project, so the report names no folder of this machine.
    std::string shown = std::filesystem::path(programs().windows_host).lexically_relative(KALMO_PROJECT_DIR).string();
    report("Windows exe: %s, %zu bytes (%.2f KiB)", shown.c_str(), exe.size(), exe.size() / 1024.0);
    for (const pe_section &section : pe_sections(exe))
        report("  section %-8s %6u bytes in the file, %6u in memory", section.name.c_str(), section.file_size,
               section.memory_size);
    for (const auto &[dll, names] : pe_imports(exe)) {
        std::string list;
        for (const std::string &name : names) list += (list.empty() ? "" : ", ") + name;
        report("  imports from %s (%zu): %s", dll.c_str(), names.size(), list.c_str());
    }
    char figure[48];
    snprintf(figure, sizeof figure, "%zu bytes", exe.size());
    report_target("Windows exe size", figure, "<= 24576 bytes", exe.size() <= 24576);
}

}  // namespace

void run_startup_bench(const bench_options &) {
    scratch_folder folder;
    std::string rom = folder.file("loop.nes");
    write_text_file(rom, small_nes_rom());
    if (access(nestopia_core, R_OK) == 0) {
        startup_against_loader(folder, rom);
    } else {
        report("Start-up: %s is missing (make setup unpacks it from Debian's libretro-nestopia)", nestopia_core);
        report_target("start-up to running (nestopia)", "not run", "<= 1.3x", false);
    }
    memory_against_loader(folder, rom);
    windows_executable();
    report("%s", "");
}

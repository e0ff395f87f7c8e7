// The minimal loader: the floor for start-up and memory. It does only what
// any frontend must: load the core library, give it an environment callback
// (which accepts the pixel format, names the content's folder as the system
// and save directories, which cores such as nestopia cannot load without,
// and refuses everything else), retro_init, and retro_load_game with the
// content's bytes. Then it sends the same
// "running" status packet as the host, so the bench times both alike. With
// FRAMES above 0 it then runs that many frames with callbacks that do
// nothing, says so with a "ran" status packet and, like the host, keeps the
// game loaded until a line (QUIT) or the end of its standard input, so its
// peak memory can be read while it lives. Then it unloads and exits.
//
//   kalmo_minimal_loader CORE CONTENT FRAMES
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/libretro.h"

static char content_folder[4096] = ".";

static bool environment(unsigned command, void *data) {
    if (command == RETRO_ENVIRONMENT_GET_SYSTEM_DIRECTORY || command == RETRO_ENVIRONMENT_GET_SAVE_DIRECTORY) {
        *(const char **)data = content_folder;
        return true;
    }
    return command == RETRO_ENVIRONMENT_SET_PIXEL_FORMAT;
}
static void video(const void *, unsigned, unsigned, size_t) {}
static void audio(int16_t, int16_t) {}
static size_t audio_batch(const int16_t *, size_t frames) { return frames; }
static void input_poll(void) {}
static int16_t input_state(unsigned, unsigned, unsigned, unsigned) { return 0; }

template <typename Function> static Function entry(void *library, const char *name) {
    void *address = dlsym(library, name);
    if (!address) {
        fprintf(stderr, "missing %s\n", name);
        exit(4);
    }
    return (Function)address;
}

static void send_status(const char *text) {
    uint32_t length = (uint32_t)strlen(text);
    uint8_t header[9] = {'K', 'L', 'M', 'P', 3, (uint8_t)length, (uint8_t)(length >> 8), 0, 0};
    if (write(1, header, sizeof header) != sizeof header || write(1, text, length) != (ssize_t)length) exit(1);
}

static void *read_content(const char *path, size_t *size) {
    int file = open(path, O_RDONLY);
    struct stat info;
    if (file < 0 || fstat(file, &info) != 0) return nullptr;
    char *bytes = (char *)malloc((size_t)info.st_size + 1);
    size_t filled = 0;
    while (bytes && filled < (size_t)info.st_size) {
        ssize_t got = read(file, bytes + filled, (size_t)info.st_size - filled);
        if (got <= 0) break;
        filled += (size_t)got;
    }
    close(file);
    *size = filled;
    return bytes;
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s CORE CONTENT FRAMES\n", argv[0]);
        return 2;
    }
    const char *slash = strrchr(argv[2], '/');
    if (slash) snprintf(content_folder, sizeof content_folder, "%.*s", (int)(slash - argv[2]), argv[2]);
    void *core = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!core) return 3;
    size_t size = 0;
    void *content = read_content(argv[2], &size);

    entry<void (*)(retro_environment_t)>(core, "retro_set_environment")(environment);
    entry<void (*)(void)>(core, "retro_init")();
    retro_game_info game = {argv[2], content, size, nullptr};
    if (!entry<bool (*)(const retro_game_info *)>(core, "retro_load_game")(&game)) return 5;
    send_status("{\"state\":\"running\",\"message\":\"Moteur Libretro natif actif\"}");

    long frames = atol(argv[3]);
    if (frames > 0) {
        entry<void (*)(retro_video_refresh_t)>(core, "retro_set_video_refresh")(video);
        entry<void (*)(retro_audio_sample_t)>(core, "retro_set_audio_sample")(audio);
        entry<void (*)(retro_audio_sample_batch_t)>(core, "retro_set_audio_sample_batch")(audio_batch);
        entry<void (*)(retro_input_poll_t)>(core, "retro_set_input_poll")(input_poll);
        entry<void (*)(retro_input_state_t)>(core, "retro_set_input_state")(input_state);
        void (*run)(void) = entry<void (*)(void)>(core, "retro_run");
        for (long f = 0; f < frames; f++) run();
        send_status("{\"state\":\"ran\"}");
        char line;
        if (read(0, &line, 1) < 0) return 1;
    }
    entry<void (*)(void)>(core, "retro_unload_game")();
    entry<void (*)(void)>(core, "retro_deinit")();
    dlclose(core);
    free(content);
    return 0;
}

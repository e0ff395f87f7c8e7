// The run loop: one retro_run per frame, paced against the high-resolution
// counter. Each frame is due one period after the previous due time, so drift
// never accumulates; past half a second behind, the backlog is dropped.
// For the life of the loop the host asks for a 1 ms timer resolution, since a
// Windows process that does not ask sleeps in whole 15.6 ms ticks.
#include "host/run_loop.h"

#include "audio/audio_output.h"
#include "channel/packet.h"
#include "host/core_binding.h"
#include "host/game_bringup.h"
#include "host/host_state.h"
#include "host/startup.h"
#include "input/command_reader.h"

enum { TIMER_RESOLUTION_MS = 1 };

static void wait_for_due_time(double target, int64_t frequency) {
    double remaining = target - (double)platform_counter();
    if (remaining <= 0.0 || frequency <= 0) return;
    double remaining_ms = remaining * 1000.0 / (double)frequency;
    // Stop about a millisecond short: Sleep may oversleep, never undersleep.
    if (remaining_ms > 1.5) platform_sleep((uint32_t)(remaining_ms - 1.0));
}

void run_loop(void) {
    int64_t frequency = platform_counter_frequency();
    // Fixed before the first frame: a later rate change does not re-pace.
    double period = frame_rate > 1.0 ? (double)frequency / frame_rate : (double)frequency / 60.0;
    timer_resolution_held = platform_request_timer_resolution(TIMER_RESOLUTION_MS);
    double target = (double)platform_counter();
    while (running) {
        poll_command_input();
        if (!running) break;
        core_run();
        target += period;
        wait_for_due_time(target, frequency);
        double now = (double)platform_counter();
        if (now - target > (double)frequency * 0.5) target = now;
    }
}

void shut_down(void) {
    flush_gathered_audio();
    core_unload_game();
    core_deinit();
    release_content_data();
    platform_free_library(core_library);
    if (timer_resolution_held) platform_release_timer_resolution(TIMER_RESOLUTION_MS);
    timer_resolution_held = 0;
    send_status("{\"state\":\"stopped\",\"message\":\"Moteur arrete\"}");
    exit_with_cleanup(EXIT_STOPPED);
}

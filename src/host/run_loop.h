// The paced run loop and the orderly shutdown.
#pragma once

// Calls retro_run once per frame on an absolute schedule until the running
// flag is cleared; returns when the loop is left.
void run_loop(void);
// Flushes gathered audio, unloads and releases the core, gives back the timer
// resolution, sends "stopped", exits with code 0.
[[noreturn]] void shut_down(void);

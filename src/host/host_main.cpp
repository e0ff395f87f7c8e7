// The host's entry point: start-up, binding, bring-up, the run loop and the
// shutdown, in that order. Every failure exits from inside its own step.
#include "host/core_binding.h"
#include "host/game_bringup.h"
#include "host/run_loop.h"
#include "host/startup.h"

extern "C" void host_main(void) {
    start_up();
    core_entry_points entry = {};
    bind_core(&entry);
    bring_up_game(&entry);
    run_loop();
    shut_down();
}

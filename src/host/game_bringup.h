// Bring-up of the core and its game, up to the "running" message.
#pragma once

#include "host/core_binding.h"

// Ends the process with code 5 when the core refuses the content.
void bring_up_game(const core_entry_points *entry);
// Releases the content bytes read for a core that wants them in memory.
void release_content_data(void);

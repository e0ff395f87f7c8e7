// Core options: answered from a fixed table, declarations only reported.
#pragma once

#include "host/libretro.h"

// Fills `value` from the table; true when the key is known. Never null `query`.
bool answer_variable_query(retro_variable *query);
// Reports a declaration array (at most 256 entries) between bracket lines.
void report_declared_variables(const retro_variable *variables);
// One "VAR key=... value=..." line, cut at 500 bytes.
void report_variable(const char *key, const char *value);

// Fixed option answers chosen for the ScummVM core (mouse pointer, no
// hardware acceleration, 48000 Hz), given to every core alike. Nothing the
// core declares is stored; declarations and queries are only traced.
#include "core_services/core_options.h"

#include "channel/diagnostics.h"
#include "channel/text_builder.h"

struct option_answer {
    const char *key;
    const char *value;
};

static const option_answer option_answers[] = {
    {"scummvm_pointer_device", "mouse"},
    {"scummvm_mouse_speed", "0.9"},
    {"scummvm_mouse_fine_control_speed_reduction", "4"},
    {"scummvm_gamepad_cursor_speed", "1.0"},
    {"scummvm_gamepad_cursor_acceleration_time", "off"},
    {"scummvm_analog_response", "linear"},
    {"scummvm_analog_deadzone", "0"},
    {"scummvm_gamepad_cursor_only", "disabled"},
    {"scummvm_video_hw_acceleration", "disabled"},
    {"scummvm_framerate", "disabled"},
    {"scummvm_samplerate", "48000 Hz"},
};

static bool same_text(const char *a, const char *b) {
    while (*a && *a == *b) a++, b++;
    return *a == *b;
}

void report_variable(const char *key, const char *value) {
    char buffer[512];
    text_builder text;
    text_start(&text, buffer, sizeof buffer, 500);
    text_append_string(&text, "VAR key=");
    text_append_string(&text, key);
    text_append_string(&text, " value=");
    text_append_string(&text, value ? value : "<null>");
    write_diag_line(text_finish(&text));
}

bool answer_variable_query(retro_variable *query) {
    query->value = nullptr;
    if (query->key) {
        for (const option_answer &answer : option_answers) {
            if (same_text(query->key, answer.key)) {
                query->value = answer.value;
                break;
            }
        }
    }
    report_variable(query->key, query->value);
    return query->value != nullptr;
}

void report_declared_variables(const retro_variable *variables) {
    write_diag_line("CORE_VARIABLES_BEGIN");
    for (int i = 0; i < 256 && variables[i].key; i++) report_variable(variables[i].key, variables[i].value);
    write_diag_line("CORE_VARIABLES_END");
}

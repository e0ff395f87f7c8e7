// libFuzzer harness of the message builders, over the fake platform:
// send_error, send_stage, send_geometry, report_variable, and the "core" and
// "av" messages of game bring-up (reached through bring_up_game with a
// scripted core whose name, version, API version and geometry come from the
// input).
//
// Every status message must decode as a packet, stay within its builder's
// bound, be exactly the text the bounds give, and parse as one JSON object
// whose members read back what was passed in (see fuzz_support.h for how
// foreign control and high bytes are treated). A stage name is not escaped
// by design, so stage names from the input carry no quote or backslash, and
// JSON is only demanded when the name is short enough not to be cut.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "channel/status_messages.h"
#include "core_services/core_options.h"
#include "fake_platform.h"
#include "fuzz_support.h"
#include "host/core_binding.h"
#include "host/game_bringup.h"
#include "host/host_state.h"

namespace {

// The bounded copy rule, stated apart from the host's builder: a byte goes
// in while the text is shorter than the bound; an escaped pair goes in whole.
struct bounded_text {
    std::string text;
    size_t bound;
    void plain(const std::string &bytes) {
        for (char c : bytes) {
            if (text.size() >= bound) return;
            text += c;
        }
    }
    void escaped(const std::string &bytes) {
        for (char c : bytes) {
            if (text.size() >= bound) return;
            if (c == '"' || c == '\\') text += '\\';
            text += c;
        }
    }
};

// The bytes an escaped copy kept, unescaped: what a JSON reader gets back.
std::string kept_prefix(const std::string &bytes, size_t start, size_t bound) {
    std::string kept;
    size_t length = start;
    for (char c : bytes) {
        if (length >= bound) break;
        length += (c == '"' || c == '\\') ? 2 : 1;
        kept += c;
    }
    return kept;
}

std::string last_status() {
    std::vector<std::string> statuses = decoded_statuses(fake.protocol);
    FUZZ_CHECK(!statuses.empty(), "no status message");
    return statuses.back();
}

std::string fuzz_text(FuzzedDataProvider &in) {
    size_t length = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, 60) : in.ConsumeIntegralInRange<size_t>(0, 1100);
    return without_nul(in.ConsumeBytesAsString(length));
}

void check_error(FuzzedDataProvider &in) {
    std::string message = fuzz_text(in);
    send_error(message.c_str());
    std::string text = last_status();
    bounded_text expected{"{\"state\":\"error\",\"message\":\"", 480};
    expected.escaped(message);
    expected.text += "\"}";
    FUZZ_CHECK(text == expected.text && text.size() <= 483, text);
    nlohmann::ordered_json json = parsed_status(text);
    FUZZ_CHECK(json.size() == 2 && json["state"] == "error", text);
    FUZZ_CHECK(json["message"] == opaque_bytes_replaced(kept_prefix(message, 28, 480)), text);
}

const char *const stage_names[] = {"startup", "load-library", "bind-api", "system-info",
                                   "core-init", "input-device", "load-content"};

void check_stage(FuzzedDataProvider &in) {
    std::string stage;
    if (in.ConsumeBool()) {
        stage = stage_names[in.ConsumeIntegralInRange<size_t>(0, 6)];
    } else {
        stage = fuzz_text(in);
        for (char &c : stage)
            if (c == '"' || c == '\\') c = '_';
    }
    std::string message = fuzz_text(in);
    size_t diagnostics_before = fake.diagnostics.size();
    send_stage(stage.c_str(), message.c_str());
    std::string text = last_status();
    bounded_text expected{"{\"state\":\"stage\",\"stage\":\"", 500};
    expected.plain(stage);
    expected.plain("\",\"message\":\"");
    size_t before_message = expected.text.size();
    expected.escaped(message);
    expected.text += "\"}";
    FUZZ_CHECK(text == expected.text && text.size() <= 503, text);
    FUZZ_CHECK(fake.diagnostics.substr(diagnostics_before) == stage + "\r\n", stage);
    if (before_message >= 500) return;
    nlohmann::ordered_json json = parsed_status(text);
    FUZZ_CHECK(json.size() == 3 && json["state"] == "stage", text);
    FUZZ_CHECK(json["stage"] == opaque_bytes_replaced(stage), text);
    FUZZ_CHECK(json["message"] == opaque_bytes_replaced(kept_prefix(message, before_message, 500)), text);
}

void check_geometry_text(const std::string &text, const char *kind, uint32_t width, uint32_t height,
                         float aspect) {
    FUZZ_CHECK(text.size() < 256, text);
    nlohmann::ordered_json json = parsed_status(text);
    FUZZ_CHECK(json["state"] == kind && json["width"] == width && json["height"] == height, text);
    bool has_aspect = aspect > 0.01f;
    FUZZ_CHECK(json.contains("aspect") == has_aspect, text);
    FUZZ_CHECK(json.size() == (has_aspect ? 4u : 3u), text);
    if (!has_aspect) return;
    double shown = json["aspect"].get<double>();
    // Three decimals, rounded in single precision; beyond what 32 bits of
    // thousandths hold, the text is the largest value.
    if (std::isfinite(aspect) && aspect * 1000.0f + 0.5f < 4294967295.0f)
        FUZZ_CHECK(std::fabs(shown - (double)aspect) <= 0.0005 + (double)aspect * 1e-6, text);
    else
        FUZZ_CHECK(text.find("\"aspect\":4294967.295}") != std::string::npos, text);
}

void check_geometry(FuzzedDataProvider &in) {
    const char *kind = in.ConsumeBool() ? "av" : "geometry";
    uint32_t width = in.ConsumeIntegral<uint32_t>();
    uint32_t height = in.ConsumeIntegral<uint32_t>();
    uint32_t bits = in.ConsumeIntegral<uint32_t>();
    float aspect;
    std::memcpy(&aspect, &bits, sizeof aspect);
    if (in.ConsumeBool()) aspect = (float)in.ConsumeIntegralInRange(0, 40000) / 10000.0f;
    send_geometry(kind, width, height, aspect);
    check_geometry_text(last_status(), kind, width, height, aspect);
}

void check_variable_line(FuzzedDataProvider &in) {
    std::string key = fuzz_text(in), value = fuzz_text(in);
    bool null_key = in.ConsumeIntegralInRange(0, 5) == 0, null_value = in.ConsumeIntegralInRange(0, 5) == 0;
    size_t before = fake.diagnostics.size();
    report_variable(null_key ? nullptr : key.c_str(), null_value ? nullptr : value.c_str());
    std::string line = "VAR key=" + (null_key ? std::string() : key) + " value=" + (null_value ? "<null>" : value);
    FUZZ_CHECK(fake.diagnostics.substr(before) == line.substr(0, 500) + "\r\n", line);
}

// The scripted core behind bring_up_game.
struct scripted_core {
    std::string name, version;
    bool null_name, null_version;
    unsigned api;
    retro_game_geometry geometry;
} script;

void core_system_info(retro_system_info *info) {
    info->library_name = script.null_name ? nullptr : script.name.c_str();
    info->library_version = script.null_version ? nullptr : script.version.c_str();
    info->valid_extensions = "bin";
    info->need_fullpath = true;
}
unsigned core_api_version(void) { return script.api; }
void core_nothing(void) {}
void core_port(unsigned, unsigned) {}
uint8_t core_accepts(const retro_game_info *) { return 1; }
void core_av_info(retro_system_av_info *info) {
    info->geometry = script.geometry;
    info->timing = {60.0, 48000.0};
}

void check_bring_up(FuzzedDataProvider &in) {
    script.name = fuzz_text(in);
    script.version = fuzz_text(in);
    script.null_name = in.ConsumeIntegralInRange(0, 7) == 0;
    script.null_version = in.ConsumeIntegralInRange(0, 7) == 0;
    if (in.ConsumeIntegralInRange(0, 7) == 0) script.name = "ScummVM";
    script.api = in.ConsumeIntegral<unsigned>();
    script.geometry = {in.ConsumeIntegral<unsigned>(), in.ConsumeIntegral<unsigned>(), 0, 0,
                       (float)in.ConsumeIntegralInRange(0, 30000) / 10000.0f};
    core_entry_points entry = {core_port, core_nothing, core_nothing, core_api_version,
                               core_system_info, core_av_info, core_accepts};
    static char content[] = "/content.bin";
    content_path = content;
    fake.protocol.clear();
    bring_up_game(&entry);

    std::vector<std::string> statuses = decoded_statuses(fake.protocol);
    std::string core_text;
    for (const std::string &status : statuses) {
        if (status.rfind("{\"state\":\"core\"", 0) == 0) core_text = status;
        parsed_status(status);
    }
    FUZZ_CHECK(!core_text.empty() && core_text.size() <= 511, core_text);
    std::string name = script.null_name ? "Libretro" : script.name;
    std::string header = "{\"state\":\"core\",\"message\":\"";
    std::string message = kept_prefix(name, header.size(), 430);
    bounded_text escaped_name{"", SIZE_MAX};
    escaped_name.escaped(message);
    size_t length = header.size() + escaped_name.text.size();
    if (!script.null_version && !script.version.empty() && length < 450)
        message += ' ' + kept_prefix(script.version, length + 1, 450);
    message += " \xC2\xB7 API " + std::to_string(script.api);
    nlohmann::ordered_json json = parsed_status(core_text);
    FUZZ_CHECK(json.size() == 2 && json["message"] == opaque_bytes_replaced(message), core_text);
    check_geometry_text(statuses[statuses.size() - 2], "av", script.geometry.base_width,
                        script.geometry.base_height, script.geometry.aspect_ratio);
    FUZZ_CHECK(statuses.back() == "{\"state\":\"running\",\"message\":\"Moteur Libretro natif actif\"}",
               statuses.back());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    reset_fake_host();
    for (int steps = 0; steps < 16 && in.remaining_bytes() > 0; steps++) {
        switch (in.ConsumeIntegralInRange(0, 4)) {
        case 0: check_error(in); break;
        case 1: check_stage(in); break;
        case 2: check_geometry(in); break;
        case 3: check_variable_line(in); break;
        default: check_bring_up(in); break;
        }
    }
    return 0;
}

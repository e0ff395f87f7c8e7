// What the three libFuzzer harnesses share: a check that aborts with a
// message (libFuzzer then keeps the input that broke it), the status
// messages decoded from the fake protocol output, and the JSON reading of
// one status message.
//
// The host copies control characters and bytes of 0x80 and above into its
// status messages unchanged, and a strict JSON parser refuses both (raw
// control characters inside strings, invalid UTF-8). So before parsing, each
// such byte of the message is replaced by '?', one byte for one: the check is
// then exactly "the host's quoting and escaping make a well-formed object,
// whatever the foreign bytes are", and the expected texts the harnesses
// compare against are passed through the same replacement.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "stream_decoder.h"

#define FUZZ_CHECK(condition, what)                                                              \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #condition, \
                         std::string(what).c_str());                                             \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)

inline std::string opaque_bytes_replaced(const std::string &text) {
    std::string out = text;
    for (char &c : out)
        if ((unsigned char)c < 0x20 || (unsigned char)c >= 0x80) c = '?';
    return out;
}

// Every packet on the protocol output must decode; returns the status texts.
inline std::vector<std::string> decoded_statuses(const std::string &protocol) {
    kalmo::DecodedStream stream = kalmo::decode_stream(protocol);
    FUZZ_CHECK(stream.error.empty(), stream.error);
    return stream.statuses;
}

// Parses one status message after the replacement above; it must be one
// object whose first member is "state", with nothing around it.
inline nlohmann::ordered_json parsed_status(const std::string &text) {
    FUZZ_CHECK(text.rfind("{\"state\":\"", 0) == 0, text);
    nlohmann::ordered_json json = nlohmann::ordered_json::parse(opaque_bytes_replaced(text), nullptr, false);
    FUZZ_CHECK(!json.is_discarded() && json.is_object(), text);
    FUZZ_CHECK(!json.empty() && json.begin().key() == "state" && json.begin()->is_string(), text);
    return json;
}

// A NUL-terminated text for the host from fuzz bytes: what the host sees is
// the bytes before the first NUL, so none is kept inside.
inline std::string without_nul(std::string text) {
    for (char &c : text)
        if (c == 0) c = '0';
    return text;
}

// Keeps a tapped key down long enough for a core that polls key state to
// see it: a key released less than 50 ms after its press has its release
// sent 50 ms after the press instead. Times are milliseconds on any
// monotonic clock the caller chooses.
#pragma once

#include <cstdint>
#include <vector>

namespace kalmo {

class KeyHold {
public:
    static constexpr uint64_t kHoldMs = 50;
    struct Release {
        unsigned key = 0;
        uint16_t modifiers = 0;
        bool operator==(const Release &) const = default;
    };

    // A key went down (a repeat of a held key is not a press).
    void press(unsigned key, uint64_t now_ms);
    // A key came up: true when its release may be sent now, false when it
    // is kept until take_due() hands it out.
    bool release(unsigned key, uint16_t modifiers, uint64_t now_ms);
    // The kept releases whose time has come, oldest press first.
    std::vector<Release> take_due(uint64_t now_ms);

private:
    struct Held {
        unsigned key;
        uint64_t pressed_at;
        bool released;
        uint16_t modifiers;
    };
    std::vector<Held> held_;
};

}  // namespace kalmo

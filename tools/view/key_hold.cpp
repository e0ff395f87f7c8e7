// Short key presses held to the minimum the cores can see; see key_hold.h.
#include "key_hold.h"

#include <algorithm>

namespace kalmo {

void KeyHold::press(unsigned key, uint64_t now_ms) {
    // Pressed again before a kept release went out: the core still sees it
    // down, and the new press starts its own hold.
    std::erase_if(held_, [&](const Held &held) { return held.key == key; });
    held_.push_back(Held{key, now_ms, false, 0});
}

bool KeyHold::release(unsigned key, uint16_t modifiers, uint64_t now_ms) {
    auto found = std::find_if(held_.begin(), held_.end(), [&](const Held &held) { return held.key == key; });
    if (found == held_.end()) return true;
    if (now_ms >= found->pressed_at + kHoldMs) {
        held_.erase(found);
        return true;
    }
    found->released = true;
    found->modifiers = modifiers;
    return false;
}

std::vector<KeyHold::Release> KeyHold::take_due(uint64_t now_ms) {
    std::vector<Release> due;
    std::erase_if(held_, [&](const Held &held) {
        bool is_due = held.released && now_ms >= held.pressed_at + kHoldMs;
        if (is_due) due.push_back(Release{held.key, held.modifiers});
        return is_due;
    });
    return due;
}

}  // namespace kalmo

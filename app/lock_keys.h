// Caps, Num and Scroll Lock as the kernel's keyboard LEDs show them. Neither X11 nor Wayland tells
// a Qt program the lock state, but the input layer exports each keyboard's lock LEDs under
// /sys/class/leds (e.g. input3::capslock with a brightness file); a lock counts as on when any
// keyboard lights it. Where no such LED exists the state is unknown and the panes stay blank.
#pragma once

#include <filesystem>

namespace romlift {

struct LockKeys {
    bool caps = false;
    bool num = false;
    bool scroll = false;
    bool operator==(const LockKeys&) const = default;
};

// Reads the LEDs under `ledsFolder` (the sysfs class folder); a missing or unreadable folder or
// file counts as off. Never blocks: sysfs attributes answer at once.
LockKeys ReadLockKeys(const std::filesystem::path& ledsFolder = "/sys/class/leds");

}  // namespace romlift

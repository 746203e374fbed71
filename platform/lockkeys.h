// State of the keyboard's lock keys.
#pragma once

namespace platform {

struct LockKeys
{
    bool caps = false;
    bool num = false;
    bool scroll = false;
};

// The lock keys' state as the display reports it; all off where it cannot be read.
LockKeys lockKeyState();

} // namespace platform

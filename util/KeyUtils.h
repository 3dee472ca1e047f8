// IsKeyDown: is a key held (as of the input being handled).
#pragma once

// True when the front-end's key state for the virtual key has its 0x80 bit set.
bool IsKeyDown(int virtualKey);

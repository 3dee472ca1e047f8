#include "util/KeyUtils.h"

#include "platform/FrontEnd.h"

bool IsKeyDown(int virtualKey) {
  return (GetKeyState(virtualKey) & 0x80) != 0;
}

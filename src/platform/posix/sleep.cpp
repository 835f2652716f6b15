#include <chrono>
#include <thread>

#include "platform/win32.h"

void Sleep(DWORD milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Win32 backend of the pauses.
#include "common/os.hpp"

#include <windows.h>

void sleep_ms(unsigned ms) { Sleep(ms); }

// Win32 backend of the pauses.
#include "common/os.hpp"
#include "common/trace.hpp"

#include <windows.h>

void sleep_ms(unsigned ms)
{
    trace_pause(ms);
    Sleep(ms);
}

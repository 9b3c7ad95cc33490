// Web backend of the pauses: the browser's timer, which leaves the page
// responsive while the program waits (Asyncify unwinds to the event loop).
#include "common/os.hpp"
#include "common/trace.hpp"

#include <emscripten.h>

void sleep_ms(unsigned ms)
{
    trace_pause(ms);
    emscripten_sleep(ms);
}

// Pauses of the in-memory line (see link/serial_seam.hpp): they take no
// time, since nothing on the other end needs it and the fuzz targets would
// otherwise spend seconds per input in the 200, 1000 and 4000 ms pauses.
#include "common/os.hpp"

void sleep_ms(unsigned /*ms*/) {}

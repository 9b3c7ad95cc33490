#include "firmware/firmware.hpp"

#include <cstdio>

int firmware_update(const char* path)
{
    std::printf("Firmware-Update ist noch nicht eingebaut: %s\n", path);
    return 1;
}

int enter_bootloader() { return 0; }
int reboot() { return 0; }
int wait_boot() { return 0; }

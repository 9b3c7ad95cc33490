#include "common/globals.hpp"
#include "common/os.hpp"
#include "link/protocol.hpp"
#include "link/scan.hpp"
#include "link/serial.hpp"

#include <cstdio>

int test_con()
{
    set_timeout_profile(timeout_profile::command);
    for (int attempt = 0; attempt < 3; ++attempt) {
        send_cmd_buffer("501");
        // A line cut off by the time-out still counts if it parses.
        readline();
        int code = 0;
        char word[word_size];
        if (scan_line(linebuf, "%d %s", &code, word) != 2) {
            std::printf("Neuer Versuch.\n");
            continue;
        }
        if (code == 999 && word[0] == 'O' && word[1] == 'S') {
            // The version text starts at position 7 of the status line; a
            // '3' at position 15 marks a box of another make.
            std::printf("alte %s\n", linebuf + 7);
            if (linebuf[15] == '3') {
                std::printf("Fehler keine Halvoran Box!\n");
                return 0;
            }
        }
        sleep_ms(200);
        purge_receive();
        return 1;
    }
    std::printf("Es konnte keine Verbindung zur Box hergestellt werden!\n");
    return 0;
}

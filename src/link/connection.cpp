#include "common/globals.hpp"
#include "common/os.hpp"
#include "common/texts.hpp"
#include "link/protocol.hpp"
#include "link/scan.hpp"
#include "link/serial.hpp"

#include <cstdio>

namespace {

constexpr int loader_code = 998;

} // namespace

connection test_con()
{
    set_timeout_profile(timeout_profile::command);
    for (int attempt = 0; attempt < 3; ++attempt) {
        // A command that did not go out gets no answer, which the read tells.
        (void)send_cmd_buffer(cmd::status);
        // A line cut off by the time-out still counts if it parses.
        (void)readline();
        int code = 0;
        char word[word_size];
        if (scan_line(linebuf, "%d %s", &code, word) != 2) {
            std::printf(msg::retry);
            continue;
        }
        if (code == 999 && word[0] == 'O' && word[1] == 'S') {
            std::printf(msg::old_version, status_version());
            if (status_other_make()) {
                std::printf(msg::wrong_make);
                return connection::none;
            }
        }
        // The loader answers every request with its code: a box that is
        // still in it after a cut-off update. It has no version to show.
        const bool loader = code == loader_code;
        if (loader)
            std::printf(msg::in_loader);
        sleep_ms(200);
        purge_receive();
        return loader ? connection::loader : connection::system;
    }
    std::printf(msg::no_connection);
    return connection::none;
}

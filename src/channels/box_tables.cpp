#include "channels/box_tables.hpp"

#include "channels/block.hpp"
#include "common/globals.hpp"
#include "common/os.hpp"
#include "common/texts.hpp"
#include "common/trace.hpp"
#include "link/protocol.hpp"
#include "link/scan.hpp"
#include "link/serial.hpp"

#include <cstdio>

int ask_box(const char* command, char* answer)
{
    // A command that did not go out gets no answer, which the read tells.
    (void)send_cmd_buffer(command);
    return get_cmd_buffer(answer);
}

int query_info(int table, box_table* info)
{
    char command[request_capacity];
    std::snprintf(command, sizeof command, cmd::table_info, table);
    char line[linebuf_size];
    char word[word_size];
    int count = 0;
    std::uint32_t size = 0;
    if (!ask_box(command, line) ||
        scan_line(line, "%s %s %s %d H%x", word, word, word, &count, &size) != 5 || count < 0)
        return 0;
    info->count = static_cast<std::uint32_t>(count);
    info->size = size;
    return 1;
}

int query_split(std::uint32_t* tv_slots, std::uint32_t* radio_slots)
{
    char line[linebuf_size];
    char word[word_size];
    int tv = 0;
    int radio = 0;
    if (!ask_box(cmd::channel_split, line) ||
        scan_line(line, "%s %s %s %d %d", word, word, word, &tv, &radio) != 5 || tv < 0 ||
        radio < 0)
        return 0;
    *tv_slots = static_cast<std::uint32_t>(tv);
    *radio_slots = static_cast<std::uint32_t>(radio);
    return 1;
}

void format_request(char (&out)[request_capacity], int table, int op, long long first,
                    long long last)
{
    std::snprintf(out, sizeof out, cmd::table_range, table, op, first, last);
}

int request_read_block(int table, long long last, std::uint32_t size, std::uint32_t* length,
                       std::uint32_t* crc)
{
    char command[request_capacity];
    format_request(command, table, request_read, 0, last);
    char line[linebuf_size];
    char word[word_size];
    int number = 0;
    if (!ask_box(command, line) ||
        scan_line(line, "%s H%lx H%lx %d", word, length, crc, &number) != 4) {
        std::printf(msg::wrong_line);
        return 0;
    }
    if (*length != static_cast<std::uint64_t>(last + 1) * size) {
        std::printf(msg::block_length_wrong);
        return 0;
    }
    return 1;
}

int accept_block(std::uint32_t length, std::uint32_t announced, std::uint32_t computed)
{
    trace_block_crc("received", length, announced, computed);
    if (computed != announced)
        return 0;
    // An acknowledgement that did not go out leaves the box without one; the
    // next request's answer tells.
    (void)send_data_ok();
    return 1;
}

int receive_block(std::uint32_t length, std::uint32_t crc, chunk_taker take, void* context,
                  const char* refusal, const char* path)
{
    std::uint32_t received = 0;
    switch (receive_data(length, take, context, &received)) {
    case receive_result::ok:
        break;
    case receive_result::box_silent:
        return 0;
    case receive_result::write_failed:
        std::printf(refusal, path);
        return 0;
    }
    return accept_block(length, crc, received);
}

void open_table_transfer()
{
    // Whether "503 18" went out shows in the first query's answer.
    (void)send_cmd_buffer(cmd::tables_open);
    // The box's pause, unless the line is lost: then no box waits for it.
    if (serial_line_state() == line_state::ok)
        sleep_ms(1000);
    // Also throws away whatever the box answered to "503 18".
    purge_receive();
}

void close_table_transfer() { (void)send_cmd_buffer(cmd::tables_close); }

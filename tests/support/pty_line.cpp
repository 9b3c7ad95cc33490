#include "support/pty_line.hpp"

#include "link/serial.hpp"

void pty_line_test::SetUp()
{
    pty = open_pty();
    ASSERT_EQ(open_serial(pty.slave_path.c_str()), 1);
    set_timeout_profile(timeout_profile::command);
}

void pty_line_test::TearDown()
{
    close_serial();
    close_pty(pty);
}

// In-process tests of the program's line code: its serial port is opened on
// a pseudo-terminal under the command timeouts (as the connection check
// leaves them), and the test plays the box on the master side.
#pragma once

#include "support/harness.hpp"

#include <gtest/gtest.h>
#include <string>

class pty_line_test : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    void box_sends(const std::string& bytes) { write_all(pty.master, bytes); }

    pty_pair pty;
};

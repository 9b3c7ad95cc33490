// The trace of a run (HALVORAN_TRACE): running the program with it, and
// reading back from the trace and from the simulator's transcript what went
// over the line.
#pragma once

#include "support/harness.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

// run_program / run_windows_program with HALVORAN_TRACE set to trace.
run_result run_traced(const std::string& trace, const std::vector<std::string>& args,
                      const std::string& stdin_data = "", int timeout_ms = 60000,
                      const std::string& cwd = "");
run_result run_windows_traced(const std::string& trace, const std::vector<std::string>& args,
                              const std::string& stdin_data = "", int timeout_ms = 60000,
                              const std::string& cwd = "");

// The exchange on the line, in order: "> <command>" for every command and
// "< <answer>" for every answer line, both as raw bytes (unescaped), an
// answer without the line feed that ended it.
std::vector<std::string> trace_exchange(const std::string& trace);
std::vector<std::string> transcript_exchange(const std::string& transcript);

// The trace's lines whose event starts with tag, without their time stamps.
std::vector<std::string> trace_events(const std::string& trace, const std::string& tag);

// A block to the box: "<at> block sent length <length> began <began> clear
// <clear>", in milliseconds of the trace's clock.
struct block_sent {
    unsigned long long length = 0;
    long long at = 0, began = 0, clear = 0;
};
// Every such line, in order; a line that does not scan has length 0.
std::vector<block_sent> trace_blocks_sent(const std::string& trace);

// Every line is "<ms> <event>", the times never going back.
::testing::AssertionResult trace_well_formed(const std::string& trace);

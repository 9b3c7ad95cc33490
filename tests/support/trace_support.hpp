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
                              const std::string& cwd = "", const std::string& winedebug = "-all");

// Every call that makes a Windows program sleep, as wine's relay reports it:
// the registry keys (for wine_port_prefix) that limit the relay to Sleep,
// SleepEx and the system call under them, and the WINEDEBUG that turns it on
// with each line marked with its process. wine's own processes of the prefix
// write theirs to the same output.
extern const std::string sleep_relay_keys;
inline const std::string sleep_relay = "-all,+pid,+relay";
// The sleeps of the process in the output of such a run, in order: "Sleep
// <ms>" for each Sleep or SleepEx, "delay" for each NtDelayExecution that no
// Sleep made.
std::vector<std::string> relay_sleeps(const std::string& output, unsigned long process);
// The process of a run, from its trace's start line; 0 when there is none.
unsigned long trace_process(const std::string& trace);

// The "limit moved out" lines of a save's or a load's trace against what
// was written. Every one follows a write (a command or a block) and moves
// the profile's total out by no more than the line needs for every byte
// written so far. A block to the box that the line still carried for at
// least 50 ms when its "block sent" line was written is followed, before the
// next command, by a read whose limit was moved out to the moment the line
// is clear (the block's "clear", within the clock's rounding); blocks counts
// them.
::testing::AssertionResult limits_follow_the_line(const std::string& trace, int* blocks);

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

#include "support/trace_support.hpp"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Undoes \\, \r, \n and \xHH (the trace's escapes; the transcript uses
// \\ and \xHH only).
std::string unescape(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 'x' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
                 hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else
            out += c;
    }
    return out;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The event of a trace line: what follows "<ms> ".
std::string event_of(const std::string& line)
{
    auto space = line.find(' ');
    return space == std::string::npos ? "" : line.substr(space + 1);
}

run_result with_trace(const std::string& trace, const std::function<run_result()>& run)
{
    setenv("HALVORAN_TRACE", trace.c_str(), 1);
    run_result r = run();
    unsetenv("HALVORAN_TRACE");
    return r;
}

} // namespace

run_result run_traced(const std::string& trace, const std::vector<std::string>& args,
                      const std::string& stdin_data, int timeout_ms, const std::string& cwd)
{
    return with_trace(trace, [&] { return run_program(args, stdin_data, timeout_ms, cwd); });
}

run_result run_windows_traced(const std::string& trace, const std::vector<std::string>& args,
                              const std::string& stdin_data, int timeout_ms, const std::string& cwd,
                              const std::string& winedebug)
{
    return with_trace(
        trace, [&] { return run_windows_program(args, stdin_data, timeout_ms, cwd, winedebug); });
}

const std::string sleep_relay_keys =
    "[Software\\\\Wine\\\\Debug]\n"
    "\"RelayInclude\"=\"kernel32.Sleep;kernel32.SleepEx;kernelbase.Sleep;kernelbase.SleepEx;"
    "ntdll.NtDelayExecution\"\n";

std::vector<std::string> relay_sleeps(const std::string& output, unsigned long process)
{
    // "<process>:<thread>:Call KERNEL32.Sleep(000000c8) ret=...",
    // "<process>:<thread>:Ret  KERNEL32.Sleep() ..." and the system call
    // under it, "...:Call ntdll.NtDelayExecution(...)". A sleep inside another
    // on the same thread is part of it. A line may begin after program output
    // without a line end.
    static const std::regex call("([0-9a-f]{4,8}):([0-9a-f]+):(Call|Ret) "
                                 "+(kernel32|kernelbase|ntdll)\\.(Sleep|SleepEx|NtDelayExecution)"
                                 "\\(([0-9a-f]*)",
                                 std::regex::icase);
    std::vector<std::string> result;
    std::map<std::string, int> open_sleeps; // by thread
    for (const std::string& line : lines_of(output)) {
        std::smatch m;
        if (!std::regex_search(line, m, call) || std::stoul(m[1].str(), nullptr, 16) != process)
            continue;
        int& open = open_sleeps[m[2].str()];
        const bool is_delay = m[5].str() == "NtDelayExecution";
        if (m[3].str() == "Ret") {
            if (!is_delay && open > 0)
                --open;
            continue;
        }
        if (open == 0)
            result.push_back(is_delay
                                 ? "delay"
                                 : "Sleep " + std::to_string(std::stoul(m[6].str(), nullptr, 16)));
        if (!is_delay)
            ++open;
    }
    return result;
}

std::vector<std::string> trace_exchange(const std::string& trace)
{
    std::vector<std::string> result;
    for (const std::string& line : lines_of(trace)) {
        std::string event = event_of(line);
        if (event.rfind("> ", 0) == 0) {
            result.push_back("> " + unescape(event.substr(2)));
        } else if (event.rfind("< +", 0) == 0) {
            // "< +<ms> <answer>", the answer with its line feed when one came.
            std::string answer = event.substr(event.find(' ', 3) + 1);
            auto cut = answer.rfind(" (+");
            if (cut != std::string::npos && answer.back() == ')')
                answer.erase(cut);
            answer = unescape(answer);
            if (!answer.empty() && answer.back() == '\n')
                answer.pop_back();
            result.push_back("< " + answer);
        }
    }
    return result;
}

std::vector<std::string> transcript_exchange(const std::string& transcript)
{
    // Transcript lines "HH:MM:SS.mmm > command" and "HH:MM:SS.mmm < line".
    std::vector<std::string> result;
    for (const std::string& line : lines_of(transcript)) {
        if (line.size() < 15 || line[12] != ' ' || line[14] != ' ' ||
            (line[13] != '>' && line[13] != '<'))
            continue;
        result.push_back(line.substr(13, 2) + unescape(line.substr(15)));
    }
    return result;
}

std::vector<std::string> trace_events(const std::string& trace, const std::string& tag)
{
    std::vector<std::string> result;
    for (const std::string& line : lines_of(trace)) {
        std::string event = event_of(line);
        if (event.rfind(tag, 0) == 0)
            result.push_back(event);
    }
    return result;
}

std::vector<block_sent> trace_blocks_sent(const std::string& trace)
{
    std::vector<block_sent> result;
    for (const std::string& line : lines_of(trace)) {
        if (event_of(line).rfind("block sent ", 0) != 0)
            continue;
        block_sent b;
        if (std::sscanf(line.c_str(), "%lld block sent length %llu began %lld clear %lld", &b.at,
                        &b.length, &b.began, &b.clear) != 4)
            b.length = 0;
        result.push_back(b);
    }
    return result;
}

unsigned long trace_process(const std::string& trace)
{
    for (const std::string& event : trace_events(trace, "start ")) {
        auto at = event.find(" pid ");
        if (at != std::string::npos)
            return std::stoul(event.substr(at + 5));
    }
    return 0;
}

::testing::AssertionResult limits_follow_the_line(const std::string& trace, int* blocks)
{
    *blocks = 0;
    long long profile_total = -1;
    unsigned long long written = 0;
    bool wrote = false;                // something was written since the last read's line
    std::optional<block_sent> pending; // a busy block whose answer's read is due
    for (const std::string& line : lines_of(trace)) {
        const std::string event = event_of(line);
        long long at = std::strtoll(line.c_str(), nullptr, 10);
        long long total = 0, moved = 0;
        block_sent block;
        char name[32];
        if (std::sscanf(event.c_str(), "profile %31s total %lld", name, &total) == 2)
            profile_total = total;
        else if (event.rfind("profile ", 0) == 0)
            profile_total = -1; // "total none"
        if (event.rfind("> ", 0) == 0) {
            if (pending)
                return ::testing::AssertionFailure()
                       << "no moved limit after the block that was clear at " << pending->clear
                       << ", before: " << line;
            written += event.size() - 2 + 1; // the command and its line feed
            wrote = true;
        } else if (std::sscanf(line.c_str(), "%lld block sent length %llu began %lld clear %lld",
                               &block.at, &block.length, &block.began, &block.clear) == 4) {
            written += block.length;
            wrote = true;
            if (block.clear - block.at >= 50)
                pending = block;
        } else if (std::sscanf(event.c_str(), "limit moved out %lld ms total %lld", &moved,
                               &total) == 2) {
            const long long bound =
                static_cast<long long>((written * 10 * 1000 + 115199) / 115200) + 1;
            if (!wrote || moved <= 0 || moved > bound || profile_total < 0 ||
                total != profile_total + moved)
                return ::testing::AssertionFailure()
                       << line << " (written so far " << written << " bytes, profile total "
                       << profile_total << ")";
            if (pending) {
                if (at + moved < pending->clear - 2 || at + moved > pending->clear + 2)
                    return ::testing::AssertionFailure()
                           << line << " does not reach the block's clear " << pending->clear;
                ++*blocks;
                pending.reset();
            }
        } else if (event.rfind("< ", 0) == 0)
            wrote = false;
    }
    if (pending)
        return ::testing::AssertionFailure()
               << "no moved limit after the block that was clear at " << pending->clear;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult trace_well_formed(const std::string& trace)
{
    long long last = 0;
    for (const std::string& line : lines_of(trace)) {
        char* end = nullptr;
        long long ms = std::strtoll(line.c_str(), &end, 10);
        if (end == line.c_str() || *end != ' ' || line.empty() || line[0] < '0' || line[0] > '9')
            return ::testing::AssertionFailure() << "not a trace line: " << line;
        if (ms < last)
            return ::testing::AssertionFailure() << "time goes back: " << line;
        last = ms;
    }
    if (!trace.empty() && trace.back() != '\n')
        return ::testing::AssertionFailure() << "the last line has no line feed";
    return ::testing::AssertionSuccess();
}

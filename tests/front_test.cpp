// The real binary end to end: command line, endings, exit status and the
// connection check against the box simulator.
#include "support/harness.hpp"

#include <csignal>
#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

namespace {

const std::string banner = "Halvoran update 1.04\n";
const std::string usage = "Parameter fehlt!\n"
                          "halvoranupdate.exe <com> <Datei>\n"
                          "z.B. halvoranupdate.exe com1 firmware.zova\n"
                          "\nhalvoranupdate.exe com1 s Speichert die Senderliste auf den PC.\n"
                          "\nhalvoranupdate.exe com1 l Laedt die Senderliste auf die Box.\n"
                          "Weiter mit beliebiger Taste!\n";
const std::string prompt = "Weiter mit beliebiger Taste!\n";
const std::string silent_attempt = "Die Box antwortet nicht!\nNeuer Versuch.\n";
const std::string no_connection = "Es konnte keine Verbindung zur Box hergestellt werden!\n";

// A firmware path that does not exist: the job after the check fails at
// once, so these tests look only at the check.
const std::string no_image = "no-such-image.zova";

std::string echo(const std::string& dev, const std::string& second, const std::string& third = "")
{
    return "Parameter: " + dev + " " + second + " " + third + "\n\n";
}

TEST(command_line, too_few_arguments_print_the_usage_and_wait_for_a_key)
{
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"/dev/null"}}) {
        run_result r = run_program(args);
        EXPECT_EQ(r.out, banner + usage);
        EXPECT_EQ(r.exit_code, 0);
    }
}

// After a port that will not open: one line naming the cause, then one
// listing the serial ports of this computer (or saying there are none).
const std::string cause_missing =
    "Diesen Port gibt es nicht: Namen pruefen, ist der Adapter eingesteckt?\n";
const std::string cause_not_serial =
    "Das ist kein serieller Port: den Namen eines seriellen Ports angeben.\n";
const std::string cause_permission =
    "Keine Berechtigung fuer den Port: Benutzer in die Gruppe dialout aufnehmen "
    "(sudo usermod -aG dialout $USER) und neu anmelden.\n";
const std::string cause_busy = "Der Port ist belegt: ein anderes Programm oder ein anderer Lauf "
                               "von halvoranupdate hat ihn offen; erst beenden.\n";

// The output of a run whose port did not open, up to the listing, which is
// checked for its form and for what it must not name; the listing itself is
// cut out.
std::string without_port_list(const std::string& out)
{
    const std::regex list("\n(Vorhandene Ports: (/dev/[^ ,()]+( \\(/dev/serial/by-id/[^()]+\\))?)"
                          "(, /dev/[^ ,()]+( \\(/dev/serial/by-id/[^()]+\\))?)*(, \\.\\.\\.)?|"
                          "Keine seriellen Ports gefunden\\.)\n" +
                          prompt + "$");
    std::smatch found;
    if (!std::regex_search(out, found, list))
        return out + "[no well-formed port list]";
    // Pseudo-terminals (the simulator's, the test's) are no serial ports.
    if (found.str().find("/dev/pts/") != std::string::npos)
        return out + "[a pseudo-terminal was listed]";
    return out.substr(0, static_cast<std::size_t>(found.position()) + 1) + prompt;
}

TEST(command_line, a_port_that_cannot_be_opened_names_the_cause_and_the_ports)
{
    std::string dir = temp_dir();
    write_file(dir + "/file", "not a port");
    boxsim_process sim;
    struct {
        std::string port, cause;
        bool as_nobody;
    } cases[] = {
        {"/nonexistent/port", cause_missing, false},
        {dir + "/file", cause_not_serial, false},
        {dir, cause_not_serial, false},
        // An ordinary user may not open a terminal that belongs to root.
        {sim.device(), cause_permission, true},
    };
    for (const auto& c : cases) {
        run_result r;
        if (!c.as_nobody) {
            r = run_program({c.port, "s", "list.cxf", "ignored"});
        } else if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0) {
            r = run_command({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                             HALVORAN_BIN, c.port, "s", "list.cxf", "ignored"});
        } else {
            continue;
        }
        EXPECT_EQ(without_port_list(r.out), banner + echo(c.port, "s", "list.cxf") + "Kann " +
                                                c.port + " nicht oeffnen!\n" + c.cause + prompt);
        EXPECT_EQ(r.exit_code, 2);
    }
    // The refused user's attempt did not reach the box.
    EXPECT_TRUE(sim.commands().empty());
}

TEST(command_line, a_port_in_use_by_another_run_is_refused_at_once)
{
    boxsim_process sim({"--fault", "silent,501,*"});
    background_run first({HALVORAN_BIN, sim.device(), no_image});
    // Wait until the first run holds the port and asks for the status.
    sim.wait_for_command("501");
    run_result second = run_program({sim.device(), no_image});
    EXPECT_EQ(without_port_list(second.out), banner + echo(sim.device(), no_image) + "Kann " +
                                                 sim.device() + " nicht oeffnen!\n" + cause_busy +
                                                 prompt);
    EXPECT_EQ(second.exit_code, 2);
    EXPECT_LT(second.seconds, 1.0);
    EXPECT_EQ(first.wait().exit_code, 2);
}

TEST(command_line, the_interrupt_ends_the_run_with_status_1_and_sends_nothing_more)
{
    boxsim_process sim({"--fault", "silent,501,*"});
    background_run run({HALVORAN_BIN, sim.device(), "s"});
    sim.wait_for_command("501");
    run.signal(SIGINT);
    run_result r = run.wait(5000);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_LT(r.seconds, 1.5);
    EXPECT_EQ(r.out.find(prompt), std::string::npos);
    usleep(100000);
    EXPECT_EQ(sim.commands(), std::vector<std::string>{"501"});
}

TEST(connection_check, a_box_that_answers_prints_its_version)
{
    boxsim_process sim;
    run_result r = run_program({sim.device(), no_image});
    EXPECT_EQ(r.out.substr(0, r.out.find("failed to open")),
              banner + echo(sim.device(), no_image) + "alte 1.00 (2025-11-03)\n");
    EXPECT_EQ(sim.commands().at(0), "501");
}

TEST(connection_check, a_box_that_answers_only_in_the_third_attempt_is_accepted)
{
    boxsim_process sim({"--fault", "silent,501,2"});
    run_result r = run_program({sim.device(), no_image});
    EXPECT_EQ(r.out.substr(0, r.out.find("failed to open")), banner + echo(sim.device(), no_image) +
                                                                 silent_attempt + silent_attempt +
                                                                 "alte 1.00 (2025-11-03)\n");
    auto cmds = sim.commands();
    ASSERT_GE(cmds.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(cmds.begin(), cmds.begin() + 3),
              (std::vector<std::string>{"501", "501", "501"}));
}

TEST(connection_check, a_silent_box_gives_up_after_three_attempts)
{
    boxsim_process sim({"--fault", "silent,501,*"});
    run_result r = run_program({sim.device(), no_image});
    EXPECT_EQ(r.out, banner + echo(sim.device(), no_image) + silent_attempt + silent_attempt +
                         silent_attempt + no_connection + prompt);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_GT(r.seconds, 2.8);
    EXPECT_LT(r.seconds, 5.0);
}

TEST(connection_check, a_box_of_another_make_is_refused_after_its_version)
{
    // The ninth character of the version text is a 3.
    boxsim_process sim({"--version", "2.00 (3x3"});
    run_result r = run_program({sim.device(), no_image});
    EXPECT_EQ(r.out, banner + echo(sim.device(), no_image) + "alte 2.00 (3x3\n" +
                         "Fehler keine Halvoran Box!\n" + prompt);
    EXPECT_EQ(r.exit_code, 2);
}

TEST(connection_check, lines_that_do_not_parse_are_retried)
{
    // A code with no word, and a line that does not begin with a number.
    boxsim_process sim({"--fault", "reply,501,1,999", "--fault", "garbage,501,1"});
    run_result r = run_program({sim.device(), no_image});
    EXPECT_EQ(r.out.substr(0, r.out.find("failed to open")),
              banner + echo(sim.device(), no_image) + "Neuer Versuch.\nNeuer Versuch.\n" +
                  "alte 1.00 (2025-11-03)\n");
}

TEST(connection_check, other_answers_with_two_fields_are_accepted_without_a_version)
{
    boxsim_process sim({"--fault", "reply,501,1,998 LOADER"});
    run_result r = run_program({sim.device(), no_image});
    EXPECT_EQ(r.out.substr(0, r.out.find("failed to open")), banner + echo(sim.device(), no_image));
}

TEST(connection_check, short_and_cut_status_lines_are_judged_as_they_stand)
{
    {
        boxsim_process sim({"--fault", "reply,501,1,999 OS"});
        run_result r = run_program({sim.device(), no_image});
        EXPECT_EQ(r.out.substr(0, r.out.find("failed to open")),
                  banner + echo(sim.device(), no_image) + "alte \n");
    }
    {
        // The time-out ends the line; what came still counts.
        boxsim_process sim({"--fault", "cut,501,1"});
        run_result r = run_program({sim.device(), no_image});
        EXPECT_EQ(r.out.substr(0, r.out.find("failed to open")),
                  banner + echo(sim.device(), no_image) +
                      "Die Box antwortet nicht!\nalte 1.00 (2025-11-03)\n");
    }
}

TEST(connection_check, control_bytes_in_a_line_arrive_as_the_box_sent_them)
{
    // Ctrl-C, XON, XOFF and a CR inside the line: a line discipline that is
    // not raw would end the run, swallow bytes or split the line.
    boxsim_process sim({"--fault", "reply,501,1,999 OS a\\x03\\x11\\x13b\\rc"});
    run_result r = run_program({sim.device(), no_image});
    EXPECT_EQ(r.out.substr(0, r.out.find("failed to open")), banner + echo(sim.device(), no_image) +
                                                                 "alte a\x03\x11\x13"
                                                                 "bc\n");
}

} // namespace

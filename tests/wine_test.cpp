// The Windows program under wine, against the same simulated box as the
// Linux program: the same console output and the same commands on the line.
#include "support/harness.hpp"

#include <gtest/gtest.h>

namespace {

class windows_run : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (windows_exe().empty())
            GTEST_SKIP() << "no Windows build or no wine";
    }
};

TEST_F(windows_run, usage_path_matches_the_linux_program)
{
    run_result win = run_windows_program({});
    run_result lin = run_program({});
    EXPECT_EQ(win.exit_code, 0);
    EXPECT_EQ(unix_lines(win.out), lin.out);
}

TEST_F(windows_run, connection_check_matches_the_linux_program)
{
    const std::string image = "no-such-image.zova";
    boxsim_process win_box;
    map_com_port("com5", win_box.device());
    run_result win = run_windows_program({"com5", image});

    boxsim_process lin_box;
    run_result lin = run_program({lin_box.device(), image});

    auto expected = lin.out;
    auto pos = expected.find(lin_box.device());
    ASSERT_NE(pos, std::string::npos);
    expected.replace(pos, lin_box.device().size(), "com5");
    EXPECT_EQ(unix_lines(win.out), expected);
    EXPECT_EQ(win.exit_code, lin.exit_code);
    EXPECT_EQ(win_box.commands(), lin_box.commands());
    EXPECT_EQ(win_box.rx_bytes(), lin_box.rx_bytes());
}

TEST_F(windows_run, a_silent_box_times_out_like_on_linux)
{
    boxsim_process box({"--fault", "silent,501,*"});
    map_com_port("com6", box.device());
    run_result win = run_windows_program({"com6", "no-such-image.zova"});
    EXPECT_NE(unix_lines(win.out).find("Die Box antwortet nicht!\nNeuer Versuch.\n"
                                       "Die Box antwortet nicht!\nNeuer Versuch.\n"
                                       "Die Box antwortet nicht!\nNeuer Versuch.\n"
                                       "Es konnte keine Verbindung zur Box hergestellt werden!\n"),
              std::string::npos);
    EXPECT_EQ(win.exit_code, 2);
}

} // namespace

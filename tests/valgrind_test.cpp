// Each job end to end under valgrind's memcheck: the real program against
// the box simulator, with no memory error and no leak, and with the job's
// result checked as usual. Skipped where valgrind is not installed, and in
// the sanitizer build, whose binaries valgrind cannot run.
#include "support/harness.hpp"
#include "support/test_data.hpp"
#include "support/texts.hpp"

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define HALVORAN_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HALVORAN_SANITIZED 1
#endif
#endif

namespace {

std::string valgrind()
{
    for (const char* path : {"/usr/bin/valgrind", "/usr/local/bin/valgrind"})
        if (access(path, X_OK) == 0)
            return path;
    return "";
}

class memcheck : public ::testing::Test {
  protected:
    void SetUp() override
    {
#ifdef HALVORAN_SANITIZED
        GTEST_SKIP() << "the sanitizer build runs under its own checks";
#endif
        if (valgrind().empty())
            GTEST_SKIP() << "valgrind is not installed";
        dir = temp_dir();
    }

    // Runs the program under memcheck; its report goes to a file of its own,
    // so that the program's output stays as it is.
    run_result run(const std::vector<std::string>& args)
    {
        log = dir + "/memcheck.log";
        std::vector<std::string> argv{valgrind(),
                                      "--tool=memcheck",
                                      "--error-exitcode=99",
                                      "--leak-check=full",
                                      "--show-leak-kinds=definite,indirect,possible",
                                      "--errors-for-leak-kinds=definite,indirect,possible",
                                      "--track-fds=no",
                                      "--log-file=" + log,
                                      HALVORAN_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_command(argv, "x", 120000);
    }

    void expect_clean()
    {
        const std::string report = read_file(log);
        EXPECT_NE(report.find("ERROR SUMMARY: 0 errors from 0 contexts"), std::string::npos)
            << report;
    }

    std::string dir, log;
};

// 20 satellites of 40 bytes, 100 transponders of 10, 400 channels of 32,
// 200 favourites of 2, behind the 128-byte header.
constexpr std::size_t default_list_size = 128 + 800 + 1000 + 12800 + 400;

TEST_F(memcheck, firmware_update)
{
    std::string image(1000, '\0');
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 13);
    image.replace(0, 20, std::string("010  ZOVA2.01 (2030)", 20));
    write_file(dir + "/image.zova", image);
    boxsim_process box({"--boot-ms", "50"});

    run_result r = run({box.device(), dir + "/image.zova"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find(msg::new_version("2.01 (2030)")), std::string::npos) << r.out;
    expect_clean();
    box.stop();
    EXPECT_EQ(read_file(box.state_dir() + "/image.bin"), image);
}

TEST_F(memcheck, channel_list_save)
{
    boxsim_process box;
    const std::string path = dir + "/senderl.cxf";
    run_result r = run({box.device(), "s", path});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    expect_clean();
    const std::string saved = read_file(path);
    EXPECT_EQ(saved.size(), default_list_size);
    EXPECT_EQ(saved.substr(0, 4), "CXF2");
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"memcheck.log", "senderl.cxf"}));
}

TEST_F(memcheck, channel_list_load)
{
    // A list saved from one box (without valgrind) goes into another.
    boxsim_process source({"--seed", "7"});
    const std::string path = dir + "/senderl.cxf";
    ASSERT_EQ(run_program({source.device(), "s", path}, "", 30000).exit_code, 0);
    source.stop();

    boxsim_process box;
    run_result r = run({box.device(), "l", path});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    expect_clean();
    box.stop();
    for (const char* table : box_tables)
        EXPECT_EQ(stored_table(box, table), stored_table(source, table)) << table;
}

} // namespace

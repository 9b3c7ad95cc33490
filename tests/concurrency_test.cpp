// Load and concurrency: eight simulated boxes serviced at the same time by
// eight runs of the real program with mixed jobs, each of which must end as
// if it had the machine to itself; and while they run, a second run on each
// of their ports is refused at once without disturbing the first. Each box
// holds its run's output (a hold fault) once the job has begun, until its
// second run has been refused: the first run still holds the port then,
// however fast or slow the machine.
#include "channels/cxf_file.hpp"
#include "support/harness.hpp"
#include "support/test_data.hpp"
#include "support/texts.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

using strings = std::vector<std::string>;

enum class job { save, load, firmware };

struct station {
    job kind;
    std::unique_ptr<boxsim_process> box;
    std::string path;
    std::string content; // the list to load or the image; for a save the older list
    list_file list;
    std::string version;
    std::string release; // the file whose appearance lets the held run go on
    std::unique_ptr<background_run> run;
};

TEST(concurrency, eight_boxes_serviced_at_once_all_end_with_the_right_files_and_boxes)
{
    const std::string dir = temp_dir();
    const job plan[8] = {job::save, job::load,     job::firmware, job::save,
                         job::load, job::firmware, job::save,     job::load};
    std::vector<station> stations(8);
    for (int i = 0; i < 8; ++i) {
        station& s = stations[i];
        s.kind = plan[i];
        const std::string n = std::to_string(i);
        // Each box has contents of its own, so that no run can pass with
        // another box's tables. The box answers the job's first command,
        // then holds the run's next write.
        s.release = dir + "/release" + n;
        const std::string held = s.kind == job::firmware ? cmd::loader : cmd::open_transfer;
        s.box = std::make_unique<boxsim_process>(strings{
            "--seed", std::to_string(11 + i), "--fault", "hold," + held + ",1," + s.release});
        if (s.kind == job::save) {
            s.path = dir + "/saved" + n + ".cxf";
            s.content = "CXF2 an older list " + n;
        } else if (s.kind == job::load) {
            s.path = dir + "/load" + n + ".cxf";
            s.list = default_list(40 + static_cast<unsigned>(i) * 7);
            s.content = s.list.bytes;
        } else {
            s.path = dir + "/update" + n + ".zova";
            s.version = "2.19 b" + n;
            s.content = make_image(9000 + static_cast<std::size_t>(i) * 100, s.version);
        }
        write_file(s.path, s.content);
    }

    for (station& s : stations) {
        strings argv{HALVORAN_BIN, s.box->device()};
        if (s.kind == job::save)
            argv.insert(argv.end(), {"s", s.path});
        else if (s.kind == job::load)
            argv.insert(argv.end(), {"l", s.path});
        else
            argv.push_back(s.path);
        s.run = std::make_unique<background_run>(argv);
    }

    // While each run holds its port and works on its job, a second run on
    // the same port is refused at once and sends the box nothing.
    for (station& s : stations) {
        SCOPED_TRACE(s.box->device());
        ASSERT_TRUE(
            s.box->wait_for_command(s.kind == job::firmware ? cmd::loader : cmd::open_transfer));
        run_result second = run_program({s.box->device(), "s", dir + "/intruder.cxf"}, "", 10000);
        EXPECT_EQ(second.exit_code, 2);
        EXPECT_NE(second.out.find(msg::cannot_open(s.box->device())), std::string::npos)
            << second.out;
        EXPECT_LT(second.seconds, 1.0);
        write_file(s.release, "");
    }

    for (station& s : stations) {
        SCOPED_TRACE(s.path);
        run_result r = s.run->wait(60000);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 0) << r.out;
        EXPECT_EQ(r.out.find(msg::silent), std::string::npos) << r.out;
        strings cmds = s.box->commands();
        // One connection check: the refused runs never reached the box.
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), cmd::status), 1);
        s.box->stop();

        if (s.kind == job::save) {
            std::string body;
            for (const std::string& table : stored_tables(*s.box))
                body += table;
            const std::string file = read_file(s.path);
            ASSERT_EQ(file.size(), cxf_header_size + body.size());
            EXPECT_EQ(file.substr(0, 4), "CXF2");
            EXPECT_EQ(file.substr(cxf_header_size), body);
        } else if (s.kind == job::load) {
            EXPECT_EQ(stored_tables(*s.box), s.list.tables());
            EXPECT_EQ(read_file(s.path), s.content);
        } else {
            EXPECT_EQ(read_file(s.box->state_dir() + "/image.bin"), s.content);
            EXPECT_NE(r.out.find(msg::new_version(s.version)), std::string::npos) << r.out;
        }
    }
    EXPECT_FALSE(file_exists(dir + "/intruder.cxf"));
    // Only the files of the runs and the releases: no temporary file is left
    // behind.
    EXPECT_EQ(list_dir(dir).size(), 16u);
}

} // namespace

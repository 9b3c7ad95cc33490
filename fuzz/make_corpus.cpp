// Records the seed corpora of the fuzz targets: runs the real program's jobs
// against the box simulator and turns the simulator's transcripts and the
// files the saves left into inputs. Run by hand when the protocol changes:
//   cmake --build --preset default --target make_corpus
//   build/default/fuzz/make_corpus fuzz/corpus
// It writes its own seeds by name and leaves any other file in the folders,
// such as the inputs of past findings.
#include "seed_box.hpp"
#include "support/harness.hpp"

#include "box_text.hpp"
#include "channels/cxf_file.hpp"

#include <array>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using strings = std::vector<std::string>;

fs::path corpus;

void require(bool ok, const std::string& what)
{
    if (!ok)
        throw std::runtime_error(what);
}

void put(const std::string& target, const std::string& name, const std::string& bytes)
{
    write_file((corpus / target / name).string(), bytes);
}

// The lines the box sent, unescaped, each with its line feed, without the
// answer to "503 18": in the in-memory line the purge after it drops
// nothing, so that answer is not part of what the program reads.
strings box_lines(const std::string& transcript)
{
    strings lines;
    std::istringstream in(transcript);
    std::string line;
    while (std::getline(in, line)) {
        // "HH:MM:SS.mmm < text"
        if (line.size() < 15 || line.compare(12, 3, " < ") != 0)
            continue;
        auto text = boxsim::unescape_bytes(line.substr(15));
        require(text.has_value(), "transcript line not unescaped: " + line);
        if (*text == "503 OK")
            continue;
        lines.push_back(*text + "\n");
    }
    require(!lines.empty(), "the box sent nothing");
    return lines;
}

std::string joined(const strings& lines)
{
    std::string all;
    for (const auto& l : lines)
        all += l;
    return all;
}

// The save's box stream: every block follows its description line
// "<word> H<len> H<crc> <n>" as the leading byte and the block, whose bytes
// the saved file holds one section after the other from its header on.
std::string save_stream(const strings& lines, const std::string& saved)
{
    std::string stream;
    std::size_t next = 128;
    for (const auto& l : lines) {
        stream += l;
        const std::string text = l.substr(0, l.size() - 1);
        auto words = boxsim::split_words(text);
        if (words.size() == 4 && words[0] == "DATA") {
            auto length = boxsim::parse_h_hex(words[1]);
            require(length.has_value() && next + *length <= saved.size(), "block past the file");
            stream += ' ';
            stream += saved.substr(next, *length);
            next += *length;
        }
    }
    require(next == saved.size(), "the saved file has bytes no block carried");
    return stream;
}

struct recorded {
    std::string transcript;
    std::string file; // the saved file, for a save
};

recorded run_job(const strings& sim_args, const std::string& job, const std::string& file,
                 const std::string& file_bytes = "")
{
    std::string dir = temp_dir();
    std::string path = dir + "/" + file;
    if (!file_bytes.empty())
        write_file(path, file_bytes);
    boxsim_process sim(sim_args);
    run_result r = run_program({sim.device(), job, path}, "", 30000);
    std::printf("%s %s: exit %d\n", job.c_str(), file.c_str(), r.exit_code);
    recorded rec{sim.transcript(), ""};
    if (job == "s" && r.exit_code == 0)
        rec.file = read_file(path);
    return rec;
}

const strings small_box = {"--sat",      std::to_string(seed_box::sat_count),
                           "--tp",       std::to_string(seed_box::tp_count),
                           "--tv",       std::to_string(seed_box::tv_count),
                           "--radio",    std::to_string(seed_box::radio_count),
                           "--fav",      std::to_string(seed_box::fav_count),
                           "--fav-size", std::to_string(seed_box::fav_size)};

strings with(strings a, const strings& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The verify's box stream: the lines the box sent, each read block behind
// its description line as the leading byte and the block. Every read of
// the verify starts at slot 0, so a block is the start of the table's
// stored records in the state folder.
std::string verify_stream(const std::string& transcript, const std::string& state)
{
    const char* tables[] = {"channels", "transponders", "satellites", "favourites"};
    std::string stream;
    std::string stored;
    std::istringstream in(transcript);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 15)
            continue;
        auto text = boxsim::unescape_bytes(line.substr(15));
        require(text.has_value(), "transcript line not unescaped: " + line);
        if (line.compare(12, 3, " > ") == 0) {
            auto words = boxsim::split_words(*text);
            if (words.size() == 5 && words[0] == "500" && words[2] == "2" && words[1].size() == 1 &&
                words[1][0] >= '0' && words[1][0] <= '3')
                stored = read_file(state + "/" + tables[words[1][0] - '0'] + ".bin");
            continue;
        }
        if (line.compare(12, 3, " < ") != 0 || *text == "503 OK")
            continue;
        stream += *text + "\n";
        auto words = boxsim::split_words(*text);
        if (words.size() == 4 && words[0] == "DATA") {
            auto length = boxsim::parse_h_hex(words[1]);
            require(length.has_value() && *length <= stored.size(), "block past the table");
            stream += ' ';
            stream += stored.substr(0, *length);
        }
    }
    require(!stream.empty(), "the box sent nothing");
    return stream;
}

// The load_stream target's list (load_stream.cpp), byte for byte.
std::string seed_list()
{
    using namespace seed_box;
    std::array<unsigned char, 128> header;
    build_file_header(header, sat_count, 40, tp_count, 10, tv_count, radio_count, 32, fav_count,
                      local_time{2025, 12, 1, 12, 0});
    std::string list(header.begin(), header.end());
    for (std::size_t i = 0; i < list_record_bytes; ++i)
        list += static_cast<char>(list_record_byte(i));
    return list;
}

// Verifies of the target's list against the small box: one the list was
// loaded into first (every table the same), a fresh one (every table
// differs) and one whose channel block has a wrong CRC. Each seed starts
// with the target's job byte 'v'.
void record_verifies()
{
    struct verify_case {
        const char* name;
        strings args;
        bool load_first;
    };
    const verify_case cases[] = {
        {"verify_same", small_box, true},
        {"verify_differs", small_box, false},
        {"verify_badcrc", with(small_box, {"--fault", "badcrc,500 0 2"}), false},
    };
    for (const auto& c : cases) {
        std::string dir = temp_dir();
        std::string path = dir + "/list.cxf";
        write_file(path, seed_list());
        boxsim_process sim(c.args);
        if (c.load_first)
            require(run_program({sim.device(), "l", path}, "", 30000).exit_code == 0,
                    "load before the verify failed");
        const std::size_t before = sim.transcript().size();
        run_result r = run_program({sim.device(), "v", path}, "", 30000);
        std::printf("v %s: exit %d\n", c.name, r.exit_code);
        std::string transcript = sim.transcript().substr(before);
        sim.stop();
        put("load_stream", c.name, "v" + verify_stream(transcript, sim.state_dir()));
    }
}

void record_all()
{
    for (const char* target :
         {"response_lines", "channel_file", "firmware_image", "save_stream", "load_stream"}) {
        fs::create_directories(corpus / target);
    }

    // Saves: the seed box, the older layout, a box without favourites, and
    // the seed box with carriage returns in its lines.
    struct save_case {
        const char* name;
        strings args;
    };
    const save_case saves[] = {
        {"small", small_box},
        {"older", {"--chan-size", "52", "--sat", "2", "--tp", "3", "--tv", "2", "--radio", "2"}},
        {"nofav", {"--fav", "0", "--sat", "2", "--tp", "4", "--tv", "3", "--radio", "1"}},
        {"crlf", with(small_box, {"--fault", "crlf,500 2 1", "--fault", "crin,500 1 1"})},
    };
    std::string small_list;
    for (const auto& c : saves) {
        recorded rec = run_job(c.args, "s", std::string(c.name) + ".cxf");
        require(!rec.file.empty(), std::string("save failed: ") + c.name);
        strings lines = box_lines(rec.transcript);
        put("save_stream", c.name, save_stream(lines, rec.file));
        put("response_lines", std::string("save_") + c.name, "1" + joined(lines));
        if (std::string(c.name) != "crlf")
            put("channel_file", c.name, rec.file);
        if (std::string(c.name) == "small")
            small_list = rec.file;
    }

    // Loads of the seed box's list: accepted, a block refused, the store
    // refused.
    const save_case loads[] = {
        {"small", small_box},
        {"reject", with(small_box, {"--fault", "reject,500 1 3"})},
        {"storefail", with(small_box, {"--fault", "storefail,500 0 4"})},
    };
    for (const auto& c : loads) {
        recorded rec = run_job(c.args, "l", "list.cxf", small_list);
        strings lines = box_lines(rec.transcript);
        put("load_stream", c.name, "l" + joined(lines));
        put("response_lines", std::string("load_") + c.name, "1" + joined(lines));
    }

    record_verifies();

    // A firmware update: the image, and the loader's and the new system's
    // lines after the status line of the connection check.
    std::string image = "010  ZOVA1.01 (2025)\0";
    image.resize(20, '\0');
    for (int i = 0; i < 300; ++i)
        image += static_cast<char>(i * 7);
    {
        std::string dir = temp_dir();
        write_file(dir + "/image.zova", image);
        boxsim_process sim({"--boot-ms", "50"});
        run_result r = run_program({sim.device(), dir + "/image.zova"}, "x", 30000);
        std::printf("firmware: exit %d\n", r.exit_code);
        require(r.exit_code == 0, "firmware update failed");
        strings lines = box_lines(sim.transcript());
        lines.erase(lines.begin());
        put("response_lines", "firmware", "2" + joined(lines));
    }
    put("firmware_image", "image", image);
    put("firmware_image", "header_only", "010  ZOVA");
    put("firmware_image", "wrong_header", "011  ZOVA" + image.substr(9));

    // Lines no box sends, at the edges of the scans.
    put("response_lines", "edges",
        "0999 OS\n"
        "2147483647 -2147483648 2147483648 +7 -0\n"
        "DATA H0 HFFFFFFFF 0\n"
        "DATA Hffffffff H100000000 -1\n"
        "500 0 1 -1 H0x1F\n"
        "a b c d e f\n" +
            std::string(300, 'W') + "\n\r\r\n\t \t\n");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus <corpus folder>\n");
        return 2;
    }
    corpus = argv[1];
    try {
        record_all();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_corpus: %s\n", e.what());
        return 1;
    }
    return 0;
}

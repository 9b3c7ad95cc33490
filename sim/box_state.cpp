#include "box_state.hpp"

#include "box_text.hpp"

#include <algorithm>
#include <fstream>
#include <map>
#include <numeric>
#include <sstream>
#include <stdexcept>

namespace boxsim {
namespace {

constexpr std::array<std::string_view, table_kinds> table_names{"channels", "transponders",
                                                                "satellites", "favourites"};

// Largest table the simulator will build: keeps a typo from eating the machine's memory.
constexpr std::uint64_t max_table_bytes = 64u * 1024 * 1024;

constexpr std::array<std::uint8_t, 5> special_bytes{0x00, 0x0A, 0x0D, 0x11, 0x13};

// splitmix64: small, fast and the same on every platform.
struct random_source {
    std::uint64_t state;
    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
};

bool is_special(std::uint8_t b)
{
    return std::find(special_bytes.begin(), special_bytes.end(), b) != special_bytes.end();
}

std::filesystem::path table_file(const std::filesystem::path& dir, int id)
{
    return dir / (std::string(table_names[static_cast<std::size_t>(id)]) + ".bin");
}

void write_file(const std::filesystem::path& path, std::string_view bytes)
{
    auto tmp = path;
    tmp += ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out)
            throw std::runtime_error("cannot write " + tmp.string());
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec)
        throw std::runtime_error("cannot rename " + tmp.string() + ": " + ec.message());
}

std::string read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::uint32_t parse_u32(const std::string& text, const std::string& what)
{
    auto v = parse_decimal(text);
    if (!v || *v < 0 || *v > 0xFFFFFFFFll)
        throw std::runtime_error("bad " + what + " '" + text + "' in box.txt");
    return static_cast<std::uint32_t>(*v);
}

} // namespace

std::string_view table_name(int id)
{
    return id >= 0 && id < table_kinds ? table_names[static_cast<std::size_t>(id)] : "?";
}

std::optional<std::string> check_geometry(const box_geometry& g)
{
    const std::pair<std::uint32_t, std::string_view> sizes[] = {
        {g.sat_size, "satellite"}, {g.tp_size, "transponder"}, {g.chan_size, "channel"}};
    for (const auto& [size, name] : sizes)
        if (size == 0 || size > 0xFFFF)
            return std::string(name) + " record size must be 1 to 65535";
    if (g.chan_size != old_layout_channel_size && (g.fav_size == 0 || g.fav_size > 0xFFFF))
        return std::string("favourites record size must be 1 to 65535");
    std::uint64_t channels = std::uint64_t{g.tv} + g.radio;
    const std::pair<std::uint64_t, std::string_view> bytes[] = {
        {std::uint64_t{g.satellites} * g.sat_size, "satellite"},
        {std::uint64_t{g.transponders} * g.tp_size, "transponder"},
        {channels * g.chan_size, "channel"},
        {std::uint64_t{g.favourites} * g.fav_size, "favourites"}};
    for (const auto& [n, name] : bytes)
        if (n > max_table_bytes)
            return std::string(name) + " table larger than 64 MiB";
    return std::nullopt;
}

std::vector<std::uint8_t> generate_bytes(std::uint64_t seed, int id, std::size_t n)
{
    random_source rng{seed * 0x2545F4914F6CDD1Dull + static_cast<std::uint64_t>(id) * 0x9E37ull +
                      1};
    std::array<std::uint8_t, 256> perm{};
    std::iota(perm.begin(), perm.end(), std::uint8_t{0});
    for (std::size_t i = perm.size() - 1; i > 0; --i)
        std::swap(perm[i], perm[rng.below(i + 1)]);

    // Pull the special bytes into the part of the permutation that the table will use.
    std::size_t used = std::min<std::size_t>(n, perm.size());
    for (std::uint8_t s : special_bytes) {
        auto at = static_cast<std::size_t>(std::find(perm.begin(), perm.end(), s) - perm.begin());
        if (at < used)
            continue;
        std::size_t start = used ? rng.below(used) : 0;
        for (std::size_t k = 0; k < used; ++k) {
            std::size_t j = (start + k) % used;
            if (!is_special(perm[j])) {
                std::swap(perm[j], perm[at]);
                break;
            }
        }
    }

    std::vector<std::uint8_t> out(n);
    std::copy_n(perm.begin(), used, out.begin());
    for (std::size_t i = used; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(rng.next() >> 56);
    return out;
}

box_state make_state(const box_geometry& g, std::string version)
{
    box_state s;
    s.version = std::move(version);
    s.seed = g.seed;
    s.tv_slots = g.tv;
    s.radio_slots = g.radio;
    bool old = g.chan_size == old_layout_channel_size;
    const std::array<std::pair<std::uint32_t, std::uint32_t>, table_kinds> geometry{{
        {g.tv + g.radio, g.chan_size},
        {g.transponders, g.tp_size},
        {g.satellites, g.sat_size},
        {old ? 0 : g.favourites, old ? 0 : g.fav_size},
    }};
    for (int id = 0; id < table_kinds; ++id) {
        table& t = s.tables[static_cast<std::size_t>(id)];
        t.count = geometry[static_cast<std::size_t>(id)].first;
        t.size = geometry[static_cast<std::size_t>(id)].second;
        t.data = generate_bytes(g.seed, id, std::size_t{t.count} * t.size);
    }
    return s;
}

std::optional<std::string> version_from_image(const std::vector<std::uint8_t>& image)
{
    if (image.size() < 20)
        return std::nullopt;
    auto text = as_text(image);
    if (text.substr(0, 3) != "010" || text.substr(5, 4) != "ZOVA")
        return std::nullopt;
    std::string version(text.substr(9, 11));
    while (!version.empty() && (version.back() == '\0' || version.back() == ' '))
        version.pop_back();
    bool printable = std::all_of(version.begin(), version.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F;
    });
    if (version.empty() || !printable)
        return std::string("unknown");
    return version;
}

bool state_exists(const std::filesystem::path& dir)
{
    return std::filesystem::exists(dir / "box.txt");
}

void save_config(const std::filesystem::path& dir, const box_state& state)
{
    std::ostringstream out;
    out << "version=" << escape_bytes(state.version) << "\n"
        << "seed=" << state.seed << "\n"
        << "tv_slots=" << state.tv_slots << "\n"
        << "radio_slots=" << state.radio_slots << "\n";
    for (int id = 0; id < table_kinds; ++id) {
        const table& t = state.tables[static_cast<std::size_t>(id)];
        out << table_name(id) << "=" << t.count << " " << t.size << "\n";
    }
    write_file(dir / "box.txt", out.str());
}

void save_tables(const std::filesystem::path& dir, const box_state& state)
{
    for (int id = 0; id < table_kinds; ++id)
        write_file(table_file(dir, id), as_text(state.tables[static_cast<std::size_t>(id)].data));
}

void save_state(const std::filesystem::path& dir, const box_state& state)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec)
        throw std::runtime_error("cannot create " + dir.string() + ": " + ec.message());
    save_tables(dir, state);
    save_config(dir, state);
}

void save_image(const std::filesystem::path& dir, const std::vector<std::uint8_t>& image)
{
    write_file(dir / "image.bin", as_text(image));
}

box_state load_state(const std::filesystem::path& dir)
{
    std::map<std::string, std::string> values;
    std::istringstream in(read_file(dir / "box.txt"));
    for (std::string line; std::getline(in, line);) {
        auto eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos)
            continue;
        values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    auto get = [&](const std::string& key) {
        auto it = values.find(key);
        if (it == values.end())
            throw std::runtime_error("box.txt in " + dir.string() + " lacks '" + key + "'");
        return it->second;
    };

    box_state s;
    auto version = unescape_bytes(get("version"));
    if (!version)
        throw std::runtime_error("bad version in box.txt");
    s.version = *version;
    auto seed = parse_decimal(get("seed"));
    if (!seed || *seed < 0)
        throw std::runtime_error("bad seed in box.txt");
    s.seed = static_cast<std::uint64_t>(*seed);
    s.tv_slots = parse_u32(get("tv_slots"), "tv_slots");
    s.radio_slots = parse_u32(get("radio_slots"), "radio_slots");
    for (int id = 0; id < table_kinds; ++id) {
        std::string name(table_name(id));
        // The words are views: the entry they point into must outlive them.
        const std::string entry = get(name);
        auto words = split_words(entry);
        if (words.size() != 2)
            throw std::runtime_error("bad entry '" + name + "' in box.txt");
        table& t = s.tables[static_cast<std::size_t>(id)];
        t.count = parse_u32(std::string(words[0]), name + " count");
        t.size = parse_u32(std::string(words[1]), name + " size");
        std::string bytes = read_file(table_file(dir, id));
        if (bytes.size() != std::uint64_t{t.count} * t.size)
            throw std::runtime_error(table_file(dir, id).string() + " does not hold " +
                                     std::to_string(t.count) + " records of " +
                                     std::to_string(t.size) + " bytes");
        t.data.assign(bytes.begin(), bytes.end());
    }
    if (std::uint64_t{s.tv_slots} + s.radio_slots != s.tables[table_channels].count)
        throw std::runtime_error("tv_slots + radio_slots differ from the channel count in box.txt");
    return s;
}

} // namespace boxsim

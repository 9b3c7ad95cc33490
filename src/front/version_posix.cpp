// The program's version as an ELF note (owner "Halvoran", type 1), so that
// the stripped binary names its version to `readelf -n` and to package tools
// without being run. The banner prints the same HALVORAN_VERSION.
#include <cstdint>

namespace {

constexpr char owner[] = "Halvoran";
constexpr char version[] = HALVORAN_VERSION;

// Name and description of a note are each padded to a multiple of 4 bytes.
constexpr std::uint32_t padded(std::uint32_t size) { return (size + 3) / 4 * 4; }

struct version_note {
    std::uint32_t owner_size;
    std::uint32_t version_size;
    std::uint32_t type;
    char owner_text[padded(sizeof owner)];
    char version_text[padded(sizeof version)];
};

// Notes are packed at 4-byte alignment; without the explicit alignment the
// compiler may align a 32-byte object to 32 and readers reject the note.
[[gnu::used, gnu::section(".note.halvoran.version"), gnu::aligned(4)]] const version_note note = {
    sizeof owner, sizeof version, 1, "Halvoran", HALVORAN_VERSION};

} // namespace

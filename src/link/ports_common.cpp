// The port list's line, shared by the backends (ports_posix.cpp,
// ports_win32.cpp): each entry after a ", ", and ", ..." where the list is
// cut.
#include "link/ports.hpp"

#include <cstring>

namespace {

constexpr char cut_mark[] = ", ...";

} // namespace

int port_list_append(char* text, std::size_t size, std::size_t* used, const char* part,
                     const char* more)
{
    const std::size_t separator = *used > 0 ? 2 : 0;
    const std::size_t part_length = std::strlen(part);
    const std::size_t more_length = std::strlen(more);
    if (*used + separator + part_length + more_length + sizeof cut_mark > size)
        return 0;
    char* at = text + *used;
    std::memcpy(at, ", ", separator);
    // Each piece with its terminator; the next one writes over it.
    std::memcpy(at + separator, part, part_length + 1);
    std::memcpy(at + separator + part_length, more, more_length + 1);
    *used += separator + part_length + more_length;
    return 1;
}

void port_list_cut(char* text, std::size_t used)
{
    std::memcpy(text + used, cut_mark, sizeof cut_mark);
}

#include "box_faults.hpp"

#include "box_text.hpp"

#include <array>
#include <utility>

namespace boxsim {
namespace {

constexpr std::array<std::pair<fault_kind, std::string_view>, 17> kind_names{{
    {fault_kind::silent, "silent"},
    {fault_kind::garbage, "garbage"},
    {fault_kind::cut, "cut"},
    {fault_kind::crlf, "crlf"},
    {fault_kind::crin, "crin"},
    {fault_kind::reply, "reply"},
    {fault_kind::precede, "precede"},
    {fault_kind::close, "close"},
    {fault_kind::badcrc, "badcrc"},
    {fault_kind::blocksilent, "blocksilent"},
    {fault_kind::badlen, "badlen"},
    {fault_kind::reject, "reject"},
    {fault_kind::storefail, "storefail"},
    {fault_kind::blockclose, "blockclose"},
    {fault_kind::hold, "hold"},
    {fault_kind::stall, "stall"},
    {fault_kind::hangup, "hangup"},
}};

// The class of command a block fault needs; generic faults fit every class.
std::optional<command_class> required_class(fault_kind kind)
{
    switch (kind) {
    case fault_kind::badcrc:
    case fault_kind::blocksilent:
    case fault_kind::badlen:
    case fault_kind::blockclose:
        return command_class::read_request;
    case fault_kind::reject:
        return command_class::write_request;
    case fault_kind::storefail:
        return command_class::store_request;
    default:
        return std::nullopt;
    }
}

} // namespace

std::string_view kind_name(fault_kind kind)
{
    for (const auto& [k, name] : kind_names)
        if (k == kind)
            return name;
    return "?";
}

bool fault::matches(std::string_view command, command_class cls) const
{
    if (remaining == 0)
        return false;
    if (auto need = required_class(kind); need && *need != cls)
        return false;
    if (cls == command_class::image_end)
        return prefix == image_prefix;
    if (prefix == image_prefix)
        return false;
    return prefix == any_command || command.starts_with(prefix);
}

std::optional<fault> parse_fault(std::string_view text, std::string& error)
{
    // Split at the first three commas only: ARG keeps its own commas.
    std::string_view parts[4];
    int count = 0;
    std::string_view rest = text;
    while (count < 3) {
        auto comma = rest.find(',');
        if (comma == std::string_view::npos)
            break;
        parts[count++] = rest.substr(0, comma);
        rest = rest.substr(comma + 1);
    }
    parts[count++] = rest;
    if (count < 2) {
        error = "expected KIND,PREFIX[,COUNT[,ARG]]";
        return std::nullopt;
    }

    fault f;
    bool known = false;
    for (const auto& [k, name] : kind_names)
        if (name == parts[0]) {
            f.kind = k;
            known = true;
        }
    if (!known) {
        error = "unknown fault kind '" + std::string(parts[0]) + "'";
        return std::nullopt;
    }

    auto prefix = unescape_bytes(parts[1]);
    if (!prefix || prefix->empty()) {
        error = "bad or empty prefix '" + std::string(parts[1]) + "'";
        return std::nullopt;
    }
    f.prefix = *prefix;
    if (f.prefix == image_prefix && required_class(f.kind)) {
        error = "fault kind '" + std::string(parts[0]) + "' does not apply to <image>";
        return std::nullopt;
    }

    if (count >= 3 && !parts[2].empty()) {
        if (parts[2] == "*") {
            f.remaining = -1;
        } else {
            auto n = parse_decimal(parts[2]);
            if (!n || *n < 1 || *n > 1000000) {
                error = "bad count '" + std::string(parts[2]) + "'";
                return std::nullopt;
            }
            f.remaining = static_cast<int>(*n);
        }
    }

    bool needs_arg =
        f.kind == fault_kind::reply || f.kind == fault_kind::precede || f.kind == fault_kind::hold;
    // A byte count, optional: where the line stops taking bytes or hangs up.
    if (f.kind == fault_kind::stall || f.kind == fault_kind::hangup) {
        if (count == 4) {
            auto n = parse_decimal(parts[3]);
            if (!n || *n < 0 || *n > (std::int64_t{1} << 32)) {
                error = "bad byte count '" + std::string(parts[3]) + "'";
                return std::nullopt;
            }
            f.after_bytes = static_cast<std::uint64_t>(*n);
        }
        return f;
    }
    if (count == 4) {
        if (!needs_arg) {
            error = "fault kind '" + std::string(parts[0]) + "' takes no argument";
            return std::nullopt;
        }
        auto arg = unescape_bytes(parts[3], &f.arg_no_newline);
        if (!arg) {
            error = "bad escape in '" + std::string(parts[3]) + "'";
            return std::nullopt;
        }
        f.arg = *arg;
    } else if (needs_arg) {
        error = "fault kind '" + std::string(parts[0]) + "' needs an argument";
        return std::nullopt;
    }
    return f;
}

} // namespace boxsim

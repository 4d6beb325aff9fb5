#include "IntegerText.h"

#include <charconv>

std::optional<std::int32_t> IntegerFromText(std::string_view text)
{
    const std::size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos)
        return std::nullopt;
    std::string_view rest = text.substr(start);

    const bool negative = rest.front() == '-';
    if (negative || rest.front() == '+')
        rest.remove_prefix(1);

    bool hexadecimal = true;
    if (rest.starts_with('$'))
        rest.remove_prefix(1);
    else if (rest.starts_with("0x") || rest.starts_with("0X"))
        rest.remove_prefix(2);
    else
        hexadecimal = false;

    // Parsing into an unsigned type refuses a second sign; the limit then
    // leaves room for the one negative number without a positive counterpart.
    std::uint64_t magnitude = 0;
    const char* const end = rest.data() + rest.size();
    const auto [stop, error] = std::from_chars(rest.data(), end, magnitude, hexadecimal ? 16 : 10);
    if (error != std::errc() || stop != end)
        return std::nullopt;
    const std::uint64_t limit = hexadecimal ? UINT32_MAX
                                : negative  ? std::uint64_t{INT32_MAX} + 1
                                            : INT32_MAX;
    if (magnitude > limit)
        return std::nullopt;

    const auto bits = static_cast<std::uint32_t>(magnitude);
    return static_cast<std::int32_t>(negative ? 0u - bits : bits);
}

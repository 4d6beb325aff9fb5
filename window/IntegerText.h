// Reading a whole text as a 32-bit signed integer, in the notation that users
// of the program's number fields type: an optional sign, then decimal digits
// or "$"/"0x"-prefixed hexadecimal ones.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Converts the whole of text. Leading blanks are skipped; one "+" or "-" may
// come next; a "$", "0x" or "0X" prefix then selects hexadecimal digits, in
// either case, otherwise the digits are decimal. Nothing may follow the last
// digit, not even a blank.
//
// A decimal number must lie within the 32-bit signed range. A hexadecimal one
// may use all 32 bits and stands for the signed number with that bit pattern,
// so "$FFFFFFFF" reads as -1 and "-$FFFFFFFF" as 1.
//
// Returns no value for an empty or malformed text and for a number that does
// not fit.
std::optional<std::int32_t> IntegerFromText(std::string_view text);

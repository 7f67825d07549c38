// Text as the command line shows it to a user: words it did not choose,
// which may hold any bytes, made printable and unambiguous.
//
//   quote_debug("a\t\xFF")   // the text "a\t\xff", quotes included
//   lossy_utf8("a\xFF")       // "a" and U+FFFD
#ifndef VEK_GUARD_CLI_DISPLAY_TEXT_H_
#define VEK_GUARD_CLI_DISPLAY_TEXT_H_

#include <string>
#include <string_view>

namespace vek_guard::cli {

// `text` in double quotes with a backslash before each double quote and
// backslash, tab, carriage return, line feed and NUL as \t, \r, \n, \0, and
// other control characters, invisible format characters, private-use and
// non-character code points and combining marks as \u{hex} (lowercase, no
// leading zeros). Bytes that are not UTF-8 appear as \x and two hexadecimal
// digits.
std::string quote_debug(std::string_view text);

// `text` with every byte that does not start a well-formed UTF-8 sequence
// replaced by U+FFFD, so that a message about a stray word is itself valid
// UTF-8.
std::string lossy_utf8(std::string_view text);

}  // namespace vek_guard::cli

#endif  // VEK_GUARD_CLI_DISPLAY_TEXT_H_

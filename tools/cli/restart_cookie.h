// Restart cookies on the command line. The server's cookie is opaque bytes;
// the tool prints it so that it can be pasted back into --restart-cookie
// unharmed by a shell.
#pragma once

#include <string>
#include <string_view>

namespace kovrel_cli {

inline constexpr std::string_view HEX_COOKIE_PREFIX = "hex:";

// The cookie as it is when every byte is a letter, digit or one of "-_.:+=/,@~"
// (and it does not itself begin with "hex:"); otherwise "hex:" and two
// lowercase hexadecimal digits per byte.
std::string encode_restart_cookie(std::string_view bytes);

// The inverse of encode_restart_cookie; UsageError for a malformed "hex:"
// form. A plain text is taken as it is.
std::string decode_restart_cookie(std::string_view text);

} // namespace kovrel_cli

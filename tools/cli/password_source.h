// Where secrets come from: a file, the environment, or the terminal, never
// the command line (where other users could read them in the process list).
#pragma once

#include <optional>
#include <string>

namespace kovrel_cli {

inline constexpr const char *PASSWORD_VARIABLE = "KOVREL_PASSWORD";

// The first line of the file, without its line end. UsageError when the file
// cannot be read; `option` names the option in that message.
std::string read_secret_file(const std::string &path, const char *option);

// The password: from --password-file when given, else from KOVREL_PASSWORD
// (even when empty), else asked for without echo when standard input is a
// terminal; nullopt when none of these is available.
std::optional<std::string> obtain_password(const std::string &password_file,
                                           const std::string &prompt);

} // namespace kovrel_cli

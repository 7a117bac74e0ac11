// The two ways a subcommand gives up: a command line that cannot work (exit
// status 2) and an operation that failed (exit status 1). Both carry the whole
// message the user sees, already saying what went wrong and what to do.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace kovrel_cli {

inline constexpr int EXIT_PASSED = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
// 128 + SIGINT, as a shell reports a command stopped by Ctrl-C.
inline constexpr int EXIT_INTERRUPTED = 130;

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Failure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Parses the command line into `app` and runs the subcommand: exit status 2
// for a command line that cannot work, 1 for a failure (anything unexpected
// included: the operation did not pass), each reported as "<name>: <what>".
template <typename Run> int run_subcommand(CLI::App &app, int argc, char **argv, Run run) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? EXIT_PASSED : EXIT_USAGE;
    }
    const std::string name = app.get_name();
    try {
        return run();
    } catch (const UsageError &e) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), e.what());
        return EXIT_USAGE;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), e.what());
        return EXIT_FAILED;
    }
}

} // namespace kovrel_cli

// kovrel: one tool, three subcommands.
#include "kovrel_tool.h"

#include <cstdio>
#include <cstring>

namespace {

struct Subcommand {
    const char *name;
    int (*main)(int, char **);
    const char *summary;
};

constexpr Subcommand SUBCOMMANDS[] = {
    {"invoke", kovrel_invoke_main, "run one XML API call and print its results"},
    {"diff", kovrel_diff_main, "list the files that changed between two snapshots"},
    {"sim", kovrel_sim_main, "run a storage-system simulator on this machine"},
};

void usage(FILE *out) {
    std::fprintf(out, "usage: kovrel <command> [options]\n\ncommands:\n");
    for (const Subcommand &s : SUBCOMMANDS)
        std::fprintf(out, "  %-8s %s\n", s.name, s.summary);
    std::fprintf(out, "\nRun 'kovrel <command> --help' for the options of a command.\n");
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        usage(stdout);
        return 0;
    }
    for (const Subcommand &s : SUBCOMMANDS)
        if (std::strcmp(argv[1], s.name) == 0)
            return s.main(argc - 1, argv + 1);
    std::fprintf(stderr, "kovrel: unknown command '%s'\n\n", argv[1]);
    usage(stderr);
    return 2;
}

// Command line of `kovrel sim`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct VolumeDir {
    std::string name;
    std::string dir;
};

struct Credentials {
    std::string user;
    std::string password;
};

struct Options {
    std::vector<VolumeDir> volumes;
    std::vector<Credentials> users;
    std::string listen = "127.0.0.1";
    int http_port = 80;
    int https_port = 443;
    int stream_port = 11105;
    int rpc_port = 2049;
    std::string cert_file;
    std::string key_file;
    std::string cert_out; // where to write the generated certificate, if anywhere
    unsigned max_sessions = 4;
    double seconds = 0; // 0: run until interrupted
    unsigned session_idle = 600;
    uint64_t inode_offset = 0;
};

// Parses the arguments after the subcommand name. Returns the options, or the
// exit status when the simulator is not to run: 0 after --help, 2 for a usage
// error, 1 for a value that parses but cannot be used (bad --volume or --user
// syntax, a volume directory that is missing).
struct ParsedOptions {
    std::optional<Options> options;
    int exit_status = 0;
};
ParsedOptions parse_options(int argc, char **argv);

} // namespace sim

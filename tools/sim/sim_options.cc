// Command line of `kovrel sim`: CLI11 does the parsing; the checks that need
// the file system (volume directories) are made here too so that every start
// failure is reported before anything listens.
#include "sim_options.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <set>
#include <stdexcept>

namespace sim {
namespace {

constexpr const char *DESCRIPTION =
    "Runs a storage-system simulator in the foreground: the XML API over HTTP, HTTPS and the\n"
    "ROVUDI-D/1.0 stream protocol, and the change-scan RPC program 400010 version 1 over TCP.\n"
    "Volumes are directories; the snapshots of volume NAME are the directories "
    "DIR/.snapshot/SNAP,\n"
    "and its live tree is DIR without .snapshot. SIGINT or SIGTERM stop it (exit status 0).\n"
    "When every listener is up it prints one line on standard error:\n"
    "  kovrel sim: ready http=<port> https=<port> stream=<port> rpc=<port>\n"
    "(0 for a disabled listener). Start failures exit with 1, usage errors with 2.";

constexpr const char *FOOTER = R"(Credentials:
  HTTP and HTTPS use Basic authentication; the stream protocol sends "User:" and "Password:"
  header lines. Without --user the only account is admin:admin. Wrong or missing credentials
  get status 401 (stream: "ROVUDI-D/1.0 401").

XML API (POST to /servlets/kovrel.servlets.admin.XMLrequest_filer, .../XMLrequest or
/apis/XMLrequest; the request document's root is "kovrel" holding one API element):
  system-get-version
      -> version ("kovrel simulator 1.0")
  volume-list-info
      -> volumes: volume-info (name, path) per volume
  snapshot-list-info       volume
      -> snapshots: snapshot-info (name, create-time in seconds) per snapshot, oldest first
  snapshot-create          volume, snapshot
      copies the live tree into DIR/.snapshot/SNAP, keeping types, modes, times, symbolic
      links and (when permitted) owners; hard links become separate files; device files need
      the privilege to make them. Fails if the snapshot exists; a failed copy leaves nothing
  snapshot-delete          volume, snapshot
  chgscan-iter-start       version (1 or 2), volume, base-snapshot (optional: without it the
      base is an empty tree), diff-snapshot, file-access-protocol (1 to 5 letters or digits;
      every protocol sees the same names), restart-cookie (optional), application-name,
      application-type, max-diffs (1..4294967295; batches hold at most 10000 records),
      atime, include-file-attributes, checkpointing (true or false; records always carry
      the file attributes and every batch a restart cookie)
      -> session-handle, session-id (36 characters), session-status ("active")
  Unknown children are refused, so that a misspelt input does not go unnoticed.

Error numbers of failed results:
  13101 the request is not a well-formed "kovrel" document holding an API element
  13102 unknown API
  13103 a required input is missing
  13104 an input has a value that is not accepted, or is not an input of that API
  13105 the volume does not exist
  13106 the snapshot does not exist
  13107 the snapshot already exists
  13108 a file-system operation failed (the reason names the path and the system error)
  13109 the restart cookie is malformed or belongs to another difference
  13110 the simulator itself failed (for example out of memory)
  50089 the change-scan session limit (--max-sessions) is reached

Change-scan RPC (TCP, no port mapper): NULL and COMPOUND with one of the operations
65 (status), 66 (next), 67 (end). The session_id argument must be the request hash: the
SHA-256 hex digest of the session id, "-" and the call's sequence as 8 hex digits (next
calls count 1, 2, ... including refused ones; status and end use 0). Statuses:
  10044 OP_ILLEGAL       unknown operation (answered with an OP_ILLEGAL result)
  10004 NOTSUPP          operation 64 (start): sessions start with chgscan-iter-start
  10070 TOO_MANY_OPS     more than one operation in a COMPOUND (none is executed)
  10021 MINOR_VERS_MISMATCH  minor version other than 0
  10052 BADSESSION       unknown, ended or expired session handle
  10063 SEQ_MISORDERED   the request hash does not match the session and sequence
  50091 CQ_SESSION_V2_OK a next batch with version-2 records (some inode number > 32 bits)
Changes are computed when the session starts, by walking both trees without following
symbolic links and matching entries by path: created (1 directory, 3 other), deleted
(2 directory, 6 other), modified (5: type, mode, owner, group, mtime, size, content or
symbolic-link target differ; directory sizes are ignored), accessed (4: only atime differs;
reported when atime is true). Each directory's changes are listed by name; created
directories come before their contents, deleted ones after. Records carry the inode number,
NFSv4 file type (1 file, 2 directory, 3 block, 4 character, 5 symbolic link, 6 socket,
7 fifo), times in seconds, owner, group, mode bits, size and link count of the entry in the
later tree (the earlier one for deletions), and the path from the volume root ("/dir/a").
A next batch holds at most max-diffs records; progress is the percentage delivered; eof
is set on the batch that completes the difference; its restart cookie lets a new session
of the same snapshots and atime choice resume after it. Sessions idle for --session-idle
seconds expire; RPC connections idle for that long (at least 600 seconds) are closed.)";

// NAME=DIR, the directory must exist.
VolumeDir parse_volume(const std::string &text) {
    auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == text.size())
        throw std::invalid_argument("--volume '" + text +
                                    "' is not NAME=DIR (for example --volume vol1=/srv/vol1)");
    VolumeDir v{text.substr(0, eq), text.substr(eq + 1)};
    if (v.name.size() > 255 || v.name.find('/') != std::string::npos)
        throw std::invalid_argument("--volume '" + text +
                                    "': the name must be at most 255 characters without '/'");
    std::error_code ec;
    if (!std::filesystem::is_directory(v.dir, ec))
        throw std::invalid_argument("--volume '" + text + "': directory '" + v.dir +
                                    "' does not exist or is not a directory; create it first");
    return v;
}

Credentials parse_user(const std::string &text) {
    auto colon = text.find(':');
    if (colon == std::string::npos || colon == 0)
        throw std::invalid_argument("--user '" + text +
                                    "' is not USER:PASSWORD (for example --user admin:secret)");
    return {text.substr(0, colon), text.substr(colon + 1)};
}

} // namespace

ParsedOptions parse_options(int argc, char **argv) {
    Options o;
    std::vector<std::string> volume_texts, user_texts;
    CLI::App app{DESCRIPTION, "kovrel sim"};
    app.footer(FOOTER);
    app.get_formatter()->column_width(28);
    app.add_option("--volume", volume_texts, "A volume: its name and directory (repeatable)")
        ->type_name("NAME=DIR")
        ->required();
    app.add_option("--user", user_texts,
                   "An account allowed to call (repeatable; the password is everything after the "
                   "first ':'; default admin:admin)")
        ->type_name("USER:PASSWORD");
    app.add_option("--listen", o.listen,
                   "Address every listener binds to (also the certificate's name)")
        ->type_name("ADDR")
        ->capture_default_str();
    auto port = CLI::Range(0, 65535);
    app.add_option("--http-port", o.http_port, "XML API over HTTP; 0 disables")
        ->check(port)
        ->capture_default_str();
    app.add_option("--https-port", o.https_port, "XML API over HTTPS; 0 disables")
        ->check(port)
        ->capture_default_str();
    app.add_option("--stream-port", o.stream_port, "XML API over ROVUDI-D/1.0; 0 disables")
        ->check(port)
        ->capture_default_str();
    app.add_option("--rpc-port", o.rpc_port, "Change-scan RPC program; 0 disables")
        ->check(port)
        ->capture_default_str();
    auto *cert = app.add_option("--cert", o.cert_file,
                                "HTTPS certificate chain (PEM); default: a self-signed "
                                "certificate made at start for the listen address, 127.0.0.1, "
                                "::1 and localhost")
                     ->check(CLI::ExistingFile);
    auto *key = app.add_option("--key", o.key_file, "Private key of --cert (PEM)")
                    ->check(CLI::ExistingFile);
    cert->needs(key);
    key->needs(cert);
    app.add_option("--cert-out", o.cert_out,
                   "Write the generated certificate (PEM) to F, for clients that verify it")
        ->type_name("F")
        ->excludes(cert);
    app.add_option("--max-sessions", o.max_sessions, "Change-scan sessions open at once")
        ->check(CLI::Range(1u, 1000u))
        ->capture_default_str();
    app.add_option("--session-idle", o.session_idle,
                   "Seconds after which an unused change-scan session expires")
        ->check(CLI::Range(1u, 86400u))
        ->capture_default_str();
    app.add_option("--seconds", o.seconds,
                   "Stop by itself after T seconds (default: run until "
                   "interrupted)")
        ->type_name("T")
        ->check(CLI::PositiveNumber);
    app.add_option("--inode-offset", o.inode_offset,
                   "Add N to every reported inode number (tests use it to force version-2 "
                   "records)")
        ->type_name("N")
        ->capture_default_str();

    ParsedOptions result;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        result.exit_status = app.exit(e) == 0 ? 0 : 2;
        return result;
    }
    try {
        std::set<std::string> names;
        for (const auto &text : volume_texts) {
            VolumeDir v = parse_volume(text);
            if (!names.insert(v.name).second)
                throw std::invalid_argument("volume name '" + v.name +
                                            "' is given twice; each --volume needs its own name");
            o.volumes.push_back(std::move(v));
        }
        for (const auto &text : user_texts)
            o.users.push_back(parse_user(text));
    } catch (const std::invalid_argument &e) {
        std::fprintf(stderr, "kovrel sim: %s\n", e.what());
        result.exit_status = 1;
        return result;
    }
    if (o.users.empty())
        o.users.push_back({"admin", "admin"});
    result.options = std::move(o);
    return result;
}

} // namespace sim

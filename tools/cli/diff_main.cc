// kovrel diff: the files created, deleted, modified (and accessed) between two
// snapshots of a volume, from one whole change-scan session.
#include "change_format.h"
#include "cli_errors.h"
#include "connection_options.h"
#include "diff_session.h"
#include "interrupt.h"
#include "kovrel_tool.h"
#include "password_source.h"
#include "progress_line.h"
#include "restart_cookie.h"
#include "tls_preflight.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace kovrel_cli {
namespace {

// 128 + SIGPIPE, as a shell reports a writer whose reader went away.
constexpr int EXIT_BROKEN_PIPE = 141;

struct DiffOptions {
    ConnectionOptions connection;
    std::string volume;
    std::string base;
    std::string diff;
    std::string data_host;
    std::string format = "text";
    uint32_t max_diffs = 1000;
    std::vector<std::string> only;
    bool atime = false;
    bool long_form = false;
    std::string restart_cookie;
    std::string file_access_protocol = "nfs";
};

void describe(CLI::App &app, DiffOptions &o) {
    app.description(
        "List the files and directories that changed between two snapshots of a volume.\n\n"
        "  kovrel diff --host H --user U --volume V --base S1 --diff S2 [options]\n\n"
        "One line per change: by default the mark (+ created, - deleted, M modified, A accessed), "
        "a tab and the path from the volume root; --long adds type, size, mtime, owner:group and "
        "inode; --format json prints one JSON object per line, --format csv a header and one row "
        "per change. The password comes from KOVREL_PASSWORD, --password-file, or a prompt when "
        "standard input is a terminal.\n\n"
        "The session is started over HTTPS port 443 at --host (whose certificate is verified "
        "first unless --insecure) and read over RPC from --data-host port 2049. On Ctrl-C or "
        "SIGTERM the session is ended cleanly and a restart cookie printed; pass it to "
        "--restart-cookie to go on from there (a second Ctrl-C stops at once).\n\n"
        "Exit status: 0 listed, 1 failed, 2 usage error, 130 interrupted.");
    add_connection_options(app, o.connection);
    const char *group = "Change scan";
    app.add_option("--volume", o.volume, "Volume to compare")
        ->type_name("V")
        ->required()
        ->group(group);
    app.add_option("--base", o.base, "Earlier snapshot")->type_name("S1")->required()->group(group);
    app.add_option("--diff", o.diff, "Later snapshot")->type_name("S2")->required()->group(group);
    app.add_option("--data-host", o.data_host,
                   "Data address serving the change-scan RPC program (default: --host)")
        ->type_name("D")
        ->group(group);
    app.add_option("--format", o.format, "Output: text (default), json (one object per line), csv")
        ->type_name("F")
        ->check(CLI::IsMember({"text", "json", "csv"}))
        ->group(group);
    app.add_option("--max-diffs", o.max_diffs, "Most changes per batch (default 1000)")
        ->type_name("N")
        ->check(CLI::Range(1u, 4294967295u))
        ->group(group);
    app.add_option("--only", o.only,
                   "List only these kinds, comma-separated: created, deleted, modified, accessed")
        ->type_name("KINDS")
        ->delimiter(',')
        ->check(CLI::IsMember({"created", "deleted", "modified", "accessed"}))
        ->group(group);
    app.add_flag("--atime", o.atime, "Also report access-time changes (implied by --only accessed)")
        ->group(group);
    app.add_flag("--long", o.long_form, "Text format: add type, size, mtime, owner:group, inode")
        ->group(group);
    app.add_option("--restart-cookie", o.restart_cookie,
                   "Resume an interrupted listing from the cookie it printed")
        ->type_name("C")
        ->group(group);
    app.add_option("--file-access-protocol", o.file_access_protocol,
                   "Protocol whose view of names the server uses (default nfs)")
        ->type_name("P")
        ->group(group);
}

// Options of the shared set that the session start cannot honour: it always
// uses HTTPS on port 443 with a user name and password.
void check_session_channel(const ConnectionOptions &c) {
    if (!c.transport.empty() && c.transport != "https")
        throw UsageError("the change-scan session always starts over HTTPS: drop --transport");
    if (c.port != 0 && c.port != 443)
        throw UsageError("the change-scan session always starts on port 443: drop --port");
    if (!c.style.empty() && c.style != "login")
        throw UsageError("the change-scan session logs in with --user and a password: drop "
                         "--style");
    if (!c.cert_file.empty())
        throw UsageError("the change-scan session logs in with --user and a password, not a "
                         "client certificate: drop --cert");
    if (c.user.empty())
        throw UsageError("--user is required (the password comes from KOVREL_PASSWORD, "
                         "--password-file or a prompt)");
}

// Output that is flushed batch by batch, so that what was printed and the
// restart cookie of the last batch always agree.
class Output {
  public:
    // errno of the first failed write, 0 while all went well.
    int write(const std::string &text) {
        if (error_ == 0 && !text.empty() &&
            std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
            error_ = errno != 0 ? errno : EIO;
        if (error_ == 0 && std::fflush(stdout) != 0)
            error_ = errno != 0 ? errno : EIO;
        return error_;
    }

  private:
    int error_ = 0;
};

// SIGPIPE ignored while the listing runs: a closed pipe (`| head`) becomes a
// write error, and the session is still ended.
class IgnoreSigpipe {
  public:
    IgnoreSigpipe() { saved_ = std::signal(SIGPIPE, SIG_IGN); }
    ~IgnoreSigpipe() { std::signal(SIGPIPE, saved_); }
    IgnoreSigpipe(const IgnoreSigpipe &) = delete;
    IgnoreSigpipe &operator=(const IgnoreSigpipe &) = delete;

  private:
    void (*saved_)(int);
};

void report(const std::string &message) {
    std::fprintf(stderr, "kovrel diff: %s\n", message.c_str());
}

std::string resume_advice(const std::optional<std::string> &cookie) {
    if (!cookie)
        return "run the same command again to start over";
    return "resume with --restart-cookie " + encode_restart_cookie(*cookie);
}

int run(const DiffOptions &o) {
    check_session_channel(o.connection);
    std::optional<std::string> cookie;
    if (!o.restart_cookie.empty()) {
        cookie = decode_restart_cookie(o.restart_cookie);
        // The session start takes the cookie as a C string.
        if (cookie->find('\0') != std::string::npos)
            throw UsageError("--restart-cookie holds a zero byte, which the session start cannot "
                             "send; run the listing from the start");
    }
    std::set<ChangeKind> wanted;
    for (const std::string &name : o.only)
        wanted.insert(*change_kind_from_name(name));
    if (wanted.empty())
        wanted = {ChangeKind::created, ChangeKind::deleted, ChangeKind::modified,
                  ChangeKind::accessed};
    const OutputFormat format = *output_format_from_name(o.format);

    LibrarySession library;
    kr_server_set_application_name("kovrel");
    Secrets secrets;
    auto password =
        obtain_password(o.connection.password_file,
                        fmt::format("Password for {}@{}: ", o.connection.user, o.connection.host));
    if (!password)
        throw UsageError(fmt::format("no password for user {}: set KOVREL_PASSWORD, use "
                                     "--password-file FILE, or run from a terminal to be asked",
                                     o.connection.user));
    secrets.password = std::move(*password);

    InterruptWatch interrupt;
    IgnoreSigpipe no_sigpipe;
    if (!o.connection.insecure)
        verify_management_certificate(o.connection, secrets);

    const std::string data_host = o.data_host.empty() ? o.connection.host : o.data_host;
    ChangeScanSession session(data_host, ScanTarget{o.connection.host, data_host, o.volume, o.base,
                                                    o.diff, cookie.has_value()});
    StartRequest start;
    start.host = o.connection.host;
    start.user = o.connection.user;
    start.password = secrets.password;
    start.vserver = o.connection.vserver;
    start.volume = o.volume;
    start.base = o.base;
    start.diff = o.diff;
    start.file_access_protocol = o.file_access_protocol;
    // Access-time changes are reported only when asked for.
    start.atime = o.atime || (!o.only.empty() && wanted.count(ChangeKind::accessed) != 0);
    // Only the formats that print attributes ask the server for them.
    start.file_attributes = format != OutputFormat::text || o.long_form;
    start.max_diffs = o.max_diffs;
    start.restart_cookie = cookie;
    // A stop asked for during the set-up (which cannot be cut short) is
    // honoured before a session exists.
    if (InterruptWatch::requested()) {
        report("interrupted before the listing began; nothing was listed");
        return EXIT_INTERRUPTED;
    }
    session.start(start);

    Output output;
    // The CSV header goes out with the first batch, an empty one included.
    bool header_due = format == OutputFormat::csv;
    ProgressLine progress;
    uint64_t received = 0;
    size_t unknown = 0;
    bool complete = false;
    int write_error = 0;
    while (!complete && !InterruptWatch::requested()) {
        std::optional<Batch> batch;
        try {
            batch.emplace(session.next());
        } catch (const Failure &e) {
            progress.clear();
            const std::string problem = session.end();
            report(e.what());
            if (!problem.empty())
                report(problem);
            report(resume_advice(cookie));
            return EXIT_FAILED;
        }
        std::string text = header_due ? csv_header() : "";
        header_due = false;
        unknown += batch->for_each_change([&](const Change &c) {
            ++received;
            if (wanted.count(c.kind) == 0)
                return;
            switch (format) {
            case OutputFormat::text:
                text += format_text(c, o.long_form);
                break;
            case OutputFormat::json:
                text += format_json(c);
                break;
            case OutputFormat::csv:
                text += format_csv(c);
                break;
            }
        });
        write_error = output.write(text);
        if (write_error != 0)
            break;
        if (!batch->restart_cookie().empty())
            cookie = std::string(batch->restart_cookie());
        complete = batch->eof();
        progress.update(received, batch->progress());
    }
    progress.clear();
    const std::string problem = session.end();

    if (write_error != 0) {
        if (write_error == EPIPE)
            return EXIT_BROKEN_PIPE; // the reader has all it wanted
        report(fmt::format("cannot write the listing: {} (errno {}); {}",
                           std::strerror(write_error), write_error, resume_advice(cookie)));
        return EXIT_FAILED;
    }
    if (!complete) {
        if (!problem.empty())
            report(problem);
        if (cookie && cookie->find('\0') != std::string::npos)
            report("interrupted; the server's restart cookie holds a zero byte and cannot be "
                   "passed back, so run the listing again from the start");
        else
            report("interrupted; " + resume_advice(cookie));
        return EXIT_INTERRUPTED;
    }
    if (unknown != 0)
        report(fmt::format("warning: {} record(s) had a change type this tool does not know and "
                           "were not listed",
                           unknown));
    // The listing is complete; a session that would not end is worth a
    // warning but takes nothing away from the output.
    if (!problem.empty())
        report("warning: " + problem + " (the listing above is complete)");
    return EXIT_PASSED;
}

} // namespace
} // namespace kovrel_cli

int kovrel_diff_main(int argc, char **argv) {
    using namespace kovrel_cli;
    CLI::App app{"", "kovrel diff"};
    DiffOptions options;
    describe(app, options);
    return run_subcommand(app, argc, argv, [&options] { return run(options); });
}

// kovrel invoke: one API call, its results printed as XML or JSON.
#include "api_failure.h"
#include "cli_errors.h"
#include "connection_options.h"
#include "invoke_request.h"
#include "kovrel_tool.h"
#include "password_source.h"
#include "results_json.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstdio>
#include <string>
#include <vector>

namespace kovrel_cli {
namespace {

struct InvokeOptions {
    ConnectionOptions connection;
    std::string api;
    std::vector<std::string> args;
    std::string xml_file;
    std::string format = "xml";
};

void describe(CLI::App &app, InvokeOptions &o) {
    app.description("Run one XML API call and print its results.\n\n"
                    "  kovrel invoke [options] API [name=value ...]\n"
                    "  kovrel invoke [options] --xml FILE|-\n\n"
                    "Each name=value adds a child <name>value</name> to the request <API>; a "
                    "repeated name adds several children, and name.sub=value puts <sub>value</sub> "
                    "inside one <name> child. The password comes from KOVREL_PASSWORD, "
                    "--password-file, or a prompt when standard input is a terminal.\n\n"
                    "Exit status: 0 the call passed, 1 it failed (the reason on standard error), "
                    "2 usage error.");
    add_connection_options(app, o.connection);
    app.add_option("api", o.api, "The API to call, e.g. system-get-version")->type_name("API");
    app.add_option("args", o.args, "Request values as name=value or name.sub=value")
        ->type_name("NAME=VALUE");
    app.add_option("--xml", o.xml_file,
                   "Read the whole request as XML from FILE ('-': standard input) instead of "
                   "API and name=value arguments")
        ->type_name("FILE|-");
    app.add_option("--format", o.format, "Output: xml (indented, default) or json")
        ->type_name("F")
        ->check(CLI::IsMember({"xml", "json"}));
}

ElemPtr make_request(const InvokeOptions &o) {
    if (!o.xml_file.empty()) {
        if (!o.api.empty())
            throw UsageError("give either --xml FILE or API [name=value ...], not both");
        return read_xml_request(o.xml_file);
    }
    if (o.api.empty())
        throw UsageError("no API given: kovrel invoke [options] API [name=value ...] "
                         "(see kovrel invoke --help)");
    return build_request(o.api, o.args);
}

Secrets read_secrets(const ConnectionOptions &c) {
    Secrets secrets;
    if (!c.user.empty()) {
        auto password =
            obtain_password(c.password_file, fmt::format("Password for {}@{}: ", c.user, c.host));
        if (!password)
            throw UsageError(fmt::format("no password for user {}: set KOVREL_PASSWORD, use "
                                         "--password-file FILE, or run from a terminal to be "
                                         "asked",
                                         c.user));
        secrets.password = std::move(*password);
    } else if (!c.password_file.empty()) {
        throw UsageError("--password-file needs --user");
    }
    if (!c.key_passphrase_file.empty())
        secrets.key_passphrase = read_secret_file(c.key_passphrase_file, "--key-passphrase-file");
    return secrets;
}

int print_results(kr_elem_t *results, const std::string &format) {
    if (format == "json") {
        const std::string text = results_to_json_text(results);
        std::fwrite(text.data(), 1, text.size(), stdout);
    } else {
        kr_elem_printf_pretty(stdout, results);
    }
    if (std::fflush(stdout) != 0) {
        std::perror("kovrel invoke: cannot write the results");
        return EXIT_FAILED;
    }
    return EXIT_PASSED;
}

int run(const InvokeOptions &o) {
    LibrarySession library;
    kr_server_set_application_name("kovrel");
    ElemPtr request = make_request(o);
    const std::string api = kr_elem_get_name(request.get());
    const Secrets secrets = read_secrets(o.connection);
    Endpoint endpoint;
    ServerPtr server = open_server(o.connection, secrets, &endpoint);

    ElemPtr results(kr_server_invoke_elem(server.get(), request.get()));
    if (!results)
        throw Failure(
            fmt::format("{} failed: the library refused the request (errno {})", api, errno));
    if (kr_results_status(results.get()) != 1) {
        const int error_number = kr_results_errno(results.get());
        const char *reason = kr_results_reason(results.get());
        const std::string why = reason != nullptr ? reason : "Unknown";
        std::string message =
            fmt::format("kovrel invoke: {} failed: {} (errno {})\n", api, why, error_number);
        const std::string hint = failure_hint(classify_failure(error_number, why), endpoint);
        if (!hint.empty())
            message += fmt::format("kovrel invoke: {}\n", hint);
        std::fputs(message.c_str(), stderr);
        return EXIT_FAILED;
    }
    return print_results(results.get(), o.format);
}

} // namespace
} // namespace kovrel_cli

int kovrel_invoke_main(int argc, char **argv) {
    using namespace kovrel_cli;
    CLI::App app{"", "kovrel invoke"};
    InvokeOptions options;
    describe(app, options);
    return run_subcommand(app, argc, argv, [&options] { return run(options); });
}

#include "password_source.h"

#include "cli_errors.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <termios.h>
#include <unistd.h>

namespace kovrel_cli {
namespace {

void strip_line_end(std::string &line) {
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
}

// Echo is restored however the read ends.
class EchoOff {
  public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (tcgetattr(fd_, &saved_) != 0)
            return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_)
            tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff &) = delete;
    EchoOff &operator=(const EchoOff &) = delete;

  private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

std::optional<std::string> prompt_without_echo(const std::string &prompt) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    std::string line;
    bool got;
    {
        EchoOff quiet(STDIN_FILENO);
        got = static_cast<bool>(std::getline(std::cin, line));
    }
    std::fputc('\n', stderr);
    if (!got)
        return std::nullopt;
    strip_line_end(line);
    return line;
}

} // namespace

std::string read_secret_file(const std::string &path, const char *option) {
    auto fail = [&] {
        return UsageError(fmt::format("cannot read {} {}: {}", option, path, std::strerror(errno)));
    };
    std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "r"), std::fclose);
    if (!file)
        throw fail();
    char *buffer = nullptr;
    size_t capacity = 0;
    errno = 0;
    const ssize_t length = ::getline(&buffer, &capacity, file.get());
    std::unique_ptr<char, void (*)(void *)> owned(buffer, std::free);
    // An empty file is an empty secret; a read error (a directory, say) is not.
    if (length < 0 && std::ferror(file.get()))
        throw fail();
    std::string line = length > 0 ? std::string(buffer, static_cast<size_t>(length)) : "";
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    strip_line_end(line);
    return line;
}

std::optional<std::string> obtain_password(const std::string &password_file,
                                           const std::string &prompt) {
    if (!password_file.empty())
        return read_secret_file(password_file, "--password-file");
    if (const char *value = std::getenv(PASSWORD_VARIABLE))
        return std::string(value);
    if (isatty(STDIN_FILENO))
        return prompt_without_echo(prompt);
    return std::nullopt;
}

} // namespace kovrel_cli

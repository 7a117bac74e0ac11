// Runs a piece of a test in a forked child process, or a command.
//
// For state that is set once per process (install-path discovery, the
// generator's seeding, the logging settings): the child does the work and
// hands back a list of strings; the parent checks them and the exit status.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

inline std::vector<std::string>
run_in_child(const std::function<std::vector<std::string>()> &body) {
    int fds[2];
    if (pipe(fds) != 0)
        return {"pipe failed"};
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string out;
        for (const std::string &value : body())
            out += value + '\0';
        for (size_t done = 0; done < out.size();) {
            const ssize_t n = write(fds[1], out.data() + done, out.size() - done);
            if (n <= 0)
                _exit(2);
            done += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string in;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0)
        in.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    std::vector<std::string> values;
    for (size_t start = 0, end; (end = in.find('\0', start)) != std::string::npos; start = end + 1)
        values.push_back(in.substr(start, end - start));
    return values;
}

// Runs a shell command and returns its standard output; `*status` receives
// its exit status (-1 when it could not run or did not exit).
inline std::string run_command(const std::string &command, int *status) {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) {
        *status = -1;
        return out;
    }
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int rc = pclose(p);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

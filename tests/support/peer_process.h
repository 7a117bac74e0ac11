// A test peer running as a child process (a Python server, openssl s_server).
//
// The peer is started with its arguments, must print a line announcing that
// it is ready within a few seconds, and is ended by its process id when the
// PeerProcess goes out of scope. Peers are also expected to bound their own
// lifetime, so that nothing outlives a crashed test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

class PeerProcess {
  public:
    // Starts argv and waits until a line of its standard output contains
    // `ready_marker` (or the time runs out). Standard error is inherited.
    PeerProcess(const std::vector<std::string> &argv, const std::string &ready_marker,
                std::chrono::milliseconds wait = std::chrono::seconds(10)) {
        int out[2];
        if (pipe(out) != 0)
            return;
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char *> args;
            for (const std::string &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        stdout_fd_ = out[0];
        ready_ = wait_for(ready_marker, wait);
    }

    PeerProcess(const PeerProcess &) = delete;
    PeerProcess &operator=(const PeerProcess &) = delete;

    ~PeerProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            waitpid(pid_, &status, 0);
        }
        if (stdout_fd_ >= 0)
            close(stdout_fd_);
    }

    bool ready() const { return ready_; }
    // The output read so far (the ready line included).
    const std::string &output() const { return output_; }

    // Reads the peer's output until a line contains `marker`; false on time-out
    // or when the peer exits first.
    bool wait_for(const std::string &marker, std::chrono::milliseconds wait) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (output_.find(marker) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p = {stdout_fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char chunk[1024];
            const ssize_t n = read(stdout_fd_, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            output_.append(chunk, static_cast<size_t>(n));
        }
        return true;
    }

    // Waits for the peer to exit by itself; returns its exit status or -1.
    int wait_exit(std::chrono::milliseconds wait) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (std::chrono::steady_clock::now() < deadline) {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10000);
        }
        return -1;
    }

  private:
    pid_t pid_ = -1;
    int stdout_fd_ = -1;
    bool ready_ = false;
    std::string output_;
};

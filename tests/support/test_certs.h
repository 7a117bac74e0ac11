// The certificates of tests/peers/make_certs.sh, made at test time in a
// fresh temporary directory (once per test suite, from SetUpTestSuite).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

// Returns the directory, or "" (with a test failure recorded) when the
// certificates could not be made.
inline std::string make_test_certificates(const std::string &peers_dir) {
    char templ[] = "/tmp/kovrel_certs_XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
        return "";
    }
    const std::string command = peers_dir + "/make_certs.sh " + templ + " >/dev/null";
    if (std::system(command.c_str()) != 0) {
        ADD_FAILURE() << "make_certs.sh failed";
        std::filesystem::remove_all(templ);
        return "";
    }
    return templ;
}

inline void remove_test_certificates(const std::string &dir) {
    if (!dir.empty())
        std::filesystem::remove_all(dir);
}

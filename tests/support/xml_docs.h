// Small XML documents and files for the reader tests.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <unistd.h>

// `levels` nested elements l1, l2, ... around `inner`.
inline std::string nested(int levels, const std::string &inner = "") {
    std::string doc;
    for (int i = 1; i <= levels; ++i)
        doc += "<l" + std::to_string(i) + ">";
    doc += inner;
    for (int i = levels; i >= 1; --i)
        doc += "</l" + std::to_string(i) + ">";
    return doc;
}

// A file in the test's temporary directory holding `content`; its path.
inline std::string temp_file(const std::string &name, const std::string &content) {
    std::string path = ::testing::TempDir() + "kovrel_xml_" + std::to_string(getpid()) + "_" + name;
    std::ofstream(path) << content;
    return path;
}

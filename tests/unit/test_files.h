// File helpers shared by the unit tests that work in a temporary board root.
#pragma once
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace test_files {
namespace fs = std::filesystem;

inline std::string slurp(const fs::path &p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Writes text to p, making its directories first.
inline void put(const fs::path &p, const std::string &text) {
    fs::create_directories(p.parent_path());
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f << text;
}

// A fresh directory under /tmp named after the test program.
inline fs::path temp_root(const char *name) {
    std::string tmpl = std::string("/tmp/agw_") + name + "_XXXXXX";
    char *dir = mkdtemp(tmpl.data());
    return dir ? fs::path(dir) : fs::path();
}
}  // namespace test_files

#include "support/tmpdir.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tavtest {

TempDir::TempDir() {
    // Under /var/tmp: O_DIRECT needs a file system that supports it (tmpfs
    // on /tmp would exercise the buffered fall-back instead).
    char tmpl[] = "/var/tmp/tavtest.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_text(const std::string &path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace tavtest

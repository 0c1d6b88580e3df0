#include "support/tmpdir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tavtest {

namespace {

// The newest live directory of this process, inherited by the processes a
// death test starts: their fixtures die without running destructors, so
// they make their directories inside it and the parent removes them.
constexpr const char *kOwnerEnv = "TAVTEST_TMPDIR_OWNER";

bool in_death_test_child() {
    return !GTEST_FLAG_GET(internal_run_death_test).empty();
}

} // namespace

TempDir::TempDir() {
    // Under /var/tmp: O_DIRECT needs a file system that supports it (tmpfs
    // on /tmp would exercise the buffered fall-back instead).
    std::string base = "/var/tmp";
    const char *owner = getenv(kOwnerEnv);
    if (in_death_test_child() && owner != nullptr && std::filesystem::is_directory(owner))
        base = owner;
    std::string tmpl = base + "/tavtest.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
    if (owner != nullptr)
        prev_owner_ = owner;
    setenv(kOwnerEnv, path_.c_str(), 1);
}

TempDir::~TempDir() {
    if (prev_owner_.empty())
        unsetenv(kOwnerEnv);
    else
        setenv(kOwnerEnv, prev_owner_.c_str(), 1);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_text(const std::string &path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

} // namespace tavtest

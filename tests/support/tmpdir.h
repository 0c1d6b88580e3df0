// Temporary directory removed with its contents when the object goes away
// (also the directories made by the death-test processes it outlives);
// reading a whole file.
#ifndef TAV_TEST_TMPDIR_H
#define TAV_TEST_TMPDIR_H

#include <string>

namespace tavtest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
    std::string prev_owner_; // restored when this directory goes away
};

// The file's contents; empty when it cannot be read.
std::string read_text(const std::string &path);

} // namespace tavtest

#endif

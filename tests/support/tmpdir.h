// Temporary directory removed with its contents when the object goes away.
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
};

}  // namespace tavtest

#endif

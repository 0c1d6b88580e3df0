#include "support/process.h"

#include <stdlib.h>
#include <sys/wait.h>

#include "support/tmpdir.h"

namespace tavtest {

ProcessResult run_command(const std::string &dir, const std::string &command) {
    const std::string out = dir + "/.stdout", err = dir + "/.stderr";
    int st = system((command + " >" + out + " 2>" + err).c_str());
    return ProcessResult{WIFEXITED(st) ? WEXITSTATUS(st) : -1, read_text(out), read_text(err)};
}

} // namespace tavtest

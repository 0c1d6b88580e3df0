// Programs as processes: a shell command run to completion with its standard
// output and error captured, for the tests of the tools.
#ifndef TAV_TEST_PROCESS_H
#define TAV_TEST_PROCESS_H

#include <string>

namespace tavtest {

struct ProcessResult {
    int status; // exit status; -1 when the process did not exit normally
    std::string out, err;
};

// Runs `command` with sh; its output goes through files in `dir`.
ProcessResult run_command(const std::string &dir, const std::string &command);

} // namespace tavtest

#endif

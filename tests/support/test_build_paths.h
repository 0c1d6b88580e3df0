// The system directories of a tool's test build: the lock, configuration and
// log directories are taken from TAVTEST_RUN_DIR, TAVTEST_CFG_DIR and
// TAVTEST_LOG_DIR.  All three are required, so that a test build can never
// fall back to the real directories.  Called first thing in main().
#ifndef TAV_TEST_BUILD_PATHS_H
#define TAV_TEST_BUILD_PATHS_H

namespace tavtest {

// Points the system directories at the three from the environment and
// returns true; when one is missing, says so on stderr (naming `prog`),
// changes nothing and returns false.
bool test_build_paths_from_env(const char *prog);

// The exit status of a test build started without its directories.
constexpr int kTestBuildNoPaths = 99;

} // namespace tavtest

#endif

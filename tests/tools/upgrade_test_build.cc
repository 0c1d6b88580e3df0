// tav_upgrade as the tests run it: the same program, with its system
// directories taken from the environment (support/test_build_paths.h) and the
// progress interval from TAVTEST_PROGRESS_MS when set.
#include <stdlib.h>

#include "progress.h"
#include "support/test_build_paths.h"
#include "upgrade_cli.h"

int main(int argc, char **argv) {
    if (!tavtest::test_build_paths_from_env(argv[0]))
        return tavtest::kTestBuildNoPaths;
    if (const char *ms = getenv("TAVTEST_PROGRESS_MS"))
        tav_progress_set_interval_ms(strtoull(ms, nullptr, 10));
    return tav_upgrade_cli_main(argc, argv);
}

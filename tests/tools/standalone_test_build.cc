// tav_standalone as the tests run it: the same daemon, with the lock,
// configuration and log directories taken from TAVTEST_RUN_DIR,
// TAVTEST_CFG_DIR and TAVTEST_LOG_DIR (all required, so that a test can never
// fall back to the real ones).
#include <stdio.h>
#include <stdlib.h>

#include "daemon.h"
#include "paths.h"

int main(int argc, char **argv) {
    const char *run = getenv("TAVTEST_RUN_DIR"), *cfg = getenv("TAVTEST_CFG_DIR"),
               *log = getenv("TAVTEST_LOG_DIR");
    if (run == nullptr || cfg == nullptr || log == nullptr) {
        fprintf(stderr, "%s: TAVTEST_RUN_DIR, TAVTEST_CFG_DIR and TAVTEST_LOG_DIR are required\n", argv[0]);
        return 99;
    }
    tav_paths_override(run, cfg, log);
    return tav_standalone_main(argc, argv);
}

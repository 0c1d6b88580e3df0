#include "support/test_build_paths.h"

#include <stdio.h>
#include <stdlib.h>

#include "paths.h"

namespace tavtest {

bool test_build_paths_from_env(const char *prog) {
    const char *run = getenv("TAVTEST_RUN_DIR"), *cfg = getenv("TAVTEST_CFG_DIR"),
               *log = getenv("TAVTEST_LOG_DIR");
    if (run == nullptr || cfg == nullptr || log == nullptr) {
        fprintf(stderr, "%s: TAVTEST_RUN_DIR, TAVTEST_CFG_DIR and TAVTEST_LOG_DIR are required\n", prog);
        return false;
    }
    tav_paths_override(run, cfg, log);
    return true;
}

} // namespace tavtest

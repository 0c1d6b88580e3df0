// tav_standalone as the tests run it: the same daemon, with its system
// directories taken from the environment (support/test_build_paths.h).
#include "daemon.h"
#include "support/test_build_paths.h"

int main(int argc, char **argv) {
    if (!tavtest::test_build_paths_from_env(argv[0]))
        return tavtest::kTestBuildNoPaths;
    return tav_standalone_main(argc, argv);
}

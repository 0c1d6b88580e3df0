// GoogleTest fixtures of the hx_tier process tests: a temporary directory
// holding the device file and the tool's log, the tool run on that device,
// and the test devices of tier_fixture.h written before every test.
#ifndef TIER_TEST_H
#define TIER_TEST_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/tmpdir.h"
#include "tier_fixture.h"

namespace tiertest {

class TierToolTest : public ::testing::Test {
protected:
    tavtest::TempDir dir;
    std::string dev = dir.path() + "/dev";

    // hx_tier with exactly `args` (and the test's log file).
    ToolRun run(const std::vector<std::string> &args) { return run_tool(dir.path(), args); }
    // hx_tier on the test's device: "-p <dev>", then `args`.
    ToolRun tool(std::vector<std::string> args) {
        args.insert(args.begin(), {"-p", dev});
        return run(args);
    }
    std::string log() { return read_file(dir.path() + "/hx_tier.log"); }
};

// The fixture `Base` on the device `Make` builds (kept in `d`), written to
// the device file before every test.
template <typename Base, typename Dev, Dev (*Make)()> class OnDevice : public Base {
protected:
    Dev d = Make();
    void SetUp() override { d.img.write(this->dev); }
};

} // namespace tiertest

#endif

#include "support/instance.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "inode.h"
#include "ioengine.h"
#include "kvol.h"
#include "super.h"
#include "support/device.h"
#include "support/fault_engine.h"
#include "support/log_capture.h"
#include "logger.h"
#include "memory.h"
#include "paths.h"

namespace tavtest {

void common_cbk(int64_t op_ret, uint32_t op_errno, void *data) {
    CbkResult *r = static_cast<CbkResult *>(data);
    r->called = true;
    r->calls++;
    r->ret = op_ret;
    r->err = op_errno;
}

void open_cbk(int64_t op_ret, uint32_t op_errno, void *data, tav_fd *fd) {
    common_cbk(op_ret, op_errno, data);
    static_cast<CbkResult *>(data)->fd = fd;
}

void init_cbk(ssize_t op_ret, uint32_t op_errno, void *data, tav *instance) {
    common_cbk(op_ret, op_errno, data);
    static_cast<CbkResult *>(data)->instance = instance;
}

namespace {
void format_on(const char *engine, const std::string &path, uint64_t blocks, uint64_t groups) {
    tav_iobuf_pool_init();
    ASSERT_EQ(0, ioengine_default_init(driver(), engine, path.c_str(), O_RDWR));
    if (blocks == 0) {
        ioengine_statdev st;
        ASSERT_EQ(0, ioengine_statdev_get(ioengine_get_default(), &st));
        blocks = st.phy_length >> 20;
    }
    int ret = -1;
    run_coroutine([&] {
        tav_sb_format_args args = {blocks, groups, path.c_str()};
        ret = tav_sb_format_instance(
            &args, [](void *, blkno_t ibegin, uint64_t count) { return tav_inode_format(ibegin, count); },
            nullptr);
    });
    ioengine_default_fini();
    ASSERT_EQ(0, ret);
}
} // namespace

void format_device(const std::string &path, uint64_t blocks, uint64_t groups) {
    make_file(path, static_cast<off_t>(blocks << 20));
    format_on("libaio", path, blocks, groups);
}

void format_volume(const std::string &path, uint64_t blocks, uint64_t groups) {
    make_file(path, 2LL << 30);
    kvol_mkfs_param_t p = {0, 0, path.c_str()};
    ASSERT_EQ(0, kvol_mkfs(&p));
    format_on("kvol", path, blocks, groups);
}

void InstanceTest::SetUp() {
    run_dir_ = dir_.path() + "/run";
    std::string cfg = dir_.path() + "/cfg", log = dir_.path() + "/log";
    mkdir(run_dir_.c_str(), 0755);
    mkdir(cfg.c_str(), 0755);
    mkdir(log.c_str(), 0755);
    tav_paths_override(run_dir_.c_str(), cfg.c_str(), log.c_str());
    log_path_ = dir_.path() + "/tav.log";
    setenv("TAV_IOENGINE", "libaio", 1);
    setenv("TAV_LOG_TARGET", log_path_.c_str(), 1);
    setenv("TAV_LOG_LEVEL", "TRACE", 1);
    dev_ = dir_.path() + "/dev.img";
    format_device(dev_, 200);
}

void InstanceTest::TearDown() {
    logger_set_target(LOG_TARGET_STDOUT, nullptr);
    unsetenv("TAV_LOG_TARGET");
}

void InstanceTest::use_engine(const std::string &engine, bool faults, uint64_t volume_blocks) {
    bool volume = engine == "kvol";
    if (volume) {
        dev_ = dir_.path() + "/vol.img";
        format_volume(dev_, volume_blocks);
        raw_base_ = kVolumeDataStart;
    }
    if (faults) {
        FaultEngine &f = fault_engine();
        f.reset();
        f.backend = volume ? "kvol" : "libaio";
        setenv("TAV_IOENGINE", kFaultEngine, 1);
    } else {
        setenv("TAV_IOENGINE", engine.c_str(), 1);
    }
}

bool InstanceTest::call(CbkResult *res, const std::function<int(CbkResult *)> &start) {
    *res = CbkResult{};
    int r = start(res);
    EXPECT_EQ(0, r) << "the request was not launched";
    if (r != 0)
        return false;
    bool done = wait(res);
    EXPECT_TRUE(done) << "the callback never came";
    return done;
}

int InstanceTest::init(const std::string &path, int flags, CbkResult *res, bool expect_ok) {
    int r = tav_init_async(driver(), path.c_str(), flags, init_cbk, res);
    if (r == 0) {
        EXPECT_TRUE(wait(res)) << "init callback never came";
        if (res->ret != 0 && expect_ok) {
            // Show why: the instance's error lines.
            for (const auto &l : log_lines())
                if (l.find("] E ") != std::string::npos)
                    ADD_FAILURE() << "init failed: " << l;
        }
    }
    return r;
}

void InstanceTest::fini(tav *instance) {
    CbkResult res;
    ASSERT_EQ(0, tav_fini(instance, common_cbk, &res));
    ASSERT_TRUE(wait(&res));
    EXPECT_EQ(0, res.ret);
}

std::vector<std::string> InstanceTest::log_lines() const {
    return read_lines(log_path_);
}

bool InstanceTest::log_contains(const std::string &text) const {
    return count_lines_with(log_lines(), text) > 0;
}

} // namespace tavtest

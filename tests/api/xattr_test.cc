// Extended attributes on a running instance, on both engines: one key and
// whole dictionaries, by name and by handle; namespaces, the page's size
// limits, when a change reaches the device, the block-device key, and what
// survives a restart.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>

#include "fd.h"
#include "file_api.h"
#include "instance.h"
#include "support/bytes.h"
#include "support/log_capture.h"
#include "timer.h"
#include "xattr.h"
#include "xdict.h"

namespace {

using filetest::FileApi;
using filetest::gfid;
using filetest::Gfid;
using tavtest::CbkResult;
using tavtest::common_cbk;

class Xattr : public FileApi {
protected:
    void SetUp() override {
        FileApi::SetUp();
        fd_ = create(name_);
        ASSERT_NE(nullptr, fd_);
    }
    void TearDown() override {
        if (fd_)
            tav_close(fd_);
        FileApi::TearDown();
    }
    void restart() {
        tav_close(fd_);
        fd_ = nullptr;
        FileApi::restart();
        CbkResult r = open(name_, O_RDWR);
        ASSERT_EQ(0, r.ret);
        fd_ = r.fd;
    }

    // One request by name (`by_handle` false) or through fd_.
    CbkResult set(const std::string &key, const std::string &value, int flag = 0, bool by_handle = false) {
        CbkResult r;
        call(&r, [&](CbkResult *res) {
            return by_handle ? tav_fsetxattr_async(fd_, key.c_str(), value.data(), value.size(), flag,
                                                   nullptr, nullptr, common_cbk, res)
                             : tav_setxattr_async(inst_, name_.b, key.c_str(), value.data(), value.size(),
                                                  flag, nullptr, nullptr, common_cbk, res);
        });
        return r;
    }
    CbkResult get(const std::string &key, void *buf, size_t size, bool by_handle = false) {
        CbkResult r;
        call(&r, [&](CbkResult *res) {
            return by_handle ? tav_fgetxattr_async(fd_, key.c_str(), buf, size, common_cbk, res)
                             : tav_getxattr_async(inst_, name_.b, key.c_str(), buf, size, common_cbk, res);
        });
        return r;
    }
    CbkResult remove(const std::string &key, int flag = 0, bool by_handle = false) {
        CbkResult r;
        call(&r, [&](CbkResult *res) {
            return by_handle
                       ? tav_fremovexattr_async(fd_, key.c_str(), flag, nullptr, nullptr, common_cbk, res)
                       : tav_removexattr_async(inst_, name_.b, key.c_str(), flag, nullptr, nullptr,
                                               common_cbk, res);
        });
        return r;
    }
    CbkResult list(void *buf, size_t size, bool by_handle = false) {
        CbkResult r;
        call(&r, [&](CbkResult *res) {
            return by_handle ? tav_flistxattr_async(fd_, buf, size, common_cbk, res)
                             : tav_listxattr_async(inst_, name_.b, buf, size, common_cbk, res);
        });
        return r;
    }
    // The file's value of `key` ("" when absent), read back through the API.
    std::string value_of(const std::string &key) {
        char buf[4096];
        CbkResult r = get(key, buf, sizeof(buf));
        return r.ret < 0 ? std::string() : std::string(buf, static_cast<size_t>(r.ret));
    }
    // The keys as the file lists them.
    std::set<std::string> keys() {
        char buf[4096];
        CbkResult r = list(buf, sizeof(buf));
        std::set<std::string> out;
        for (int64_t i = 0; i < r.ret; i += static_cast<int64_t>(strlen(buf + i)) + 1)
            out.insert(buf + i);
        return out;
    }
    // Whether the newest copy of the file's slot on the device holds `text`.
    bool on_device(const std::string &text) {
        std::vector<uint8_t> slot = raw_slot(fd_->inode->ondisk.i_no);
        const uint8_t *a = slot.data(), *b = a + 4096;
        const uint8_t *page = tavtest::get64(a + 24) > tavtest::get64(b + 24) ? a : b;
        return std::search(page, page + 4096, text.begin(), text.end()) != page + 4096;
    }
    // One dirty-timer tick, run now.
    void dirty_tick() {
        in_coroutine([&] { tav_itable_dirty_tick(&inst_->itable); });
    }

    Gfid name_ = gfid(1);
    tav_fd *fd_ = nullptr;
};

TEST_P(Xattr, GetOneKey) {
    ASSERT_EQ(0, set("user.k", "value").ret);
    for (bool by_handle : {false, true}) {
        char buf[8] = {};
        const struct {
            const char *what;
            const char *key;
            void *buf;
            size_t size;
            int64_t ret;
            uint32_t err;
        } cases[] = {
            {"size query", "user.k", nullptr, 0, 5, 0},
            {"buffer one byte short", "user.k", buf, 4, -1, ERANGE},
            {"exact buffer", "user.k", buf, 5, 5, 0},
            {"absent key", "user.nope", buf, sizeof(buf), -1, ENODATA},
        };
        for (const auto &c : cases) {
            CbkResult r = get(c.key, c.buf, c.size, by_handle);
            EXPECT_EQ(c.ret, r.ret) << c.what << (by_handle ? " by handle" : "");
            EXPECT_EQ(c.err, r.err) << c.what << (by_handle ? " by handle" : "");
        }
        EXPECT_EQ(0, memcmp(buf, "value", 5));
    }
    EXPECT_TRUE(log_contains("buffer(4) is smaller than needed(5)"));
    EXPECT_TRUE(log_contains("] D ") && log_contains("the attribute for user.nope not exist"));
}

TEST_P(Xattr, OnlyTheFourNamespaces) {
    const struct {
        const char *key;
        bool ok;
    } cases[] = {
        {"security.a", true}, {"system.a", true},   {"trusted.a", true}, {"user.a", true},
        {"user.", true},      {"trusted.", true},   {"foo.a", false},    {"user", false},
        {"users.a", false},   {"Trusted.a", false}, {".user.a", false},  {"usertrusted.", false},
    };
    std::set<std::string> want;
    for (const auto &c : cases) {
        CbkResult r = set(c.key, "v");
        EXPECT_EQ(c.ok ? 0 : -1, r.ret) << c.key;
        EXPECT_EQ(c.ok ? 0u : (uint32_t)EOPNOTSUPP, r.err) << c.key;
        if (c.ok)
            want.insert(c.key);
        else
            EXPECT_EQ(2u, tavtest::count_lines_with(log_lines(), std::string("namespace for key[") + c.key +
                                                                     "] not supported"))
                << "logged by the check and by the handler";
    }
    EXPECT_EQ(want, keys()) << "refused keys change nothing";
}

TEST_P(Xattr, SizeLimitOfAnInlineFileKeepsThePreviousValue) {
    // Serialised: 2 bytes of count, then per item key + value + 5 bytes.
    const std::string k = "user.k"; // 6 characters: 2 + 6 + v + 5 = 13 + v
    std::string old(100, 'o');
    ASSERT_EQ(0, set(k, old).ret);
    CbkResult r = set(k, std::string(1524, 'n')); // 1537 bytes
    EXPECT_EQ(-1, r.ret);
    EXPECT_EQ((uint32_t)ENOSPC, r.err);
    EXPECT_TRUE(log_contains("serialized size(1537) exceed limit(1536)"));
    EXPECT_EQ(old, value_of(k)) << "the previous value stays";
    std::string full(1523, 'f'); // exactly 1536 bytes
    ASSERT_EQ(0, set(k, full).ret);
    EXPECT_EQ((uint32_t)ENOSPC, set("user.x", "1").err) << "a new key past the limit";
    EXPECT_EQ(std::set<std::string>{k}, keys());

    // A dictionary set is held to the same limit, before anything changes.
    xdict *d = xdict_new();
    xdict_set(d, "user.a", "1", 1);
    xdict_set(d, "user.x", "2", 1);
    CbkResult w;
    ASSERT_TRUE(call(&w, [&](CbkResult *res) {
        return tav_fsetxattr_with_dict_async(fd_, d, 0, nullptr, nullptr, common_cbk, res);
    }));
    xdict_destroy(d);
    EXPECT_EQ((uint32_t)ENOSPC, w.err);
    EXPECT_EQ(std::set<std::string>{k}, keys());

    restart();
    EXPECT_EQ(full, value_of(k));
}

TEST_P(Xattr, SizeLimitOfAnExtentFile) {
    // A pre-mapped file keeps no inline data: its page leaves 3584 bytes.
    Gfid g = gfid(2);
    CbkResult c = create_ex(g, first_granule(), 16, 1048576);
    ASSERT_EQ(0, c.ret);
    tav_close(fd_);
    fd_ = c.fd;
    name_ = g;
    EXPECT_EQ((uint32_t)ENOSPC, set("user.k", std::string(3572, 'x')).err);
    EXPECT_TRUE(log_contains("serialized size(3585) exceed limit(3584)"));
    ASSERT_EQ(0, set("user.k", std::string(3571, 'x')).ret);
    restart();
    EXPECT_EQ(3571u, value_of("user.k").size());
}

TEST_P(Xattr, SyncFlagsDecideWhenTheDeviceSeesTheChange) {
    // The timer is driven by hand here, so that nothing flushes unseen.
    tav_timer_stop(inst_->dirty_timer);
    const struct {
        int flag;
        bool at_once;
    } cases[] = {
        {0, true}, {TAV_XATTR_CREATE, true}, {TAV_XATTR_REPLACE, true}, {TAV_XATTR_SYNC_DELAYED, false}};
    for (const auto &c : cases) {
        std::string key = "user.flag" + std::to_string(c.flag), value = "VALUE-" + std::to_string(c.flag);
        CbkResult r = set(key, value, c.flag);
        ASSERT_EQ(0, r.ret) << "flag " << c.flag << " on an absent key creates it";
        EXPECT_EQ(value, value_of(key));
        EXPECT_EQ(c.at_once, on_device(value)) << "flag " << c.flag;
        dirty_tick();
        EXPECT_TRUE(on_device(value)) << "flag " << c.flag << " after the next flush";
    }

    // Held: no tick writes it until a sync with 5 releases it.
    ASSERT_EQ(0, set("user.held", "HELD-VALUE", TAV_XATTR_SYNC_HOLD).ret);
    dirty_tick();
    dirty_tick();
    EXPECT_FALSE(on_device("HELD-VALUE"));
    CbkResult s;
    ASSERT_TRUE(call(&s, [&](CbkResult *res) {
        return tav_sync_async(inst_, name_.b, TAV_XATTR_SYNC_RESUME, common_cbk, res);
    }));
    ASSERT_EQ(0, s.ret);
    dirty_tick();
    EXPECT_TRUE(on_device("HELD-VALUE"));

    // Remove: 3 waits for the flush, 4 writes at once.
    ASSERT_EQ(0, remove("user.flag0", TAV_XATTR_SYNC_DELAYED).ret);
    EXPECT_TRUE(on_device("VALUE-0"));
    dirty_tick();
    EXPECT_FALSE(on_device("VALUE-0"));
    ASSERT_EQ(0, remove("user.flag1", TAV_XATTR_SYNC_HOLD).ret);
    EXPECT_FALSE(on_device("VALUE-1"));
    tav_timer_start(inst_->dirty_timer);
}

TEST_P(Xattr, AHeldChangeIsWrittenAtAStop) {
    ASSERT_EQ(0, set("user.held", "kept", TAV_XATTR_SYNC_HOLD).ret);
    restart();
    EXPECT_EQ("kept", value_of("user.held"));
}

TEST_P(Xattr, RemoveOneKey) {
    ASSERT_EQ(0, set("user.a", "1").ret);
    ASSERT_EQ(0, set("user.b", "2").ret);
    struct stat pre, post;
    CbkResult r;
    ASSERT_TRUE(call(&r, [&](CbkResult *res) {
        return tav_fremovexattr_async(fd_, "user.a", 0, &pre, &post, common_cbk, res);
    }));
    ASSERT_EQ(0, r.ret);
    EXPECT_GE(post.st_ctim.tv_sec * 1000000000ll + post.st_ctim.tv_nsec,
              pre.st_ctim.tv_sec * 1000000000ll + pre.st_ctim.tv_nsec);
    EXPECT_EQ(std::set<std::string>{"user.b"}, keys());
    EXPECT_TRUE(log_contains("delete xattr: user.a"));
    CbkResult absent = remove("user.a");
    EXPECT_EQ(-1, absent.ret);
    EXPECT_EQ((uint32_t)ENODATA, absent.err);
    // An absent key is an answer, not a failure: logged at TRACE only.
    bool error_line = false, trace_line = false;
    for (const auto &l : log_lines()) {
        if (l.find("removexattr: -1(No data available)") == std::string::npos)
            continue;
        error_line |= l.find("] E ") != std::string::npos;
        trace_line |= l.find("] T ") != std::string::npos;
    }
    EXPECT_TRUE(trace_line);
    EXPECT_FALSE(error_line);
    restart();
    EXPECT_EQ(std::set<std::string>{"user.b"}, keys());
}

TEST_P(Xattr, ListLengths) {
    char buf[64];
    EXPECT_EQ(0, list(nullptr, 0).ret) << "no keys";
    const std::set<std::string> want = {"user.a", "trusted.bb", "security.ccc"};
    for (const auto &k : want)
        ASSERT_EQ(0, set(k, "v").ret);
    const int64_t total = 7 + 11 + 13;
    for (bool by_handle : {false, true}) {
        EXPECT_EQ(total, list(nullptr, 0, by_handle).ret);
        memset(buf, 0x7f, sizeof(buf));
        CbkResult exact = list(buf, static_cast<size_t>(total), by_handle);
        EXPECT_EQ(total, exact.ret);
        std::set<std::string> got;
        for (int64_t i = 0; i < total; i += static_cast<int64_t>(strlen(buf + i)) + 1)
            got.insert(buf + i);
        EXPECT_EQ(want, got);
        EXPECT_EQ(0x7f, buf[total]) << "nothing written past the list";
        CbkResult short_by_one = list(buf, static_cast<size_t>(total) - 1, by_handle);
        EXPECT_EQ(-1, short_by_one.ret);
        EXPECT_EQ((uint32_t)ERANGE, short_by_one.err);
    }
    EXPECT_TRUE(log_contains("xattr unserialize failed"));
    // Each file lists only its own keys.
    Gfid other = gfid(3);
    make(other);
    CbkResult r;
    ASSERT_TRUE(call(&r, [&](CbkResult *res) {
        return tav_listxattr_async(inst_, other.b, nullptr, 0, common_cbk, res);
    }));
    EXPECT_EQ(0, r.ret);
}

TEST_P(Xattr, TheBlockDeviceKeyMakesTheFileABlockDeviceFile) {
    ASSERT_FALSE(fd_->inode->ondisk.i_type & TAV_FILE_TYPE_BD);
    ASSERT_EQ(0, set(TAV_XATTR_BD_KEY, "1").ret);
    EXPECT_TRUE(fd_->inode->ondisk.i_type & TAV_FILE_TYPE_BD);
    EXPECT_TRUE(log_contains("fix inode bd type"));
    restart();
    EXPECT_TRUE(fd_->inode->ondisk.i_type & TAV_FILE_TYPE_BD);
}

TEST_P(Xattr, WholeDictionaries) {
    xdict *in = xdict_new();
    xdict_set(in, "user.a", "1", 1);
    xdict_set(in, "trusted.b", "22", 2);
    CbkResult r;
    ASSERT_TRUE(call(&r, [&](CbkResult *res) {
        return tav_setxattr_with_dict_async(inst_, name_.b, in, 0, nullptr, nullptr, common_cbk, res);
    }));
    EXPECT_EQ(0, r.ret);
    // Items join what the caller's dictionary holds; the caller keeps it.
    xdict *out = xdict_new();
    xdict_set(out, "user.mine", "m", 1);
    xdict_set(out, "user.a", "old", 3);
    for (bool by_handle : {false, true}) {
        ASSERT_TRUE(call(&r, [&](CbkResult *res) {
            return by_handle ? tav_fgetxattr_with_dict_async(fd_, out, common_cbk, res)
                             : tav_getxattr_with_dict_async(inst_, name_.b, out, common_cbk, res);
        }));
        EXPECT_EQ(0, r.ret);
        EXPECT_EQ(3, xdict_item_cnt(out));
        size_t n = 0;
        EXPECT_EQ(0, memcmp("1", xdict_get_data(out, "user.a", &n), 1));
        EXPECT_EQ(1u, n);
        EXPECT_EQ(0, memcmp("22", xdict_get_data(out, "trusted.b", &n), 2));
    }
    // One refused key refuses the whole dictionary.
    xdict *bad = xdict_new();
    xdict_set(bad, "user.ok", "1", 1);
    xdict_set(bad, "bad.key", "1", 1);
    ASSERT_TRUE(call(&r, [&](CbkResult *res) {
        return tav_fsetxattr_with_dict_async(fd_, bad, 0, nullptr, nullptr, common_cbk, res);
    }));
    EXPECT_EQ((uint32_t)EOPNOTSUPP, r.err);
    EXPECT_EQ((std::set<std::string>{"user.a", "trusted.b"}), keys());
    restart();
    EXPECT_EQ((std::set<std::string>{"user.a", "trusted.b"}), keys());
    xdict_destroy(in);
    xdict_destroy(out);
    xdict_destroy(bad);
}

TEST_P(Xattr, AGetDuringASetSeesTheNewValue) {
    ASSERT_EQ(0, set("user.k", "old").ret);
    CbkResult s, g;
    char buf[8] = {};
    ASSERT_EQ(0, tav_setxattr_async(inst_, name_.b, "user.k", "new", 3, 0, nullptr, nullptr, common_cbk, &s));
    ASSERT_FALSE(s.called) << "the set waits for its inode write";
    ASSERT_EQ(0, tav_fgetxattr_async(fd_, "user.k", buf, sizeof(buf), common_cbk, &g));
    ASSERT_TRUE(tavtest::run_until([&] { return s.called && g.called; }));
    EXPECT_EQ(0, s.ret);
    EXPECT_EQ(3, g.ret);
    EXPECT_EQ(std::string("new"), std::string(buf, 3));
}

TEST_P(Xattr, SynchronousHelpers) {
    ASSERT_EQ(0, set("user.k", "value").ret);
    ssize_t absent = -1, query = -1, small = 0, exact = -1, all = -1, unknown = 0, mismatched[4] = {};
    char buf[64];
    in_coroutine([&] {
        absent = tav_getxattr(inst_, name_.b, "user.nope", buf, sizeof(buf));
        query = tav_getxattr(inst_, name_.b, "user.k", nullptr, 0);
        small = tav_getxattr(inst_, name_.b, "user.k", buf, 2);
        exact = tav_getxattr(inst_, name_.b, "user.k", buf, 5);
        all = tav_get_all_keys(inst_, name_.b, nullptr, 0);
        unknown = tav_get_all_keys(inst_, gfid(9).b, nullptr, 0);
        mismatched[0] = tav_get_all_keys(inst_, name_.b, buf, 0);
        mismatched[1] = tav_get_all_keys(inst_, name_.b, nullptr, 8);
        mismatched[2] = tav_getxattr(inst_, name_.b, nullptr, buf, sizeof(buf));
        mismatched[3] = tav_getxattr(inst_, name_.b, "", buf, sizeof(buf));
    });
    for (ssize_t m : mismatched)
        EXPECT_EQ(-EINVAL, m) << "bad arguments are refused, not trusted";
    EXPECT_EQ(0, absent) << "an absent key is 0 here";
    EXPECT_EQ(5, query);
    EXPECT_EQ(-EINVAL, small);
    EXPECT_EQ(5, exact);
    EXPECT_EQ(7, all);
    EXPECT_EQ(-EINVAL, unknown);
    EXPECT_TRUE(log_contains("buffer(2) is smaller than needed(5)"));
}

TEST_P(Xattr, CreateWithAnInitialDictionary) {
    xdict *d = xdict_new();
    xdict_set(d, "user.born", "yes", 3);
    Gfid g = gfid(4);
    CbkResult r;
    ASSERT_TRUE(call(&r, [&](CbkResult *res) {
        return tav_open_with_dict_async(inst_, g.b, O_RDWR | O_CREAT, 0644, d, tavtest::open_cbk, res);
    }));
    ASSERT_EQ(0, r.ret);
    tav_close(r.fd);
    xdict_set(d, "other.key", "x", 1);
    Gfid h = gfid(5);
    ASSERT_TRUE(call(&r, [&](CbkResult *res) {
        return tav_open_with_dict_async(inst_, h.b, O_RDWR | O_CREAT, 0644, d, tavtest::open_cbk, res);
    }));
    xdict_destroy(d);
    EXPECT_EQ((uint32_t)EOPNOTSUPP, r.err);
    EXPECT_EQ(nullptr, inode(h)) << "no file was made";
    tav_close(fd_);
    fd_ = nullptr;
    FileApi::restart();
    name_ = g;
    EXPECT_EQ("yes", value_of("user.born"));
}

INSTANTIATE_TEST_SUITE_P(Engines, Xattr, ::testing::Values("libaio", "kvol"),
                         [](const auto &info) { return std::string(info.param); });

} // namespace

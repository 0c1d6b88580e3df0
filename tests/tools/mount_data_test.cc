// Data through tav_standalone with the tools people use on files: cp and
// cmp, dd, truncate and fallocate checked step by step against the same
// commands on a file of the local file system, extended attributes with
// setfattr and getfattr, fio with verification, and qemu-img convert and
// compare.  What was written is read back again after a remount, past the
// kernel's page cache.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "mount_fixture.h"

namespace {

using tavtest::Backend;
using tavtest::new_uuid;

class MountDataTest : public tavtest::MountTest {
protected:
    void SetUp() override {
        tavtest::MountTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        src_ = dir_.path() + "/src";
        ASSERT_EQ(0, sh("head -c 16777216 /dev/urandom > " + src_).status);
    }

    // Runs `cmd` with every "{F}" replaced by `file`.
    tavtest::ProcessResult on(std::string cmd, const std::string &file) {
        for (size_t p; (p = cmd.find("{F}")) != std::string::npos;)
            cmd.replace(p, 3, file);
        return sh(cmd);
    }
    static long long size_of(const std::string &path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    }
    void expect_same(const std::string &a, const std::string &b, const std::string &what) {
        EXPECT_EQ(size_of(a), size_of(b)) << what;
        tavtest::ProcessResult r = sh("cmp " + a + " " + b);
        EXPECT_EQ(0, r.status) << what << ": " << r.out << r.err;
    }

    std::string src_;
};

TEST_P(MountDataTest, CpAndCmp) {
    ASSERT_TRUE(start());
    const std::string odd = dir_.path() + "/odd";
    ASSERT_EQ(0, sh("head -c 6291579 " + src_ + " > " + odd).status); // 6 MiB + 123 bytes
    const std::string a = at(new_uuid()), b = at(new_uuid());
    ASSERT_EQ(0, sh("cp " + src_ + " " + a + " && cp " + odd + " " + b).status);
    expect_same(src_, a, "16 MiB");
    expect_same(odd, b, "6 MiB + 123");
    // Copies within the mount and back out of it.
    const std::string c = at(new_uuid()), back = dir_.path() + "/back";
    ASSERT_EQ(0, sh("cp " + a + " " + c + " && cp " + b + " " + back).status);
    expect_same(src_, c, "copy on the mount");
    expect_same(odd, back, "copy back");
    stop();
    ASSERT_TRUE(start());
    expect_same(src_, a, "16 MiB after remount");
    expect_same(odd, b, "6 MiB + 123 after remount");
    stop();
}

// Each step runs on a local model file and on a file of the mount; after
// each the two must hold the same bytes and size.
TEST_P(MountDataTest, DdTruncateFallocateMatchAModel) {
    ASSERT_TRUE(start());
    const std::string model = dir_.path() + "/model", file = at(new_uuid());
    const std::string s = " if=" + src_ + " of={F} conv=notrunc status=none ";
    const std::vector<std::string> steps = {
        "dd" + s + "bs=4k count=300",
        "dd" + s + "bs=1M seek=3 count=2 oflag=direct",
        "dd" + s + "bs=512 seek=1001 skip=7 count=77",
        "dd" + s + "bs=64k seek=100 skip=3 count=5 oflag=direct",
        "dd" + s + "bs=1000 seek=4321 skip=11 count=3",
        "dd" + s + "bs=128k seek=90 skip=40 count=1 oflag=direct,dsync",
        "dd" + s + "bs=3M seek=2 skip=1 count=1",
        "truncate -s 0 {F}",
        "dd" + s + "bs=1M count=3 skip=5",
        "truncate -s 9M {F}",
        "truncate -s 5000001 {F}",
        "truncate -s 7M {F}",
        "dd" + s + "bs=4096 seek=1500 count=10 oflag=direct",
        "fallocate --punch-hole -o 1M -l 256k {F}",
        "fallocate --punch-hole --keep-size -o 4096 -l 8192 {F}",
        "fallocate --zero-range -o 2093056 -l 8192 {F}",
        "fallocate --zero-range -o 100 -l 5000 {F}",
        "fallocate --keep-size -o 6M -l 4M {F}",
        "fallocate -o 12M -l 1M {F}",
        "fallocate --zero-range -o 12582912 -l 1050000 {F}",
        "fallocate --zero-range --keep-size -o 14M -l 1M {F}",
        "fallocate --keep-size -o 1M -l 20M {F}",
        "dd" + s + "bs=4k seek=256 count=64 oflag=direct",
    };
    for (const std::string &step : steps) {
        SCOPED_TRACE(step);
        tavtest::ProcessResult m = on(step, model), f = on(step, file);
        ASSERT_EQ(0, m.status) << "on the model: " << m.err;
        ASSERT_EQ(0, f.status) << "on the mount: " << f.err;
        expect_same(model, file, step);
    }
    // Read with O_DIRECT, past the page cache.
    tavtest::ProcessResult r = sh("dd if=" + file + " iflag=direct bs=1M status=none | cmp - " + model);
    EXPECT_EQ(0, r.status) << r.out << r.err;
    stop();
    ASSERT_TRUE(start());
    expect_same(model, file, "holes, zeroed ranges and data after a remount");
    stop();
}

TEST_P(MountDataTest, ExtendedAttributes) {
    ASSERT_TRUE(start());
    const std::string f = at(new_uuid());
    ASSERT_EQ(0, sh("cp " + src_ + " " + f).status);
    std::string big = "0x";
    for (int i = 0; i < 1000; i++) {
        static const char hex[] = "0123456789abcdef";
        big += hex[(i * 7) % 16];
        big += hex[(i / 3) % 16];
    }
    struct Attr {
        std::string name, hex;
    };
    const std::vector<Attr> attrs = {
        {"user.bin", "0x00ff000102"}, {"user.zeros", "0x00000000"}, {"user.big", big}, {"trusted.t", "0x74"}};
    for (const Attr &a : attrs)
        ASSERT_EQ(0, sh("setfattr -n " + a.name + " -v " + a.hex + " " + f).status) << a.name;
    for (const Attr &a : attrs) {
        tavtest::ProcessResult r = sh("getfattr --absolute-names --only-values -e hex -n " + a.name + " " +
                                      f + " | od -An -tx1 -v | tr -d ' \\n'");
        ASSERT_EQ(0, r.status) << a.name << r.err;
        EXPECT_EQ(a.hex.substr(2), r.out) << a.name;
    }
    tavtest::ProcessResult r = sh("getfattr --absolute-names -d -m - -e hex " + f);
    EXPECT_NE(std::string::npos, r.out.find("user.bin=0x00ff000102")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("trusted.t=0x74")) << r.out;
    ASSERT_EQ(0, sh("setfattr -x user.zeros " + f).status);
    r = sh("getfattr --absolute-names -n user.zeros " + f);
    EXPECT_NE(0, r.status);
    EXPECT_NE(std::string::npos, r.err.find("No such attribute")) << r.err;

    // "compress" is a request, not an attribute: it gets the library's
    // answer (compression is not offered yet) and leaves the data and the
    // other attributes alone; later sets still reach the daemon.
    r = sh("setfattr -n compress -v 1 " + f);
    EXPECT_NE(0, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Operation not supported")) << r.err;
    expect_same(src_, f, "after compress");
    ASSERT_EQ(0, sh("setfattr -n user.after -v 0x01 " + f).status);

    stop();
    ASSERT_TRUE(start());
    for (const Attr &a : attrs) {
        if (a.name == "user.zeros")
            continue;
        r = sh("getfattr --absolute-names --only-values -e hex -n " + a.name + " " + f +
               " | od -An -tx1 -v | tr -d ' \\n'");
        EXPECT_EQ(a.hex.substr(2), r.out) << a.name << " after remount";
    }
    EXPECT_NE(0, sh("getfattr --absolute-names -n user.zeros " + f).status);
    stop();
}

TEST_P(MountDataTest, FioVerifies) {
    ASSERT_TRUE(start());
    const std::string common =
        " --verify=crc32c --do_verify=1 --verify_fatal=1 --output-format=terse --randrepeat=1";
    const std::vector<std::string> jobs = {
        "--name=rand4k --rw=randwrite --bs=4k --size=8M --ioengine=libaio --iodepth=16 --direct=1",
        "--name=seq1m --rw=write --bs=1M --size=16M --ioengine=libaio --iodepth=4 --direct=1",
        "--name=psync --rw=randwrite --bs=16k --size=8M --ioengine=psync --direct=0",
    };
    for (const std::string &job : jobs) {
        SCOPED_TRACE(job);
        tavtest::ProcessResult r = sh("fio " + job + common + " --filename=" + at(new_uuid()));
        EXPECT_EQ(0, r.status) << r.out << r.err;
        EXPECT_EQ(std::string::npos, r.err.find("verify")) << r.err;
    }
    stop();
}

TEST_P(MountDataTest, QemuImgConvertAndCompare) {
    ASSERT_TRUE(start());
    const std::string raw = dir_.path() + "/disk.raw", qcow = dir_.path() + "/disk.qcow2";
    // A 48 MiB disk: data at scattered, partly unaligned places, holes between.
    ASSERT_EQ(0, sh("qemu-img create -q -f raw " + raw + " 48M").status);
    for (const char *place : {"seek=0 count=1", "seek=5 count=3", "seek=17 count=1", "seek=40 count=8"})
        ASSERT_EQ(0, sh("dd if=" + src_ + " of=" + raw + " bs=1M conv=notrunc status=none " + place).status);
    ASSERT_EQ(
        0,
        sh("dd if=" + src_ + " of=" + raw + " bs=1 seek=12345678 count=777 conv=notrunc status=none").status);
    ASSERT_EQ(0, sh("qemu-img convert -q -f raw -O qcow2 " + raw + " " + qcow).status);
    struct Src {
        std::string fmt, path;
    };
    for (const Src &s : {Src{"raw", raw}, Src{"qcow2", qcow}}) {
        SCOPED_TRACE(s.fmt);
        const std::string target = at(new_uuid());
        tavtest::ProcessResult r = sh("qemu-img convert -f " + s.fmt + " -O raw " + s.path + " " + target);
        ASSERT_EQ(0, r.status) << r.out << r.err;
        r = sh("qemu-img compare -f " + s.fmt + " -F raw " + s.path + " " + target);
        EXPECT_EQ(0, r.status) << r.out << r.err;
        expect_same(raw, target, "the converted image");
    }
    stop();
}

INSTANTIATE_TEST_SUITE_P(Engines, MountDataTest, ::testing::Values(Backend::File, Backend::Volume),
                         [](const auto &info) { return std::string(tavtest::backend_name(info.param)); });

} // namespace

// tav_standalone on a real mount: the namespace by UUID names, the answers
// the daemon gives to bad names and requests, what survives a remount, the
// read-only mount, the ways the daemon ends, and its refusals to start.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>

#include "mount_fixture.h"

namespace {

using tavtest::Backend;
using tavtest::new_uuid;

std::set<std::string> list_dir(const std::string &path) {
    std::set<std::string> names;
    DIR *d = opendir(path.c_str());
    EXPECT_NE(nullptr, d) << path << ": " << strerror(errno);
    if (d == nullptr)
        return names;
    while (struct dirent *e = readdir(d))
        names.insert(e->d_name);
    closedir(d);
    return names;
}

// errno of a call that must fail; 0 when it succeeded.
int err_of(int ret) {
    return ret < 0 ? errno : 0;
}

int create_file(const std::string &path, const std::string &data = "") {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0640);
    if (fd < 0)
        return errno;
    int err = 0;
    if (!data.empty() && write(fd, data.data(), data.size()) != (ssize_t)data.size())
        err = errno ? errno : EIO;
    if (close(fd) != 0 && err == 0)
        err = errno;
    return err;
}

std::string read_all(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "<" + std::string(strerror(errno)) + ">";
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        out.append(buf, (size_t)n);
    close(fd);
    return out;
}

class MountTest : public tavtest::MountTest {};

TEST_P(MountTest, FilesByUuidName) {
    ASSERT_TRUE(start());
    EXPECT_EQ((std::set<std::string>{".", ".."}), list_dir(mnt_)) << "an empty instance";

    const std::string a = new_uuid(), b = new_uuid(), c = new_uuid();
    ASSERT_EQ(0, create_file(at(a), "hello, tav"));
    ASSERT_EQ(0, create_file(at(b)));
    // A create suffix chooses the kind of file; the file is listed under its
    // uuid and found by either name; upper-case text finds it too.
    ASSERT_EQ(0, create_file(at(c + "@C")));
    EXPECT_EQ((std::set<std::string>{".", "..", a, b, c}), list_dir(mnt_));

    struct stat st;
    ASSERT_EQ(0, stat(at(a).c_str(), &st)) << strerror(errno);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ(10, st.st_size);
    EXPECT_EQ("hello, tav", read_all(at(a)));
    ASSERT_EQ(0, stat(at(c + "@C").c_str(), &st)) << strerror(errno);
    std::string upper = a;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    EXPECT_EQ("hello, tav", read_all(at(upper)));
    ASSERT_EQ(0, stat(mnt_.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0755u, st.st_mode & 07777);
    EXPECT_EQ(1u, st.st_ino);

    // Unlink needs the bare uuid.
    EXPECT_EQ(EINVAL, err_of(unlink(at(c + "@C").c_str())));
    EXPECT_EQ(0, err_of(unlink(at(c).c_str())));
    EXPECT_EQ(0, err_of(unlink(at(a).c_str())));
    EXPECT_EQ(ENOENT, err_of(stat(at(a).c_str(), &st)));
    EXPECT_EQ((std::set<std::string>{".", "..", b}), list_dir(mnt_));
    // A new file of the removed name is a new, empty file.
    ASSERT_EQ(0, create_file(at(a)));
    ASSERT_EQ(0, stat(at(a).c_str(), &st));
    EXPECT_EQ(0, st.st_size);
    stop();
}

TEST_P(MountTest, AnswersToBadNamesAndRequests) {
    ASSERT_TRUE(start());
    const std::string f = new_uuid();
    ASSERT_EQ(0, create_file(at(f), "x"));
    const std::string missing = new_uuid();
    char value[8];
    struct stat st;
    struct Case {
        const char *what;
        int err;
        int got;
    };
    const Case cases[] = {
        // Names that are not a uuid (optionally with a suffix after "@").
        {"create a short name", EINVAL, create_file(at(f.substr(0, 35)))},
        {"create a non-hex digit", EINVAL, create_file(at("g" + f.substr(1)))},
        {"create without hyphens", EINVAL, create_file(at(f.substr(0, 8) + "x" + f.substr(9)))},
        {"create the null uuid", EINVAL, create_file(at("00000000-0000-0000-0000-000000000000"))},
        {"create a uuid and junk", EINVAL, create_file(at(f + ".img"))},
        {"create a plain name", EINVAL, create_file(at("disk.img"))},
        {"stat a plain name", EINVAL, err_of(stat(at("disk.img").c_str(), &st))},
        {"unlink a plain name", EINVAL, err_of(unlink(at("disk.img").c_str()))},
        {"unlink a suffixed name", EINVAL, err_of(unlink(at(f + "@B").c_str()))},
        // Missing files.
        {"stat a missing file", ENOENT, err_of(stat(at(missing).c_str(), &st))},
        {"open a missing file", ENOENT, err_of(open(at(missing).c_str(), O_RDONLY))},
        {"unlink a missing file", ENOENT, err_of(unlink(at(missing).c_str()))},
        {"create an existing file exclusively", EEXIST,
         err_of(open(at(f).c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644))},
        // There is one directory, the root.
        {"list a file", ENOTDIR, err_of(open(at(f).c_str(), O_RDONLY | O_DIRECTORY))},
        {"a path below a file", ENOTDIR, err_of(stat(at(f + "/" + missing).c_str(), &st))},
        {"write the root", EISDIR, err_of(open(mnt_.c_str(), O_WRONLY))},
        {"mkdir", ENOSYS, err_of(mkdir(at(missing).c_str(), 0755))},
        // The root has no extended attributes, and cannot get any.
        {"getxattr of the root", ENODATA, err_of((int)getxattr(mnt_.c_str(), "user.a", value, sizeof(value)))},
        {"setxattr of the root", EOPNOTSUPP, err_of(setxattr(mnt_.c_str(), "user.a", "v", 1, 0))},
        {"listxattr of the root", 0, err_of((int)listxattr(mnt_.c_str(), value, sizeof(value)))},
        {"removexattr of the root", ENODATA, err_of(removexattr(mnt_.c_str(), "user.a"))},
        {"ls -l of the mount", 0, sh("ls -la " + mnt_).status},
        // The library's own answers come through.
        {"getxattr of an absent key", ENODATA, err_of((int)getxattr(at(f).c_str(), "user.a", value, 8))},
        {"setxattr outside the namespaces", EOPNOTSUPP, err_of(setxattr(at(f).c_str(), "other.a", "v", 1, 0))},
        {"truncate beyond the largest file", EFBIG, err_of(truncate(at(f).c_str(), 0x4000000001LL))},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.err, c.got) << c.what << ": got " << strerror(c.got);
    EXPECT_EQ((std::set<std::string>{".", "..", f}), list_dir(mnt_)) << "no refused name left a file";
    EXPECT_EQ("x", read_all(at(f)));
    stop();
}

TEST_P(MountTest, RemountKeepsContentsAndAttributes) {
    ASSERT_TRUE(start());
    const std::string a = new_uuid(), b = new_uuid();
    std::string big(3 * 1048576 + 12345, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (char)(i * 7 + i / 4096);
    ASSERT_EQ(0, create_file(at(a), "small"));
    ASSERT_EQ(0, create_file(at(b), big));
    ASSERT_EQ(0, chmod(at(a).c_str(), 0600));
    const char bin[] = {'\0', '\x01', '\xff', '\0', 'z'};
    ASSERT_EQ(0, setxattr(at(b).c_str(), "user.bin", bin, sizeof(bin), 0));
    struct timespec times[2] = {{1000, 5}, {2000, 7}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, at(a).c_str(), times, 0));
    stop();
    EXPECT_EQ(0u, sb_state()) << "stopped";

    ASSERT_TRUE(start());
    EXPECT_EQ((std::set<std::string>{".", "..", a, b}), list_dir(mnt_));
    EXPECT_EQ("small", read_all(at(a)));
    EXPECT_TRUE(big == read_all(at(b)));
    struct stat st;
    ASSERT_EQ(0, stat(at(a).c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ(2000, st.st_mtim.tv_sec);
    EXPECT_EQ(7, st.st_mtim.tv_nsec);
    char got[16];
    ASSERT_EQ((ssize_t)sizeof(bin), getxattr(at(b).c_str(), "user.bin", got, sizeof(got)));
    EXPECT_EQ(0, memcmp(bin, got, sizeof(bin)));
    stop();
}

TEST_P(MountTest, ReadOnlyMountRefusesChanges) {
    ASSERT_TRUE(start());
    const std::string f = new_uuid();
    ASSERT_EQ(0, create_file(at(f), "kept"));
    ASSERT_EQ(0, setxattr(at(f).c_str(), "user.k", "v", 1, 0));
    stop();

    ASSERT_TRUE(start("-o readonly"));
    EXPECT_EQ("kept", read_all(at(f)));
    char v[4];
    EXPECT_EQ(1, getxattr(at(f).c_str(), "user.k", v, sizeof(v)));
    struct Case {
        const char *what;
        int got;
    };
    const Case cases[] = {
        {"create", create_file(at(new_uuid()))},
        {"open for writing", err_of(open(at(f).c_str(), O_WRONLY))},
        {"truncate", err_of(truncate(at(f).c_str(), 0))},
        {"chmod", err_of(chmod(at(f).c_str(), 0600))},
        {"unlink", err_of(unlink(at(f).c_str()))},
        {"setxattr", err_of(setxattr(at(f).c_str(), "user.k", "w", 1, 0))},
        {"removexattr", err_of(removexattr(at(f).c_str(), "user.k"))},
    };
    for (const Case &c : cases)
        EXPECT_EQ(EROFS, c.got) << c.what << ": got " << strerror(c.got);
    stop();

    // Nothing changed on the device.
    ASSERT_TRUE(start());
    EXPECT_EQ((std::set<std::string>{".", "..", f}), list_dir(mnt_));
    EXPECT_EQ("kept", read_all(at(f)));
    stop();
}

// Each way of ending the daemon finishes the instance: the superblock is
// marked stopped and the lock is released, so that the next start succeeds.
TEST_P(MountTest, EndingFinishesTheInstance) {
    struct Way {
        const char *what;
        int sig;        // 0: fusermount3 -u
        bool hold_open; // a file of the mount is open when the daemon ends
    };
    const Way ways[] = {
        {"fusermount3 -u", 0, false},
        {"SIGTERM", SIGTERM, false},
        {"SIGINT", SIGINT, false},
        {"SIGTERM with a file open", SIGTERM, true},
    };
    const std::string f = new_uuid();
    int round = 0;
    for (const Way &w : ways) {
        SCOPED_TRACE(w.what);
        ASSERT_TRUE(start());
        EXPECT_EQ(1u, sb_state()) << "running";
        std::string data = "round " + std::to_string(round++);
        int fd = open(at(f).c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
        ASSERT_GE(fd, 0) << strerror(errno);
        ASSERT_EQ((ssize_t)data.size(), write(fd, data.data(), data.size()));
        if (!w.hold_open)
            close(fd);
        if (w.sig == 0)
            stop();
        else
            stop_by_signal(w.sig);
        if (w.hold_open)
            close(fd);
        EXPECT_EQ(0u, sb_state()) << "stopped";
        DIR *d = opendir(run_.c_str());
        ASSERT_NE(nullptr, d);
        int locks = 0;
        while (struct dirent *e = readdir(d))
            locks += strncmp(e->d_name, "tav_", 4) == 0;
        closedir(d);
        EXPECT_EQ(0, locks) << "no lock file left";
        ASSERT_TRUE(start());
        EXPECT_EQ(data, read_all(at(f)));
        stop();
    }
}

// The daemon refuses to serve with a clear message and a non-zero status,
// and leaves nothing mounted.
TEST_P(MountTest, RefusalsToStart) {
    const std::string zeros = dir_.path() + "/zeros.img";
    ASSERT_EQ(0, sh("truncate -s 2G " + zeros).status);
    struct Case {
        const char *what;
        std::string args;
        const char *message;
    };
    const std::string e = std::string(" -i ") + engine();
    const Case cases[] = {
        {"not an instance", "-f" + e + " -p " + zeros + " " + mnt_, "cannot start the instance on"},
        {"a missing path", "-f" + e + " -p " + dir_.path() + "/none.img " + mnt_, "cannot start the instance on"},
        {"no path", "-f" + e + " " + mnt_, "tav: path or ioengine not given"},
        {"no engine", "-f -p " + img_ + " " + mnt_, "tav: path or ioengine not given"},
        {"an unknown engine", "-f -i nope -p " + img_ + " " + mnt_, "cannot start the instance on"},
        {"no mount point", "-f" + e + " -p " + img_, "usage:"},
        {"a missing mount point", "-f" + e + " -p " + img_ + " " + dir_.path() + "/nowhere", "nowhere"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        tavtest::DaemonExit x = run_to_exit(c.args);
        EXPECT_EQ(1, x.status) << x.err;
        EXPECT_NE(std::string::npos, x.err.find(c.message)) << x.err;
        EXPECT_EQ(std::string::npos, x.err.find("Sanitizer")) << x.err;
        EXPECT_FALSE(mounted());
    }

    // A busy instance: a second daemon on the same device is refused while
    // the first serves on.
    ASSERT_TRUE(start());
    const std::string f = new_uuid();
    ASSERT_EQ(0, create_file(at(f), "first"));
    const std::string mnt2 = dir_.path() + "/mnt2";
    ASSERT_EQ(0, mkdir(mnt2.c_str(), 0755));
    const std::string err1 = err_path_;
    err_path_ = dir_.path() + "/second.err";
    tavtest::DaemonExit x = run_to_exit("-f" + e + " -p " + img_ + " " + mnt2);
    err_path_ = err1;
    EXPECT_EQ(1, x.status) << x.err;
    EXPECT_NE(std::string::npos, x.err.find("another process serves it")) << x.err;
    EXPECT_EQ("first", read_all(at(f)));
    stop();

    // Help and version exit with 0.
    x = run_to_exit("-h");
    EXPECT_EQ(0, x.status) << x.err;
    EXPECT_NE(std::string::npos, x.err.find("usage: ")) << x.err;
    EXPECT_NE(std::string::npos, x.err.find("-o readonly            run tav with readonly mode")) << x.err;
    x = run_to_exit("-V");
    EXPECT_EQ(0, x.status) << x.err;
    EXPECT_NE(std::string::npos, x.err.find("FUSE library version")) << x.err;
}

INSTANTIATE_TEST_SUITE_P(Engines, MountTest, ::testing::Values(Backend::File, Backend::Volume),
                         [](const auto &info) { return std::string(tavtest::backend_name(info.param)); });

} // namespace

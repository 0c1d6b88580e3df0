// tav_standalone on a real mount: the namespace by UUID names, the answers
// the daemon gives to bad names and requests, what survives a remount, the
// read-only mount, the ways the daemon ends, and its refusals to start.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fuse.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

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
    if (!data.empty() && write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
        err = errno ? errno : EIO;
    if (close(fd) != 0 && err == 0)
        err = errno;
    return err;
}

std::string read_all(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return std::string("<").append(strerror(errno)).append(">");
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        out.append(buf, static_cast<size_t>(n));
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
        {"create a non-hex digit", EINVAL, create_file(at(std::string("g").append(f, 1)))},
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
        {"getxattr of the root", ENODATA,
         err_of(static_cast<int>(getxattr(mnt_.c_str(), "user.a", value, sizeof(value))))},
        {"setxattr of the root", EOPNOTSUPP, err_of(setxattr(mnt_.c_str(), "user.a", "v", 1, 0))},
        {"listxattr of the root", 0, err_of(static_cast<int>(listxattr(mnt_.c_str(), value, sizeof(value))))},
        {"removexattr of the root", ENODATA, err_of(removexattr(mnt_.c_str(), "user.a"))},
        {"ls -l of the mount", 0, sh("ls -la " + mnt_).status},
        // The library's own answers come through.
        {"getxattr of an absent key", ENODATA,
         err_of(static_cast<int>(getxattr(at(f).c_str(), "user.a", value, 8)))},
        {"setxattr outside the namespaces", EOPNOTSUPP,
         err_of(setxattr(at(f).c_str(), "other.a", "v", 1, 0))},
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
        big[i] = static_cast<char>(i * 7 + i / 4096);
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
        {"a missing path", "-f" + e + " -p " + dir_.path() + "/none.img " + mnt_,
         "cannot start the instance on"},
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

// The daemon's answers to requests the kernel never sends for a well-formed
// mount (inode numbers it never gave out, requests without a handle,
// parents other than the root): the test speaks the FUSE protocol itself
// over a socket that the daemon takes as its channel ("/dev/fd/N" as the
// mount point).  Every request gets exactly one answer, in order, and
// nothing more comes.
class RawChannel {
public:
    explicit RawChannel(int fd) : fd_(fd) {}
    // Sends one request and returns its answer's error (0 or -errno);
    // `unanswered` when none came in time.
    static constexpr int unanswered = 1;
    int call(uint32_t opcode, uint64_t nodeid, const std::string &arg) {
        struct fuse_in_header h = {};
        h.len = static_cast<uint32_t>(sizeof(h) + arg.size());
        h.opcode = opcode;
        h.unique = ++unique_;
        h.nodeid = nodeid;
        std::string msg(reinterpret_cast<const char *>(&h), sizeof(h));
        msg += arg;
        if (write(fd_, msg.data(), msg.size()) != static_cast<ssize_t>(msg.size()))
            return unanswered;
        struct fuse_out_header o;
        if (!read_exact(&o, sizeof(o), 60000) || o.unique != unique_ || o.len < sizeof(o))
            return unanswered;
        std::vector<char> body(o.len - sizeof(o));
        if (!body.empty() && !read_exact(body.data(), body.size(), 60000))
            return unanswered;
        return o.error;
    }
    // True when nothing arrives within `ms`.
    bool quiet(int ms) {
        struct pollfd p = {fd_, POLLIN, 0};
        return poll(&p, 1, ms) == 0;
    }

private:
    bool read_exact(void *buf, size_t len, int ms) {
        char *p = static_cast<char *>(buf);
        while (len > 0) {
            struct pollfd pf = {fd_, POLLIN, 0};
            if (poll(&pf, 1, ms) != 1)
                return false;
            ssize_t n = read(fd_, p, len);
            if (n <= 0)
                return false;
            p += n;
            len -= static_cast<size_t>(n);
        }
        return true;
    }
    int fd_;
    uint64_t unique_ = 0;
};

template <typename T> std::string bytes(const T &v) {
    return std::string(reinterpret_cast<const char *>(&v), sizeof(v));
}

TEST_P(MountTest, RequestsTheKernelNeverSends) {
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
        close(sv[0]);
        int out = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        setenv("TAVTEST_RUN_DIR", run_.c_str(), 1);
        setenv("TAVTEST_CFG_DIR", cfg_.c_str(), 1);
        setenv("TAVTEST_LOG_DIR", log_.c_str(), 1);
        setenv("TAV_LOG_LEVEL", "WARNING", 1);
        std::string chan = "/dev/fd/" + std::to_string(sv[1]);
        execl(TAV_STANDALONE_TEST_BUILD, "tav_standalone", "-f", "-o", "debug", "-i", engine(), "-p",
              img_.c_str(), chan.c_str(), (char *)nullptr);
        _exit(127);
    }
    close(sv[1]);
    RawChannel ch(sv[0]);

    struct fuse_init_in init = {};
    init.major = 7;
    init.minor = 31;
    ASSERT_EQ(0, ch.call(FUSE_INIT, 0, bytes(init)));

    const std::string uuid = new_uuid();
    const std::string name = uuid + std::string(1, '\0');
    struct fuse_getattr_in getattr = {};
    struct fuse_setattr_in setattr = {};
    setattr.valid = FATTR_MODE;
    setattr.mode = 0600;
    struct fuse_open_in open_in = {};
    struct fuse_getxattr_in getxattr = {};
    struct fuse_create_in create = {};
    create.mode = S_IFREG | 0644;
    struct fuse_read_in read_in = {};
    read_in.size = 4096;
    struct fuse_write_in write_in = {};
    write_in.size = 4;
    struct fuse_flush_in flush = {};
    struct fuse_fsync_in fsync_in = {};
    struct fuse_fallocate_in falloc = {};
    falloc.length = 4096;
    struct fuse_release_in release = {};
    struct fuse_release_in release_forged = {};
    release_forged.fh = 0x123456789ull;
    const std::string setxattr_compat = std::string(8, '\0'); // size 0, flags 0 (protocol 7.31)

    struct Case {
        const char *what;
        uint32_t opcode;
        uint64_t nodeid;
        std::string arg;
        int err;
    };
    const Case cases[] = {
        {"getattr of an unknown inode", FUSE_GETATTR, 99, bytes(getattr), -ESTALE},
        {"setattr of an unknown inode", FUSE_SETATTR, 99, bytes(setattr), -ESTALE},
        {"statfs of an unknown inode", FUSE_STATFS, 99, "", -ESTALE},
        {"open of an unknown inode", FUSE_OPEN, 99, bytes(open_in), -ESTALE},
        {"open of the root", FUSE_OPEN, 1, bytes(open_in), -EISDIR},
        {"getxattr of an unknown inode", FUSE_GETXATTR, 99, bytes(getxattr) + "user.a" + std::string(1, '\0'),
         -ESTALE},
        {"listxattr of an unknown inode", FUSE_LISTXATTR, 99, bytes(getxattr), -ESTALE},
        {"setxattr of an unknown inode", FUSE_SETXATTR, 99, setxattr_compat + "user.a" + std::string(1, '\0'),
         -ESTALE},
        {"removexattr of an unknown inode", FUSE_REMOVEXATTR, 99, "user.a" + std::string(1, '\0'), -ESTALE},
        {"lookup under another parent", FUSE_LOOKUP, 5, name, -ENOENT},
        {"create under another parent", FUSE_CREATE, 5, bytes(create) + name, -ENOENT},
        {"unlink under another parent", FUSE_UNLINK, 5, name, -ENOENT},
        {"lookup of a name that is no uuid", FUSE_LOOKUP, 1, "nonsense" + std::string(1, '\0'), -EINVAL},
        {"readdir of a file", FUSE_READDIR, 5, bytes(read_in), -ENOTDIR},
        {"read without a handle", FUSE_READ, 5, bytes(read_in), -EINVAL},
        {"write without a handle", FUSE_WRITE, 5, bytes(write_in) + "abcd", -EINVAL},
        {"flush without a handle", FUSE_FLUSH, 5, bytes(flush), -EINVAL},
        {"fsync without a handle", FUSE_FSYNC, 5, bytes(fsync_in), -EINVAL},
        {"fallocate without a handle", FUSE_FALLOCATE, 5, bytes(falloc), -EINVAL},
        {"release without a handle", FUSE_RELEASE, 5, bytes(release), -EINVAL},
        {"release of a handle never given out", FUSE_RELEASE, 5, bytes(release_forged), -EINVAL},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.err, ch.call(c.opcode, c.nodeid, c.arg)) << c.what;
    EXPECT_TRUE(ch.quiet(1000)) << "an answer more than the requests";

    // The channel closing ends the daemon, which finishes the instance.
    close(sv[0]);
    tavtest::DaemonExit e = wait_exit();
    EXPECT_NE(-2, e.status) << "the daemon did not end when its channel closed";
    expect_clean(e);
    EXPECT_EQ(0u, sb_state()) << "stopped";
}

INSTANTIATE_TEST_SUITE_P(Engines, MountTest, ::testing::Values(Backend::File, Backend::Volume),
                         [](const auto &info) { return std::string(tavtest::backend_name(info.param)); });

} // namespace

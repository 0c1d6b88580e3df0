// tav_bench as a process: a quick run compares every side and leaves nothing
// behind, each mode (raw one request per call, mixed, first writes, several
// and compressible files) runs and prints figures that say data moved, bad
// command lines are refused before anything is written, a caller's file is
// never written without consent, and an interrupted run still removes its
// files.  No figure is judged against a speed: timing belongs to the runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/tmpdir.h"

extern char **environ;

namespace {

struct Outcome {
    int status = -1000; // exit status, or minus the signal that ended the process
    std::string out, err;
};

// Starts the program with stdout and stderr in files of `dir`.
pid_t spawn_bench(const std::string &dir, const std::vector<std::string> &args) {
    std::vector<char *> argv;
    std::string bin = TAV_BENCH_BIN;
    argv.push_back(bin.data());
    std::vector<std::string> copy = args;
    for (std::string &a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, (dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, (dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    int r = posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return r == 0 ? pid : -1;
}

Outcome wait_bench(pid_t pid, const std::string &dir) {
    Outcome o;
    int ws = 0;
    if (pid > 0 && waitpid(pid, &ws, 0) == pid)
        o.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -WTERMSIG(ws);
    o.out = tavtest::read_text(dir + "/out");
    o.err = tavtest::read_text(dir + "/err");
    std::filesystem::remove(dir + "/out");
    std::filesystem::remove(dir + "/err");
    return o;
}

Outcome run_bench(const std::string &dir, const std::vector<std::string> &args) {
    return wait_bench(spawn_bench(dir, args), dir);
}

std::vector<std::string> lines_starting(const std::string &text, const std::string &prefix) {
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line);
    return found;
}

// The IOPS ratio of a line "ratio B/A: IOPS 0.973  MiB/s ...".
double iops_ratio(const std::string &line) {
    size_t p = line.find("IOPS ");
    return p == std::string::npos ? -1 : std::stod(line.substr(p + 5));
}

// The figures of a run or median line "3      F files  1234  4.8  25.1  40.9  3.10":
// IOPS, MiB/s, mean latency, p99 latency, CPU per request.
std::vector<double> figures(const std::string &line, size_t label_words) {
    std::istringstream in(line);
    std::string word;
    for (size_t i = 0; i < 1 + label_words; i++)
        in >> word;
    std::vector<double> v;
    double x;
    while (in >> x)
        v.push_back(x);
    return v;
}

// Every side's median line of every workload reports data moved, a latency
// (unless the runs were limited by count) and CPU time.
void expect_sane_medians(const std::string &out, size_t expected, bool timed) {
    std::vector<std::string> medians = lines_starting(out, "median ");
    EXPECT_EQ(expected, medians.size()) << out;
    for (const std::string &l : medians) {
        std::vector<double> f = figures(l, 2);
        ASSERT_EQ(5u, f.size()) << l;
        EXPECT_GT(f[0], 0) << "IOPS: " << l;
        EXPECT_GT(f[1], 0) << "MiB/s: " << l;
        if (timed) {
            EXPECT_GT(f[2], 0) << "mean latency: " << l;
            EXPECT_GE(f[3], f[2] * 0.5) << "p99 latency: " << l;
        } else {
            EXPECT_EQ(0, f[2]) << l;
        }
        EXPECT_GT(f[4], 0) << "cpu per request: " << l;
    }
}

bool dir_empty(const std::string &dir) {
    return std::filesystem::is_empty(dir);
}

class BenchSmoke : public ::testing::Test {
protected:
    tavtest::TempDir dir_;
    std::string scratch_ = dir_.path() + "/scratch";
    std::string logs_ = dir_.path() + "/logs";
    void SetUp() override {
        std::filesystem::create_directory(scratch_);
        std::filesystem::create_directory(logs_);
    }
};

TEST_F(BenchSmoke, QuickRunComparesEverySideAndRemovesItsFiles) {
    Outcome o = run_bench(logs_, {"--quick", "--kvol", "--dir", scratch_});
    ASSERT_EQ(0, o.status) << o.out << o.err;
    const char *workloads[] = {"randread-4k-qd1",    "randwrite-4k-qd1", "randread-4k-qd32",
                               "randwrite-4k-qd32",  "write-1m-qd8",     "read-1m-qd8",
                               "allocwrite-4k-qd32", "allocwrite-1m-qd8"};
    for (const char *w : workloads)
        EXPECT_EQ(1u, lines_starting(o.out, std::string("== ") + w + ":").size()) << w;
    for (const char *side : {"ratio B/A:", "ratio C/A:", "ratio F/A:"}) {
        std::vector<std::string> ratios = lines_starting(o.out, side);
        ASSERT_EQ(8u, ratios.size()) << o.out;
        // Every side moved data in every workload: no ratio is 0.
        for (const std::string &l : ratios)
            EXPECT_GT(iops_ratio(l), 0) << l;
    }
    // Round 3, the last, ran on all four sides of all eight workloads.
    EXPECT_EQ(32u, lines_starting(o.out, "3      ").size()) << o.out;
    expect_sane_medians(o.out, 32, true);
    EXPECT_EQ(1u, lines_starting(o.out, "instance: ").size()) << o.out;
    EXPECT_TRUE(dir_empty(scratch_));
}

// The modes beside the standard matrix, each for a fraction of a second.
TEST_F(BenchSmoke, EveryModeRunsAndReportsFigures) {
    struct Case {
        std::vector<std::string> args;
        const char *header; // start of the workload's header line
        std::vector<std::string> ratios;
    } cases[] = {
        // A mix of reads and writes on every side, raw one request per call
        // beside batched raw, the file API over several files.
        {{"--rw", "randrw", "--rwmix", "70", "--bs", "8k", "--depth", "4", "--files", "3", "--sides", "ARBF"},
         "== randrw-8k-qd4-r70: random reads and writes of 8 KiB, depth 4",
         {"R", "B", "F"}},
        // Sequential mixed, compressible files.
        {{"--rw", "rw", "--bs", "64k", "--depth", "2", "--kind", "compressible", "--sides", "AF"},
         "== rw-64k-qd2-r50: sequential reads and writes of 64 KiB",
         {"F"}},
        // First writes of a workload of one's own, random and sequential.
        {{"--rw", "randwrite", "--depth", "8", "--precondition", "alloc", "--files", "2", "--sides", "AF"},
         "== allocrandwrite-4k-qd8: random first writes of 4 KiB",
         {"F"}},
        {{"--rw", "write", "--bs", "128k", "--depth", "2", "--precondition", "alloc", "--kind",
          "compressible", "--sides", "RAF"},
         "== allocwrite-128k-qd2: sequential first writes of 128 KiB",
         {"R", "F"}},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        for (const char *a : {"--quick", "--time", "0.1", "--runs", "2", "--size", "16m", "--dir"})
            args.push_back(a);
        args.push_back(scratch_);
        Outcome o = run_bench(logs_, args);
        const std::string what = c.header;
        ASSERT_EQ(0, o.status) << what << "\n" << o.out << o.err;
        EXPECT_EQ(1u, lines_starting(o.out, c.header).size()) << what << "\n" << o.out;
        for (const std::string &side : c.ratios) {
            std::vector<std::string> r = lines_starting(o.out, "ratio " + side + "/A:");
            ASSERT_EQ(1u, r.size()) << what << "\n" << o.out;
            EXPECT_GT(iops_ratio(r[0]), 0) << what << ": " << r[0];
        }
        expect_sane_medians(o.out, c.ratios.size() + 1, true);
        EXPECT_TRUE(dir_empty(scratch_)) << what;
    }
}

TEST_F(BenchSmoke, CustomWorkloadRunsByCount) {
    Outcome o = run_bench(logs_, {"--rw", "read", "--bs", "64k", "--depth", "2", "--count", "50", "--runs",
                                  "2", "--warmup", "0", "--size", "8m", "--dir", scratch_});
    ASSERT_EQ(0, o.status) << o.out << o.err;
    EXPECT_EQ(1u, lines_starting(o.out, "== read-64k-qd2: sequential reads of 64 KiB, depth 2, 2 "
                                        "runs of 50 requests over 8 MiB")
                      .size())
        << o.out;
    EXPECT_EQ(1u, lines_starting(o.out, "ratio B/A:").size());
    EXPECT_EQ(1u, lines_starting(o.out, "ratio F/A:").size());
    EXPECT_TRUE(lines_starting(o.out, "ratio C/A:").empty());
    // Runs limited by count read no clock per request: no latency.
    expect_sane_medians(o.out, 3, false);
    EXPECT_TRUE(dir_empty(scratch_));
}

TEST_F(BenchSmoke, BadCommandLinesAreRefusedBeforeAnythingIsWritten) {
    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"--bs", "3000"}, 2},
        {{"--bs", "0"}, 2},
        {{"--depth", "0"}, 2},
        {{"--depth", "2000"}, 2},
        {{"--bs", "8k"}, 2}, // without --rw
        {{"--workload", "randread-4k-qd1,nope"}, 2},
        {{"--rw", "sideways"}, 2},
        {{"--size", "5k"}, 2},
        {{"--size", "99999999999g"}, 2},
        {{"--time", "-1"}, 2},
        {{"--runs", "x"}, 2},
        {{"--sides", "AX"}, 2},
        {{"--sides", "ABA"}, 2},
        {{"--sides", "AFZ"}, 2},
        {{"--rwmix", "50"}, 2},                     // without --rw
        {{"--rw", "randread", "--rwmix", "50"}, 2}, // not a mix
        {{"--rw", "randrw", "--rwmix", "101"}, 2},
        {{"--rw", "write", "--precondition", "fresh"}, 2},
        {{"--rw", "read", "--precondition", "alloc"}, 2}, // first writes need writes
        {{"--files", "0"}, 2},
        {{"--files", "65"}, 2},
        {{"--kind", "sparse"}, 2},
        {{"--workload", ""}, 2},
        {{"--bogus"}, 2},
        {{"--runs"}, 2},
        {{"stray"}, 2},
        {{"--path", scratch_ + "/missing", "--workload", "randread-4k-qd1"}, 1},
        {{"--path", scratch_, "--workload", "randread-4k-qd1"}, 1}, // a directory
    };
    for (Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back("--dir");
        args.push_back(scratch_);
        Outcome o = run_bench(logs_, args);
        std::string what = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(c.status, o.status) << what << "\n" << o.out << o.err;
        EXPECT_EQ(0u, o.err.rfind("tav_bench: ", 0)) << what << ": " << o.err;
        EXPECT_TRUE(dir_empty(scratch_)) << what;
    }
}

TEST_F(BenchSmoke, CallersFileIsWrittenOnlyWithConsentAndKept) {
    const std::string file = dir_.path() + "/data";
    std::string content(8 << 20, '\0');
    for (size_t i = 0; i < content.size(); i++)
        content[i] = static_cast<char>(i * 31 + 7);
    {
        std::ofstream f(file, std::ios::binary);
        f.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    Outcome o = run_bench(logs_, {"--quick", "--path", file, "--workload", "randwrite-4k-qd1"});
    EXPECT_EQ(2, o.status) << o.out << o.err;
    EXPECT_NE(std::string::npos, o.err.find("--overwrite")) << o.err;
    EXPECT_TRUE(content == tavtest::read_text(file)) << "the file changed";

    // Reads open the file read-only and skip the fill.
    o = run_bench(logs_, {"--quick", "--path", file, "--workload", "randread-4k-qd1,read-1m-qd8"});
    EXPECT_EQ(0, o.status) << o.out << o.err;
    EXPECT_EQ(2u, lines_starting(o.out, "ratio B/A:").size()) << o.out;
    EXPECT_TRUE(content == tavtest::read_text(file)) << "the file changed";

    // Side F would format an instance on it: refused without consent too.
    o = run_bench(logs_, {"--quick", "--path", file, "--sides", "AF", "--workload", "randread-4k-qd1"});
    EXPECT_EQ(2, o.status) << o.out << o.err;
    EXPECT_NE(std::string::npos, o.err.find("--overwrite")) << o.err;
    EXPECT_TRUE(content == tavtest::read_text(file)) << "the file changed";

    o = run_bench(logs_, {"--quick", "--path", file, "--overwrite", "--workload", "randwrite-4k-qd1"});
    EXPECT_EQ(0, o.status) << o.out << o.err;
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(content.size(), std::filesystem::file_size(file));
    EXPECT_FALSE(content == tavtest::read_text(file)) << "the writes did not reach the file";
}

TEST_F(BenchSmoke, InterruptedRunRemovesItsFiles) {
    pid_t pid = spawn_bench(logs_, {"--kvol", "--time", "10", "--runs", "5", "--size", "64m", "--workload",
                                    "randread-4k-qd1", "--dir", scratch_});
    ASSERT_GT(pid, 0);
    // Wait until the timed runs have started, then interrupt.
    bool started = false;
    for (int i = 0; i < 600 && !started; i++) {
        started = tavtest::read_text(logs_ + "/out").find("round") != std::string::npos;
        if (!started)
            usleep(100 * 1000);
    }
    EXPECT_TRUE(started);
    kill(pid, SIGINT);
    Outcome o = wait_bench(pid, logs_);
    EXPECT_EQ(130, o.status) << o.out << o.err;
    EXPECT_NE(std::string::npos, o.err.find("tav_bench: interrupted")) << o.err;
    EXPECT_TRUE(dir_empty(scratch_));
}

} // namespace

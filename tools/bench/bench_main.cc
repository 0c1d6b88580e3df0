// tav_bench: command line, the interleaved schedule of runs, and the tables.
//
// Exit status: 0 when every run completed, 1 when setup or a request failed,
// 2 for a bad command line, 130 when interrupted.  Files made by the program
// are removed on every one of these paths.
#include <ev.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench.h"
#include "evdriver.h"
#include "ioengine.h"
#include "kvol.h"
#include "logger.h"
#include "memory.h"

using namespace bench;

namespace {

constexpr uint64_t kMiB = 1ull << 20;
constexpr int kMaxDepth = 1024;
constexpr size_t kMaxBlock = 64ull << 20;

// The standard matrix: overwrites and reads of written data, then first
// writes that allocate (on side F; the other sides overwrite).
const Workload kStandard[] = {
    {"randread-4k-qd1", 4096, 1, false, true},
    {"randwrite-4k-qd1", 4096, 1, true, true},
    {"randread-4k-qd32", 4096, 32, false, true},
    {"randwrite-4k-qd32", 4096, 32, true, true},
    {"write-1m-qd8", kMiB, 8, true, false},
    {"read-1m-qd8", kMiB, 8, false, false},
    {"allocwrite-4k-qd32", 4096, 32, true, true, -1, true},
    {"allocwrite-1m-qd8", kMiB, 8, true, false, -1, true},
};

const char kUsage[] = "usage: tav_bench [options]\n"
                      "Runs each workload on several sides, interleaved, and compares them with A:\n"
                      "  A  raw libaio, batched: every request ready in one loop pass in one io_submit,\n"
                      "     completions harvested in batches; no library, the reference\n"
                      "  R  raw libaio, one request per io_submit\n"
                      "  B  the \"libaio\" I/O engine: one coroutine per request in flight, one libev loop\n"
                      "  C  the \"kvol\" I/O engine on a volume over a 2 GiB sparse file (--kvol)\n"
                      "  F  the file API (tav_preadv_async/tav_pwritev_async) on files of an instance\n"
                      "     formatted at the front of the target, on the same libev loop\n"
                      "\n"
                      "Workloads (default: all of them, in this order):\n"
                      "  randread-4k-qd1 randwrite-4k-qd1 randread-4k-qd32 randwrite-4k-qd32\n"
                      "  write-1m-qd8 read-1m-qd8 allocwrite-4k-qd32 allocwrite-1m-qd8\n"
                      "  (allocwrite: first writes; on side F every run writes emptied files, each\n"
                      "  offset once, and ends when the files are full)\n"
                      "  --workload LIST   comma-separated names from the list above\n"
                      "  --rw MODE         one workload of your own: read, write, rw (mixed), randread,\n"
                      "                    randwrite or randrw\n"
                      "  --bs SIZE         its block size, a multiple of 4k (default 4k)\n"
                      "  --depth N         its queue depth, 1..1024 (default 1)\n"
                      "  --rwmix N         reads in percent of a mixed workload (default 50)\n"
                      "  --precondition P  its writes: overwrite (of written data, default) or alloc\n"
                      "                    (first writes into unallocated space, side F)\n"
                      "\n"
                      "Side F:\n"
                      "  --files N         files the requests are spread over, 1..64 (default 1)\n"
                      "  --kind KIND       ordinary (default) or compressible files\n"
                      "\n"
                      "Runs:\n"
                      "  --runs N          timed runs of each side per workload (default 5)\n"
                      "  --time SEC        seconds per run (default 2)\n"
                      "  --count N         requests per run instead of a time limit\n"
                      "  --warmup SEC      one untimed run of each side first (default 0.5; 0: none)\n"
                      "  --seed N          offsets of random workloads (default 1); each round uses\n"
                      "                    seed + round on every side\n"
                      "  --sides LIST      sides to run, e.g. ABF, ARBCF, F (default ABF, ABCF with\n"
                      "                    --kvol; F on a --path only when listed here)\n"
                      "  --quick           3 runs of 0.1 s over at most 64 MiB without warm-up: seconds\n"
                      "                    in all\n"
                      "\n"
                      "Target:\n"
                      "  --dir DIR         where the test file and the volume file go (default /var/tmp);\n"
                      "                    both are removed at the end\n"
                      "  --size SIZE       bytes of the target the requests cover, whole MiB (default 1g;\n"
                      "                    with --path the path's length, at most 1g; 64m with --quick);\n"
                      "                    with side F the instance comes first and the raw and engine\n"
                      "                    sides use the bytes after it\n"
                      "  --path PATH       an existing file or block device instead of a test file\n"
                      "  --overwrite       allow writes to --path (its data is destroyed)\n"
                      "  --no-fill         do not write the region before the runs (reads of\n"
                      "                    preallocated, unwritten blocks never reach the device)\n"
                      "  --kvol            add side C\n"
                      "\n"
                      "SIZE takes a k, m or g suffix (powers of 1024).  Per run the program prints\n"
                      "IOPS, MiB/s, mean and 99th-percentile latency (not with --count: such runs\n"
                      "read no clock per request) and CPU time per request (getrusage); per\n"
                      "workload the medians and the ratios of every side to A.\n";

struct Config {
    std::vector<Workload> workloads;
    int runs = 5;
    double seconds = 2.0;
    uint64_t count = 0;
    double warmup = 0.5;
    uint64_t seed = 1;
    std::string sides;
    std::string dir = "/var/tmp";
    uint64_t size = 0; // 0: the whole test file, or --path's length up to size_cap
    uint64_t size_cap = 1ull << 30;
    std::string path;
    bool overwrite = false;
    bool fill = true;
    bool kvol = false;
    int files = 1;
    bool compressible = false;
};

int usage_error(const char *fmt, const char *arg) {
    fprintf(stderr, "tav_bench: ");
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\nTry 'tav_bench --help'.\n");
    return 2;
}

bool parse_u64(const char *s, uint64_t *out) {
    if (s == nullptr || *s < '0' || *s > '9')
        return false;
    char *end;
    errno = 0;
    unsigned long long v = strtoull(s, &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *out = v;
    return true;
}

bool parse_size(const char *s, uint64_t *out) {
    if (s == nullptr || *s < '0' || *s > '9')
        return false;
    char *end;
    errno = 0;
    unsigned long long v = strtoull(s, &end, 10);
    if (errno != 0)
        return false;
    unsigned shift = 0;
    if (*end != '\0') {
        switch (*end) {
        case 'k':
        case 'K': shift = 10; break;
        case 'm':
        case 'M': shift = 20; break;
        case 'g':
        case 'G': shift = 30; break;
        default: return false;
        }
        if (end[1] != '\0')
            return false;
    }
    if (v > (UINT64_MAX >> shift))
        return false;
    *out = (uint64_t)v << shift;
    return true;
}

bool parse_seconds(const char *s, double *out) {
    if (s == nullptr || *s == '\0')
        return false;
    char *end;
    errno = 0;
    double v = strtod(s, &end);
    if (errno != 0 || *end != '\0' || !(v >= 0) || v > 86400)
        return false;
    *out = v;
    return true;
}

std::string size_name(uint64_t bytes) {
    if (bytes % kMiB == 0)
        return std::to_string(bytes / kMiB) + "m";
    return std::to_string(bytes / 1024) + "k";
}

// 0: run; 1: help was printed; 2: bad command line.
int parse_args(int argc, char **argv, Config *cfg) {
    enum {
        OPT_WORKLOAD = 256,
        OPT_RW,
        OPT_BS,
        OPT_DEPTH,
        OPT_RUNS,
        OPT_TIME,
        OPT_COUNT,
        OPT_WARMUP,
        OPT_SEED,
        OPT_SIDES,
        OPT_QUICK,
        OPT_DIR,
        OPT_SIZE,
        OPT_PATH,
        OPT_OVERWRITE,
        OPT_NOFILL,
        OPT_KVOL,
        OPT_RWMIX,
        OPT_PRECOND,
        OPT_FILES,
        OPT_KIND,
        OPT_HELP,
    };
    static const struct option opts[] = {
        {"workload", required_argument, nullptr, OPT_WORKLOAD},
        {"rw", required_argument, nullptr, OPT_RW},
        {"bs", required_argument, nullptr, OPT_BS},
        {"depth", required_argument, nullptr, OPT_DEPTH},
        {"runs", required_argument, nullptr, OPT_RUNS},
        {"time", required_argument, nullptr, OPT_TIME},
        {"count", required_argument, nullptr, OPT_COUNT},
        {"warmup", required_argument, nullptr, OPT_WARMUP},
        {"seed", required_argument, nullptr, OPT_SEED},
        {"sides", required_argument, nullptr, OPT_SIDES},
        {"quick", no_argument, nullptr, OPT_QUICK},
        {"dir", required_argument, nullptr, OPT_DIR},
        {"size", required_argument, nullptr, OPT_SIZE},
        {"path", required_argument, nullptr, OPT_PATH},
        {"overwrite", no_argument, nullptr, OPT_OVERWRITE},
        {"no-fill", no_argument, nullptr, OPT_NOFILL},
        {"kvol", no_argument, nullptr, OPT_KVOL},
        {"rwmix", required_argument, nullptr, OPT_RWMIX},
        {"precondition", required_argument, nullptr, OPT_PRECOND},
        {"files", required_argument, nullptr, OPT_FILES},
        {"kind", required_argument, nullptr, OPT_KIND},
        {"help", no_argument, nullptr, OPT_HELP},
        {nullptr, 0, nullptr, 0},
    };
    std::string workload_list, rw, precond;
    uint64_t bs = 4096, depth = 1, v, rwmix = 50;
    bool quick = false, have_runs = false, have_time = false, have_warmup = false;
    bool have_bs = false, have_depth = false, have_workload = false, have_rwmix = false;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
        switch (c) {
        case OPT_WORKLOAD:
            workload_list = optarg;
            have_workload = true;
            break;
        case OPT_RW: rw = optarg; break;
        case OPT_BS:
            if (!parse_size(optarg, &bs) || bs == 0 || bs % 4096 != 0 || bs > kMaxBlock)
                return usage_error("--bs %s: a multiple of 4k up to 64m", optarg);
            have_bs = true;
            break;
        case OPT_DEPTH:
            if (!parse_u64(optarg, &depth) || depth < 1 || depth > kMaxDepth)
                return usage_error("--depth %s: 1 to 1024", optarg);
            have_depth = true;
            break;
        case OPT_RUNS:
            if (!parse_u64(optarg, &v) || v < 1 || v > 1000)
                return usage_error("--runs %s: 1 to 1000", optarg);
            cfg->runs = (int)v;
            have_runs = true;
            break;
        case OPT_TIME:
            if (!parse_seconds(optarg, &cfg->seconds) || cfg->seconds <= 0)
                return usage_error("--time %s: seconds, more than 0", optarg);
            have_time = true;
            break;
        case OPT_COUNT:
            if (!parse_u64(optarg, &cfg->count) || cfg->count == 0)
                return usage_error("--count %s: a number of requests, at least 1", optarg);
            break;
        case OPT_WARMUP:
            if (!parse_seconds(optarg, &cfg->warmup))
                return usage_error("--warmup %s: seconds", optarg);
            have_warmup = true;
            break;
        case OPT_SEED:
            if (!parse_u64(optarg, &cfg->seed))
                return usage_error("--seed %s: a number", optarg);
            break;
        case OPT_SIDES: cfg->sides = optarg; break;
        case OPT_QUICK: quick = true; break;
        case OPT_DIR: cfg->dir = optarg; break;
        case OPT_SIZE:
            if (!parse_size(optarg, &cfg->size) || cfg->size == 0 || cfg->size % kMiB != 0)
                return usage_error("--size %s: a whole number of MiB", optarg);
            break;
        case OPT_PATH: cfg->path = optarg; break;
        case OPT_OVERWRITE: cfg->overwrite = true; break;
        case OPT_NOFILL: cfg->fill = false; break;
        case OPT_KVOL: cfg->kvol = true; break;
        case OPT_RWMIX:
            if (!parse_u64(optarg, &rwmix) || rwmix > 100)
                return usage_error("--rwmix %s: 0 to 100", optarg);
            have_rwmix = true;
            break;
        case OPT_PRECOND:
            precond = optarg;
            if (precond != "overwrite" && precond != "alloc")
                return usage_error("--precondition %s: overwrite or alloc", optarg);
            break;
        case OPT_FILES:
            if (!parse_u64(optarg, &v) || v < 1 || v > 64)
                return usage_error("--files %s: 1 to 64", optarg);
            cfg->files = (int)v;
            break;
        case OPT_KIND:
            if (strcmp(optarg, "ordinary") != 0 && strcmp(optarg, "compressible") != 0)
                return usage_error("--kind %s: ordinary or compressible", optarg);
            cfg->compressible = strcmp(optarg, "compressible") == 0;
            break;
        case OPT_HELP: fputs(kUsage, stdout); return 1;
        default: return usage_error("unknown or incomplete option %s", argv[optind - 1]);
        }
    }
    if (optind < argc)
        return usage_error("unexpected argument %s", argv[optind]);

    if (quick) {
        if (!have_runs)
            cfg->runs = 3;
        if (!have_time)
            cfg->seconds = 0.1;
        if (!have_warmup)
            cfg->warmup = 0;
        cfg->size_cap = 64 * kMiB;
    }
    if (cfg->path.empty() && cfg->size == 0)
        cfg->size = cfg->size_cap;

    if (!rw.empty()) {
        if (have_workload)
            return usage_error("%s", "--rw and --workload exclude each other");
        Workload w;
        w.random = rw == "randread" || rw == "randwrite" || rw == "randrw";
        w.write = rw == "write" || rw == "randwrite";
        const bool mixed = rw == "rw" || rw == "randrw";
        if (!w.random && !w.write && !mixed && rw != "read")
            return usage_error("--rw %s: read, write, rw, randread, randwrite or randrw", rw.c_str());
        if (have_rwmix && !mixed)
            return usage_error("%s", "--rwmix describes a mixed workload (--rw rw or randrw)");
        w.read_pct = mixed ? (int)rwmix : -1;
        w.alloc = precond == "alloc";
        if (w.alloc && (!w.write || mixed))
            return usage_error("%s", "--precondition alloc describes a workload of writes");
        w.bs = bs;
        w.depth = (int)depth;
        w.name = (w.alloc ? "alloc" : "") + rw + "-" + size_name(bs) + "-qd" + std::to_string(depth);
        if (mixed)
            w.name += "-r" + std::to_string(rwmix);
        cfg->workloads.push_back(w);
    } else if (have_bs || have_depth || have_rwmix || !precond.empty()) {
        return usage_error("%s", "--bs, --depth, --rwmix and --precondition describe a workload of --rw");
    } else if (!have_workload) {
        cfg->workloads.assign(std::begin(kStandard), std::end(kStandard));
    } else {
        size_t pos = 0;
        while (pos <= workload_list.size()) {
            size_t comma = workload_list.find(',', pos);
            std::string name =
                workload_list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
            const Workload *found = nullptr;
            for (const Workload &w : kStandard)
                if (w.name == name)
                    found = &w;
            if (found == nullptr)
                return usage_error("unknown workload \"%s\"", name.c_str());
            cfg->workloads.push_back(*found);
            if (comma == std::string::npos)
                break;
            pos = comma + 1;
        }
    }

    const bool read_only_path = !cfg->path.empty() && !cfg->overwrite;
    if (cfg->sides.empty())
        // Side F formats an instance on the target: on a caller's --path
        // only when asked for by --sides.
        cfg->sides = std::string("AB") + (cfg->kvol ? "C" : "") + (cfg->path.empty() ? "F" : "");
    for (size_t i = 0; i < cfg->sides.size(); i++) {
        char s = cfg->sides[i];
        if (strchr("ARBCF", s) == nullptr || s == '\0' || cfg->sides.find(s) != i)
            return usage_error("--sides %s: each of the letters A, R, B, C and F at most once",
                               cfg->sides.c_str());
    }
    if (cfg->sides.find('C') != std::string::npos)
        cfg->kvol = true;

    if (read_only_path) {
        for (const Workload &w : cfg->workloads)
            if (w.write || w.read_pct >= 0)
                return usage_error("workload %s would overwrite --path; pass --overwrite to "
                                   "allow it",
                                   w.name.c_str());
        if (cfg->sides.find('F') != std::string::npos)
            return usage_error("%s", "side F formats an instance on --path; pass --overwrite to allow it");
    }
    return 0;
}

struct Side {
    char letter;
    const char *label;
};

const Side kSides[] = {{'A', "A raw"}, {'R', "R raw1"}, {'B', "B libaio"}, {'C', "C kvol"}, {'F', "F files"}};

const Side &side_of(char letter) {
    for (const Side &s : kSides)
        if (s.letter == letter)
            return s;
    abort(); // parse_args admits only these letters
}

struct Bench {
    Target t;
    FileSide files;
};

int run_side(Bench *b, char side, const Workload &w, const Limits &lim, uint64_t seed, const Buffers &bufs,
             RunStats *st) {
    const Target &t = b->t;
    switch (side) {
    case 'A': return raw_run(t.fd, true, w, t.base, t.region, lim, seed, bufs, st);
    case 'R': return raw_run(t.fd, false, w, t.base, t.region, lim, seed, bufs, st);
    case 'B': return engine_run(t.libaio, w, t.base, t.region, lim, seed, bufs, st);
    case 'C': return engine_run(t.kvol, w, 0, t.region, lim, seed, bufs, st);
    default: return files_run(&b->files, w, lim, seed, bufs, st);
    }
}

// 0, or reports the failure on stderr and returns 1.
int check_run(char side, const Workload &w, const char *when, int ret, const RunStats &st) {
    if (ret < 0) {
        fprintf(stderr, "tav_bench: %s of side %c on %s cannot start: %s\n", when, side, w.name.c_str(),
                strerror(-ret));
        return 1;
    }
    if (st.err != 0) {
        fprintf(stderr,
                "tav_bench: %s of side %c on %s failed: %s (request at offset %llu returned "
                "%ld)\n",
                when, side, w.name.c_str(), strerror(st.err), (unsigned long long)st.err_offset,
                st.err_result);
        return 1;
    }
    if (st.bounced != 0) {
        fprintf(stderr,
                "tav_bench: %s of side %c on %s: %llu requests left the aligned path of the "
                "engine\n",
                when, side, w.name.c_str(), (unsigned long long)st.bounced);
        return 1;
    }
    return 0;
}

double iops(const RunStats &s) {
    return s.wall_s > 0 ? (double)s.requests / s.wall_s : 0;
}
double mibs(const RunStats &s) {
    return s.wall_s > 0 ? (double)s.bytes / s.wall_s / kMiB : 0;
}
double cpu_us(const RunStats &s) {
    return s.requests > 0 ? s.cpu_s * 1e6 / (double)s.requests : 0;
}

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double ratio(double a, double b) {
    return b > 0 ? a / b : 0;
}

struct SideSummary {
    char letter;
    double iops, mibs, lat_us, p99_us, cpu_us;
};

struct WorkloadSummary {
    std::string name;
    std::vector<SideSummary> sides;
};

void print_loadavg(const char *when) {
    char buf[128] = "";
    FILE *f = fopen("/proc/loadavg", "r");
    if (f) {
        if (fgets(buf, sizeof(buf), f) == nullptr)
            buf[0] = '\0';
        fclose(f);
    }
    buf[strcspn(buf, "\n")] = '\0';
    printf("load average %s: %s\n", when, buf);
}

// The region is written once before the runs, so that reads reach the device
// and writes overwrite allocated blocks on every side alike.
int fill(const Config &cfg, const Target &t) {
    const Workload w = {"fill", kMiB, 4, true, false};
    const Limits lim = {0, t.region / kMiB};
    Buffers bufs;
    if (buffers_alloc(&bufs, w.depth, w.bs) < 0)
        return 1;
    RunStats st;
    if (cfg.sides.find_first_of("ARB") != std::string::npos) {
        printf("filling %llu MiB of %s\n", (unsigned long long)(t.region / kMiB), t.path.c_str());
        int r = raw_run(t.fd, true, w, t.base, t.region, lim, cfg.seed, bufs, &st);
        if (check_run('A', w, "the fill", r, st) || g_interrupted)
            return 1;
    }
    if (t.kvol) {
        printf("filling %llu MiB of the volume on %s\n", (unsigned long long)(t.region / kMiB),
               t.vol_path.c_str());
        int r = engine_run(t.kvol, w, 0, t.region, lim, cfg.seed, bufs, &st);
        if (check_run('C', w, "the fill", r, st) || g_interrupted)
            return 1;
    }
    return 0;
}

void print_ratio(char side, const std::vector<RunStats> &runs, const std::vector<RunStats> &base,
                 const SideSummary &s, const SideSummary &a) {
    std::vector<double> per_round;
    for (size_t i = 0; i < runs.size() && i < base.size(); i++)
        per_round.push_back(ratio(iops(runs[i]), iops(base[i])));
    double lo = *std::min_element(per_round.begin(), per_round.end());
    double hi = *std::max_element(per_round.begin(), per_round.end());
    printf("ratio %c/A: IOPS %.3f  MiB/s %.3f  cpu/req %.3f  (IOPS per round: median %.3f, "
           "range %.3f..%.3f)\n",
           side, ratio(s.iops, a.iops), ratio(s.mibs, a.mibs), ratio(s.cpu_us, a.cpu_us), median(per_round),
           lo, hi);
}

void print_run_line(const char *round, const char *label, double io, double mb, double lat, double p99,
                    double cpu) {
    printf("%-6s %-9s %12.0f %10.1f %9.1f %9.1f %11.2f\n", round, label, io, mb, lat, p99, cpu);
}

// Side F's files hold data before a workload that reads them or overwrites
// them; first writes empty them run by run themselves.
int prepare_files(const Config &cfg, Bench *b, const Workload &w) {
    if (cfg.sides.find('F') == std::string::npos || w.alloc || b->files.written)
        return 0;
    printf("filling %d file%s of %llu MiB in the instance\n", b->files.nfiles,
           b->files.nfiles == 1 ? "" : "s", (unsigned long long)(b->files.file_size / kMiB));
    return files_fill(&b->files, cfg.seed) < 0 ? 1 : 0;
}

int run_workload(const Config &cfg, Bench *b, const Workload &w, WorkloadSummary *sum) {
    const Target &t = b->t;
    if (w.bs > t.region || (cfg.sides.find('F') != std::string::npos && w.bs > b->files.file_size)) {
        fprintf(stderr, "tav_bench: %s: block size %zu exceeds the region of %llu bytes%s\n", w.name.c_str(),
                w.bs, (unsigned long long)t.region, cfg.files > 1 ? " or a file's share of it" : "");
        return 1;
    }
    Buffers bufs;
    if (buffers_alloc(&bufs, w.depth, w.bs) < 0) {
        fprintf(stderr, "tav_bench: out of memory for %d buffers of %zu bytes\n", w.depth, w.bs);
        return 1;
    }
    if (prepare_files(cfg, b, w) != 0)
        return 1;
    const Limits lim = {cfg.seconds, cfg.count};
    printf("\n== %s: %s%s %s of %zu KiB, depth %d, %d runs of ", w.name.c_str(),
           w.random ? "random" : "sequential", w.alloc ? " first" : "",
           w.read_pct >= 0 ? "reads and writes"
           : w.write       ? "writes"
                           : "reads",
           w.bs / 1024, w.depth, cfg.runs);
    if (cfg.count)
        printf("%llu requests", (unsigned long long)cfg.count);
    else
        printf("%.2f s", cfg.seconds);
    printf(" over %llu MiB\n", (unsigned long long)(t.region / kMiB));
    if (w.read_pct >= 0)
        printf("mix: %d%% reads\n", w.read_pct);

    RunStats st;
    if (cfg.warmup > 0) {
        const Limits wl = {cfg.warmup, 0};
        for (char side : cfg.sides) {
            int r = run_side(b, side, w, wl, cfg.seed - 1, bufs, &st);
            if (check_run(side, w, "the warm-up", r, st) || g_interrupted)
                return 1;
        }
    }

    std::vector<std::vector<RunStats>> runs(cfg.sides.size());
    printf("%-6s %-9s %12s %10s %9s %9s %11s\n", "round", "side", "IOPS", "MiB/s", "lat us", "p99 us",
           "cpu us/req");
    for (int round = 1; round <= cfg.runs; round++) {
        for (size_t i = 0; i < cfg.sides.size(); i++) {
            char side = cfg.sides[i];
            int r = run_side(b, side, w, lim, cfg.seed + (uint64_t)round, bufs, &st);
            char when[32];
            snprintf(when, sizeof(when), "run %d", round);
            if (check_run(side, w, when, r, st) || g_interrupted)
                return 1;
            runs[i].push_back(st);
            print_run_line(std::to_string(round).c_str(), side_of(side).label, iops(st), mibs(st),
                           st.lat.mean_us(), st.lat.quantile_us(0.99), cpu_us(st));
        }
    }

    sum->name = w.name;
    for (size_t i = 0; i < cfg.sides.size(); i++) {
        std::vector<double> a, m, l, p, c;
        for (const RunStats &s : runs[i]) {
            a.push_back(iops(s));
            m.push_back(mibs(s));
            l.push_back(s.lat.mean_us());
            p.push_back(s.lat.quantile_us(0.99));
            c.push_back(cpu_us(s));
        }
        sum->sides.push_back({cfg.sides[i], median(a), median(m), median(l), median(p), median(c)});
        print_run_line("median", side_of(cfg.sides[i]).label, median(a), median(m), median(l), median(p),
                       median(c));
    }
    size_t ai = cfg.sides.find('A');
    if (ai != std::string::npos)
        for (size_t i = 0; i < cfg.sides.size(); i++)
            if (i != ai)
                print_ratio(cfg.sides[i], runs[i], runs[ai], sum->sides[i], sum->sides[ai]);
    return 0;
}

void print_summary(const Config &cfg, const std::vector<WorkloadSummary> &all) {
    printf("\n== summary: medians of %d runs; ratios to side A\n", cfg.runs);
    printf("%-19s %-9s %12s %10s %9s %9s %11s %7s %7s\n", "workload", "side", "IOPS", "MiB/s", "lat us",
           "p99 us", "cpu us/req", "IOPS/A", "cpu/A");
    for (const WorkloadSummary &ws : all) {
        const SideSummary *a = nullptr;
        for (const SideSummary &s : ws.sides)
            if (s.letter == 'A')
                a = &s;
        bool first = true;
        for (const SideSummary &s : ws.sides) {
            printf("%-19s %-9s %12.0f %10.1f %9.1f %9.1f %11.2f", first ? ws.name.c_str() : "",
                   side_of(s.letter).label, s.iops, s.mibs, s.lat_us, s.p99_us, s.cpu_us);
            if (a && &s != a)
                printf(" %7.3f %7.3f", ratio(s.iops, a->iops), ratio(s.cpu_us, a->cpu_us));
            printf("\n");
            first = false;
        }
    }
}

// With side F the target holds the instance first and the region of the
// other sides after it; the region is whole MiB per file.
int layout(const Config &cfg, Bench *b) {
    Target *t = &b->t;
    const bool with_files = cfg.sides.find('F') != std::string::npos;
    const uint64_t unit = with_files ? (uint64_t)cfg.files * kMiB : kMiB;
    if (cfg.path.empty()) {
        uint64_t region = cfg.size / unit * unit;
        if (region == 0) {
            fprintf(stderr, "tav_bench: --size is less than 1 MiB per file\n");
            return -EINVAL;
        }
        uint64_t base = with_files ? files_instance_blocks(region) * kMiB : 0;
        int r = target_create_file(t, cfg.dir, base + region);
        if (r < 0)
            return r;
        t->base = base;
        t->region = region;
        return 0;
    }
    int r = target_use_path(t, cfg.path, 0, UINT64_MAX, cfg.overwrite);
    if (r < 0)
        return r;
    const uint64_t length = t->region;
    uint64_t region = cfg.size ? cfg.size : std::min(length, cfg.size_cap);
    region = region / unit * unit;
    uint64_t base = with_files ? files_instance_blocks(region) * kMiB : 0;
    // Without --size the region shrinks until the instance fits in front.
    while (cfg.size == 0 && region > 0 && base + region > length) {
        region = (region - std::max(unit, region / 32)) / unit * unit;
        base = with_files ? files_instance_blocks(region) * kMiB : 0;
    }
    if (region == 0 || base + region > length) {
        fprintf(stderr, "tav_bench: %s holds %llu bytes, fewer than the %llu needed\n", cfg.path.c_str(),
                (unsigned long long)length, (unsigned long long)(base + (region ? region : unit)));
        return -EINVAL;
    }
    t->base = base;
    t->region = region;
    return 0;
}

int run_all(const Config &cfg, Bench *b) {
    Target *t = &b->t;
    if (layout(cfg, b) < 0)
        return 1;
    if (target_open(t) < 0)
        return 1;
    if (cfg.kvol && target_make_volume(t, cfg.dir) < 0)
        return 1;
    printf("target: %s (%s, %llu MiB used from offset %llu MiB, engine block size %zu)\n", t->path.c_str(),
           t->is_blockdev ? "block device" : "regular file", (unsigned long long)(t->region / kMiB),
           (unsigned long long)(t->base / kMiB), ioengine_get_blksz(t->libaio));
    if (t->kvol)
        printf("volume: %s (engine block size %zu)\n", t->vol_path.c_str(), ioengine_get_blksz(t->kvol));
    if (cfg.sides.find('F') != std::string::npos) {
        const uint64_t fsize = t->region / (uint64_t)cfg.files;
        if (files_open(&b->files, t->path, t->base / kMiB, cfg.files, fsize, cfg.compressible) < 0)
            return 1;
        printf("instance: %llu MiB at the front of %s, %d %s file%s of %llu MiB\n",
               (unsigned long long)(t->base / kMiB), t->path.c_str(), cfg.files,
               cfg.compressible ? "compressible" : "ordinary", cfg.files == 1 ? "" : "s",
               (unsigned long long)(fsize / kMiB));
    }
    printf("sides: %s; %ld cpus\n", cfg.sides.c_str(), sysconf(_SC_NPROCESSORS_ONLN));
    print_loadavg("at start");
    if (cfg.fill && t->writable) {
        if (fill(cfg, *t) != 0)
            return g_interrupted ? 130 : 1;
    } else if (cfg.fill) {
        printf("not filled: %s is used read-only\n", t->path.c_str());
    }

    std::vector<WorkloadSummary> all;
    for (const Workload &w : cfg.workloads) {
        WorkloadSummary sum;
        if (run_workload(cfg, b, w, &sum) != 0)
            return g_interrupted ? 130 : 1;
        all.push_back(sum);
    }
    print_summary(cfg, all);
    print_loadavg("at end");
    return 0;
}

void on_signal(int) {
    g_interrupted = 1;
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Config cfg;
    int r = parse_args(argc, argv, &cfg);
    if (r != 0)
        return r == 1 ? 0 : 2;

    logger_set_target(LOG_TARGET_STDERR, nullptr);
    logger_set_loglevel(LOG_LEVEL_WARNING);
    kvol_logger_target(KVOL_LOG_TARGET_STDOUT);
    kvol_logger_level(KVOL_LOG_LEVEL_ERROR);
    tav_iobuf_pool_init();

    // No SA_RESTART: a blocked io_getevents returns and the run drains.
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    Bench b;
    int rc = run_all(cfg, &b);
    files_close(&b.files);
    target_close(&b.t);
    tav_iobuf_pool_fini();
    if (g_interrupted) {
        fprintf(stderr, "tav_bench: interrupted\n");
        return 130;
    }
    return rc;
}

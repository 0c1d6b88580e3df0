// A fault-injecting, recording I/O engine plug-in for tests, registered as
// kFaultEngine by the first call to fault_engine().
//
// It opens, sizes and moves data through a backend plug-in ("libaio" for a
// file, "kvol" for a volume), and on top of that:
//   - fails chosen transfers: by direction and byte range, a given number of
//     times, with a given errno;
//   - returns scripted results instead of moving data, where a test needs
//     exact backend results (short transfers, particular error codes);
//   - reports a different block size at open;
//   - reports byte ranges as bad tracks;
//   - records every transfer it is handed (whether it failed, was scripted or
//     reached the device), every unmap and every bad-track mark and clear.
// Unmaps and bad-track marks and clears succeed without touching the file.
//
// The state is process-wide, like the engine registry; the engine runs on the
// test's thread.  Tests reset it before use (DeviceTest does at every open).
#ifndef TAV_TEST_FAULT_ENGINE_H
#define TAV_TEST_FAULT_ENGINE_H

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <deque>
#include <utility>
#include <vector>

namespace tavtest {

extern const char *const kFaultEngine;

struct FaultEngine {
    // A transfer of direction `write` that overlaps [off, off + len) fails
    // with -err while `remaining` is non-zero (each failure counts it down;
    // -1: always), once the first `skip` such transfers have gone through.
    // The first matching fault wins.
    struct Fault {
        bool write;
        uint64_t off, len;
        int err;
        int remaining;
        int skip;
    };
    struct Transfer {
        bool write;
        uint64_t off, len;
        bool forwarded; // false: failed by a fault or answered from the script
    };
    using Range = std::pair<uint64_t, uint64_t>; // byte offset, length

    void fail_reads(uint64_t off, uint64_t len, int times = -1, int err = EIO) {
        faults.push_back({false, off, len, err, times, 0});
    }
    void fail_writes(uint64_t off, uint64_t len, int times = -1, int err = EIO, int skip = 0) {
        faults.push_back({true, off, len, err, times, skip});
    }
    void add_badtrack(uint64_t off, uint64_t len) { badtracks.push_back({off, len}); }
    // Forgets every fault, script entry, setting and record.
    void reset() { *this = FaultEngine{}; }

    // Transfers in the order they were issued.
    std::vector<Transfer> reads() const { return select(false, false); }
    std::vector<Transfer> writes() const { return select(true, false); }
    // Writes that reached the device.
    std::vector<Transfer> forwarded_writes() const { return select(true, true); }

    // The plug-in that opens the device and moves the data; taken at open.
    const char *backend = "libaio";

    std::vector<Fault> faults;
    // Results of the next transfers, in order, returned instead of moving
    // any data (checked before the faults).
    std::deque<ssize_t> script;
    // Non-zero: the block size reported at open instead of the device's.
    size_t phy_blksz = 0;
    std::vector<Range> badtracks;

    std::vector<Transfer> transfers;
    std::vector<Range> unmaps, marked, cleared;

private:
    std::vector<Transfer> select(bool write, bool forwarded_only) const;
};

// The plug-in's state; registers the plug-in on the first call.
FaultEngine &fault_engine();

} // namespace tavtest

#endif

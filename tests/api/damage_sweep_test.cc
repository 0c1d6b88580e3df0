// Damage of every metadata region of the populated image (damage_fixture.h),
// on a file through libaio and on a volume through kvol:
//   - a sweep that replaces each region in turn with seeded random bytes
//     (all of it, or a run inside it);
//   - seeded random bit flips of one region or two at once.
// Each case refuses the start with its errno and log line, or starts, is used
// (statfs, the listing, the intact files' records, maps and contents; the
// damaged files opened and read for whatever they give), finishes, and
// leaves an image that starts as cleanly again.  TAV_DAMAGE_SEED sets the
// seed of both, TAV_DAMAGE_TRIALS the number of flip trials (16 by default,
// for CI); a failure prints the seed, the trial and the damage.
#include "damage_fixture.h"

namespace {

using damagetest::Damage;
using namespace damagetest;

class DamageSweep : public Damage {
protected:
    struct Region {
        std::string name;
        uint64_t off, len; // in the backing file
        const File *owner; // the file whose metadata it is, if any
    };

    // Every metadata region of the image, the inode pages of both groups
    // among them.  `wide` takes whole blocks where the sweep takes the page
    // the start reads first.
    std::vector<Region> regions(bool wide) const {
        std::vector<Region> r = {
            {"superblock copy A", base_ + kSbA, 4096, nullptr},
            {"superblock copy B", base_ + kSbB, 4096, nullptr},
            {"backup superblock", base_ + (first_data_ - 1) * MiB + kSbA, 0x3000, nullptr},
            {"unused inode slot of group 0", base_ + slot_of(100), 8192, nullptr},
            {"unused inode slot of group 1", base_ + slot_of(kInodesPerGroup + 100), 8192, nullptr},
            {"zone-map page 0", base_ + first_bitmap_ * MiB, 4096, nullptr},
        };
        if (wide)
            r.push_back({"a later zone-map page", base_ + first_bitmap_ * MiB + 4096, 255 * 4096, nullptr});
        else
            r.push_back({"the last zone-map page", base_ + (first_data_ - 1) * MiB - 4096, 4096, nullptr});
        for (const File *f : {&f1_, &f2_, &u_, &p_}) {
            std::string n = "file " + std::to_string(f->gfid[15]);
            r.push_back({"inode slot of " + n, base_ + slot_of(f->ino), 8192, f});
            r.push_back({"extent block of " + n, base_ + f->extent_block * MiB, wide ? MiB : 8192, f});
        }
        if (GetParam() == Backend::Volume) {
            r.push_back({"volume superblock", 0, 512, nullptr});
            r.push_back({"volume superblock copy 1", 0x1000, 512, nullptr});
            r.push_back({"bad-track bitmap block 0", 0x2000, 0x2000, nullptr});
            r.push_back({"address-map entry 0", 0x800000, 512, nullptr});
            r.push_back({"address-map entry 0 copy 1", 0x801000, 512, nullptr});
        }
        return r;
    }

    // Starts on the damaged image and checks the outcome: refused with its
    // errno and log line (and the superblock copy that was not damaged left
    // alone), or started, used, finished and started again cleanly.
    void start_damaged(const std::vector<const Region *> &hit, FiniAt when) {
        std::vector<const File *> intact, damaged;
        for (const File *f : {&f1_, &f2_}) {
            bool touched = false;
            for (const Region *reg : hit)
                touched |= reg->owner == f;
            (touched ? damaged : intact).push_back(f);
        }
        auto sb_hit = [&](uint64_t copy) {
            for (const Region *reg : hit)
                if (reg->off == base_ + copy)
                    return true;
            return false;
        };
        const bool one_sb_copy = sb_hit(kSbA) != sb_hit(kSbB);
        const uint64_t other = sb_hit(kSbA) ? kSbB : kSbA;
        Bytes other_sb = fs(other, 4096);

        Start s = start(false);
        if (!s.ok()) {
            if (s.launched != 0) {
                EXPECT_EQ(-EIO, s.launched);
                EXPECT_TRUE(log_contains("kvol init failed, path: " + dev_ + ": -5(Input/output error)"));
            } else {
                EXPECT_EQ(1, s.res.calls);
                // A zone-map page that fails its check is EACCES.
                EXPECT_TRUE(s.res.err == EIO || s.res.err == EACCES) << s.res.err;
                EXPECT_TRUE(
                    log_contains("tav init failed: -1(" + std::string(strerror((int)s.res.err)) + ")"));
            }
            if (one_sb_copy) {
                EXPECT_TRUE(fs(other, 4096) == other_sb) << "the good superblock copy was written";
            }
            return;
        }
        tav *inst = s.res.instance;
        use(inst, intact);
        for (const File *f : damaged)
            poke(inst, f);
        reach(inst, when);
        fini(inst);
        expect_restart_intact(intact);
    }

    void fail_with_errors() {
        for (const auto &l : errors_logged())
            ADD_FAILURE() << l;
    }
};

// Each region in turn replaced with random bytes: all of it, or a run of up
// to 256 bytes at a random place.  Whether a region is hit whole and where
// follows from the seed.
TEST_P(DamageSweep, RandomBytesInEachRegionInTurn) {
    const uint64_t seed = damage_seed();
    SCOPED_TRACE("TAV_DAMAGE_SEED=" + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const std::vector<Region> all = regions(false);
    for (const Region &reg : all) {
        const bool whole = rng() % 2 == 0;
        const uint64_t len = whole ? reg.len : 1 + rng() % std::min<uint64_t>(256, reg.len);
        const uint64_t off = reg.off + (whole ? 0 : rng() % (reg.len - len + 1));
        SCOPED_TRACE(std::string(whole ? "random bytes over " : std::to_string(len) + " random bytes in ") +
                     reg.name + " at " + std::to_string(off));
        restore();
        clear_log();
        Bytes junk(len);
        for (auto &b : junk)
            b = static_cast<uint8_t>(rng());
        put_raw(off, junk);
        // The reclaim runs on what it finds when U's or P's metadata is hit;
        // other regions finish at once (the flips vary the moment).
        start_damaged({&reg}, reg.owner == &u_ || reg.owner == &p_ ? FiniAt::After : FiniAt::Before);
        if (HasFailure()) {
            fail_with_errors();
            break;
        }
    }
}

// Random flips over every metadata region: one region, or two at once (one
// trial in four).
TEST_P(DamageSweep, RandomFlipsOfEveryMetadataRegion) {
    const char *env_trials = getenv("TAV_DAMAGE_TRIALS");
    const int trials = env_trials ? atoi(env_trials) : 16;
    const uint64_t seed = damage_seed();
    SCOPED_TRACE("TAV_DAMAGE_SEED=" + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const std::vector<Region> all = regions(true);

    for (int t = 0; t < trials; t++) {
        std::vector<const Region *> hit = {&all[rng() % all.size()]};
        if (rng() % 4 == 0)
            hit.push_back(&all[rng() % all.size()]);
        const FiniAt when = static_cast<FiniAt>(rng() % 3);
        std::string what;
        restore();
        clear_log();
        for (const Region *reg : hit) {
            const int flips = 1 + static_cast<int>(rng() % 4);
            what += (what.empty() ? "" : " and ") + std::to_string(flips) + " flips in " + reg->name;
            for (int i = 0; i < flips; i++) {
                uint64_t off = reg->off + rng() % reg->len;
                Bytes b = raw(off, 1);
                b[0] ^= static_cast<uint8_t>(1u << (rng() % 8));
                put_raw(off, b);
            }
        }
        SCOPED_TRACE("trial " + std::to_string(t) + ": " + what);
        start_damaged(hit, when);
        if (HasFailure()) {
            fail_with_errors();
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, DamageSweep, ::testing::Values(Backend::File, Backend::Volume),
                         [](const auto &info) { return std::string(tavtest::backend_name(info.param)); });

} // namespace

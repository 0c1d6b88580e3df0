// Model-based randomised test of the data path: a seeded random mix of
// creates, writes, reads, truncates, fallocates (every mode), discards,
// zero-fills, fiemaps, extended-attribute sets, gets and removes, unlinks
// (with and without a handle left open) and re-creates under the same name,
// statfs, syncs and restarts of the instance on ordinary, COMPRESSIBLE and
// BD files, with offsets and sizes on the boundaries that
// matter (unaligned, 2048, 4 KiB, 128 KiB, 1 MiB, extent-page and
// extent-block spans) and batches of requests in flight at once on one file
// (sometimes with the handles closed and the instance finished under them).
// Every read is compared with an in-memory model of each file, every fiemap
// with the model's mapped ranges, every statfs with the model's block count
// (once the unlink timer has reclaimed what unlinks released), every
// attribute get with the model's attributes.
//
// TAV_MODEL_SEED=<n> replays a run; TAV_MODEL_OPS=<n> sets the number of
// operations (default 300 per engine); TAV_MODEL_SECONDS=<s> runs for that
// long instead.  A failure prints its seed and the last operations.
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <stdlib.h>
#include <string.h>

#include <bitset>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>

#include "data.h"
#include "data_support.h"

namespace datatest {
namespace {

using tavtest::CbkResult;
using tavtest::common_cbk;

constexpr uint64_t P = 4096;
constexpr uint64_t GiB = 1ull << 30;

inline uint64_t rdown(uint64_t v, uint64_t a) {
    return v / a * a;
}
inline uint64_t rup(uint64_t v, uint64_t a) {
    return (v + a - 1) / a * a;
}

// ---- the model of one file ------------------------------------------------------

struct Page {
    uint8_t data[P] = {};
    std::bitset<P> unknown; // bytes the device holds that were never written (HARD fallocate)
};

struct Model {
    Kind kind;
    bool inl = true;          // INLINE
    bool inline_data = false; // inline data written at least once
    uint64_t size = 0;
    std::map<uint64_t, Page> pages; // pages holding data (written bit set)
    std::set<uint64_t> mapped;      // mapped segments
    std::set<uint64_t> extents;     // extent blocks allocated
    std::map<std::string, Bytes> xattrs;

    bool slices() const { return kind == Kind::Compressible; }
    uint64_t seg() const { return slices() ? 128 * KiB : MiB; }
    uint64_t extent_span() const { return slices() ? 8 * GiB : 16 * GiB; }

    uint8_t byte(uint64_t b, bool *known) const {
        auto it = pages.find(b / P);
        if (it == pages.end()) {
            *known = true;
            return 0;
        }
        *known = !it->second.unknown[b % P];
        return it->second.data[b % P];
    }
    void set(uint64_t b, uint8_t v) {
        Page &pg = pages[b / P];
        pg.data[b % P] = v;
        pg.unknown[b % P] = false;
    }
    void add_extents(uint64_t o, uint64_t l) {
        for (uint64_t i = o / extent_span(); i <= (o + l - 1) / extent_span(); i++)
            extents.insert(i);
    }
    void transform() {
        inl = false;
        extents.insert(0);
        if (inline_data) {
            mapped.insert(0);
            pages[0]; // the whole 4 KiB page: inline bytes and zero padding
        } else {
            pages.erase(0);
        }
        inline_data = false;
    }
    uint64_t data_blocks() const {
        if (!slices())
            return mapped.size();
        std::set<uint64_t> blocks;
        for (uint64_t s : mapped)
            blocks.insert(s / 8);
        return blocks.size();
    }
    uint64_t blocks() const { return data_blocks() + extents.size(); }

    void write(uint64_t o, const Bytes &d) {
        const uint64_t l = d.size();
        if (inl && o + l <= TAV_INODE_INLINE_SIZE) {
            for (uint64_t i = 0; i < l; i++)
                set(o + i, d[i]);
            inline_data = true;
            size = std::max(size, o + l);
            return;
        }
        if (inl)
            transform();
        add_extents(o, l);
        for (uint64_t s = o / seg(); s <= (o + l - 1) / seg(); s++)
            mapped.insert(s);
        for (uint64_t p = o / P; p <= (o + l - 1) / P; p++)
            pages[p]; // a new page is padded with zeros
        for (uint64_t i = 0; i < l; i++)
            set(o + i, d[i]);
        size = std::max(size, o + l);
    }
    void fallocate(int mode, uint64_t o, uint64_t l) {
        size = std::max(size, o + l);
        if (inl)
            transform();
        add_extents(o, l);
        for (uint64_t s = o / seg(); s <= (o + l - 1) / seg(); s++)
            mapped.insert(s);
        if (mode == TAV_FALLOC_HARD || mode == TAV_FALLOC_HARD_CACHED)
            for (uint64_t p = rup(o, P) / P; p < rdown(o + l, P) / P; p++)
                if (!pages.count(p))
                    pages[p].unknown.set();
    }
    // The zero-fill walk on [o, o + l) (already cut at the end of file).
    void zerofill_range(int mode, uint64_t o, uint64_t l) {
        for (uint64_t s = o / seg(); s <= (o + l - 1) / seg(); s++) {
            if (!mapped.count(s))
                continue;
            uint64_t a = std::max(o, s * seg()), b = std::min(o + l, (s + 1) * seg());
            if (mode == TAV_ZEROFILL_DEFAULT) {
                for (uint64_t p = rup(a, P) / P; p < rdown(b, P) / P; p++)
                    pages.erase(p);
            } else {
                bool any = false;
                for (uint64_t p = a / P; p <= (b - 1) / P && !any; p++)
                    any = pages.count(p) > 0;
                if (!any)
                    continue;
            }
            for (uint64_t x = a; x < b; x++)
                if (pages.count(x / P))
                    set(x, 0);
        }
    }
    void zerofill(int mode, uint64_t o, uint64_t l) {
        if (o >= size)
            return;
        l = std::min(l, size - o);
        if (inl) {
            for (uint64_t x = o; x < std::min<uint64_t>(o + l, TAV_INODE_INLINE_SIZE); x++)
                if (pages.count(x / P))
                    set(x, 0);
            return;
        }
        zerofill_range(mode, o, l);
    }
    void discard_range(uint64_t o, uint64_t l) {
        for (uint64_t s = o / seg(); s <= (o + l - 1) / seg(); s++) {
            if (!mapped.count(s))
                continue;
            uint64_t a = std::max(o, s * seg()), b = std::min(o + l, (s + 1) * seg());
            for (uint64_t p = a / P; p < b / P; p++)
                pages.erase(p);
            bool left = false;
            for (uint64_t p = s * seg() / P; p < (s + 1) * seg() / P && !left; p++)
                left = pages.count(p) > 0;
            if (a == s * seg() && b == (s + 1) * seg())
                left = false;
            if (!left) {
                mapped.erase(s);
                for (uint64_t p = s * seg() / P; p < (s + 1) * seg() / P; p++)
                    pages.erase(p);
            }
        }
    }
    void discard(uint64_t o, uint64_t l) {
        if (o >= size)
            return;
        if (inl) {
            if (o == 0) {
                pages.erase(0);
                inline_data = false;
            }
            return;
        }
        if (o + l > size) {
            uint64_t down = rdown(size, P);
            if (size % P) {
                zerofill_range(TAV_ZEROFILL_DEFAULT, down, size - down);
                l = down > o ? down - o : 0;
            } else {
                l = size - o;
            }
        }
        if (l)
            discard_range(o, l);
    }
    void truncate(uint64_t len) {
        if (len >= size) {
            size = len;
            return;
        }
        if (kind == Kind::Bd)
            return;
        if (inl) {
            for (uint64_t x = len; x < TAV_INODE_INLINE_SIZE; x++)
                if (pages.count(x / P))
                    set(x, 0);
        } else {
            uint64_t oe = rup(size, P), ne = rup(len, P);
            if (ne < oe)
                discard_range(ne, oe - ne);
            if (len % P)
                zerofill_range(TAV_ZEROFILL_DEFAULT, len, ne - len);
        }
        size = len;
    }
    // Blocks a fallocate of [o, o + l) still needs (its exact space check).
    uint64_t unmapped_blocks(uint64_t o, uint64_t l) const {
        uint64_t n = 0;
        for (uint64_t b = o / MiB; b <= (o + l - 1) / MiB; b++) {
            bool any = false;
            if (!slices())
                any = mapped.count(b) > 0;
            else
                for (uint64_t s = b * 8; s < b * 8 + 8 && !any; s++)
                    any = mapped.count(s) > 0;
            n += !any;
        }
        return n;
    }
    struct Ext {
        uint64_t logical, length;
        uint32_t flags;
    };
    // The fiemap answer for [start, start + length) (0: to the end).
    std::vector<Ext> fiemap(uint64_t start, uint64_t length) const {
        std::vector<Ext> out;
        if (start >= size)
            return out;
        if (length == 0)
            length = size - start;
        uint64_t ws = rdown(start, MiB);
        uint64_t we =
            std::min(rup(std::min<uint64_t>(start + length, TAV_MAX_FILE_SIZE), MiB), rup(size, MiB));
        if (inl) {
            if (ws == 0 && inline_data)
                out.push_back({0, 128 * KiB, FIEMAP_EXTENT_MERGED | FIEMAP_EXTENT_LAST});
            return out;
        }
        bool written = false;
        for (auto it = mapped.lower_bound(ws / seg()); it != mapped.end() && *it * seg() < we; ++it) {
            uint64_t s = *it;
            if (!out.empty() && out.back().logical + out.back().length == s * seg())
                out.back().length += seg();
            else
                out.push_back({s * seg(), seg(), FIEMAP_EXTENT_MERGED});
            for (uint64_t p = s * seg() / P; p < (s + 1) * seg() / P && !written; p++)
                written = pages.count(p) > 0;
        }
        if (!out.empty()) {
            out.back().flags |= FIEMAP_EXTENT_LAST;
            if (!written)
                out.front().flags |= FIEMAP_EXTENT_UNWRITTEN;
        }
        return out;
    }
};

// ---- the run ----------------------------------------------------------------------

uint64_t env_u64(const char *name, uint64_t dflt) {
    const char *v = getenv(name);
    return v && *v ? strtoull(v, nullptr, 0) : dflt;
}

class ModelTest : public EngineDataTest {
protected:
    ModelTest() { blocks_ = 1024; }
    void SetUp() override {
        DataTest::SetUp();
        seed_ = static_cast<unsigned>(env_u64("TAV_MODEL_SEED", std::random_device{}()));
        rng_.seed(seed_);
        struct statvfs sv;
        ASSERT_EQ(0, statfs(&sv));
        base_used_ = data_blocks() - sv.f_bfree;
        // Stale bytes where the blocks will come from, so that a page
        // exposed without its data shows.
        uint64_t base = inst_->sb.tav_disk_sb.s_first_data_block * MiB;
        Bytes junk(MiB, 0xc5);
        for (uint64_t b = 0; b < 192; b++)
            raw_write(base + b * MiB, junk);
    }

    uint64_t data_blocks() const {
        const tav_sb_ondisk *s = &inst_->sb.tav_disk_sb;
        return s->s_blocks_count - s->s_first_data_block;
    }
    uint64_t model_used() const {
        uint64_t n = base_used_;
        for (auto &kv : models_)
            n += kv.second.blocks();
        return n;
    }
    uint64_t rnd(uint64_t n) { return n ? rng_() % n : 0; }
    bool chance(int pct) { return static_cast<int>(rnd(100)) < pct; }

    uint64_t pick_offset(const Model &m) {
        static const uint64_t bases[] = {0,        2048,     4096,      128 * KiB, MiB,
                                         16 * MiB, 64 * MiB, 128 * MiB, 8 * GiB,   16 * GiB};
        static const int weights[] = {30, 10, 15, 10, 15, 5, 5, 5, 3, 2};
        int total = 0, w = 0;
        for (int x : weights)
            total += x;
        int r = static_cast<int>(rnd(static_cast<uint64_t>(total)));
        size_t i = 0;
        while (r >= (w += weights[i]))
            i++;
        uint64_t base = bases[i];
        if (m.slices() && base == 16 * GiB)
            base = 8 * GiB;
        static const int64_t jitter[] = {0, -1, 1, -4096, 4096, -2048, 100, 7, -100, 0};
        int64_t j = jitter[rnd(10)];
        if (chance(20))
            j += static_cast<int64_t>(rnd(3 * MiB));
        return static_cast<uint64_t>(std::max<int64_t>(0, static_cast<int64_t>(base) + j));
    }
    uint64_t pick_size() {
        static const uint64_t sizes[] = {
            1,    10,    100,           2047,      2048,          2049,    4095, 4096,    4097,
            8192, 12345, 128 * KiB - 1, 128 * KiB, 128 * KiB + 1, MiB - 1, MiB,  MiB + 1, 2 * MiB + 7};
        uint64_t s = sizes[rnd(sizeof(sizes) / sizeof(sizes[0]))];
        return s;
    }
    Bytes random_bytes(uint64_t n) {
        Bytes b(n);
        uint8_t v = static_cast<uint8_t>(rng_());
        for (uint64_t i = 0; i < n; i++)
            b[i] = static_cast<uint8_t>(v + i * 13 + (i >> 12));
        return b;
    }

    void note(const std::string &s) {
        ops_.push_back(s);
        if (ops_.size() > 25)
            ops_.pop_front();
    }
    std::string trail() const {
        std::ostringstream o;
        o << "seed " << seed_ << " (TAV_MODEL_SEED=" << seed_ << " replays it); last operations:\n";
        for (auto &s : ops_)
            o << "  " << s << "\n";
        return o.str();
    }

    // Compares a read of [o, o + got.size()) with the model.
    bool same(const Model &m, uint64_t o, const Bytes &got, std::string *why) {
        for (uint64_t i = 0; i < got.size(); i++) {
            bool known;
            uint8_t want = m.byte(o + i, &known);
            if (known && got[i] != want) {
                std::ostringstream s;
                s << "byte " << o + i << ": read " << static_cast<int>(got[i]) << ", model "
                  << static_cast<int>(want);
                *why = s.str();
                return false;
            }
        }
        return true;
    }
    bool check_read(unsigned char tag, uint64_t o, uint64_t l) {
        const Model &m = models_.at(tag);
        Buf b(l, 0xee);
        int64_t r = pread(fd(tag), b.data(), l, o);
        int64_t expect = o >= m.size ? 0 : static_cast<int64_t>(std::min(l, m.size - o));
        if (r != expect) {
            ADD_FAILURE() << "read " << o << "+" << l << " returned " << r << ", expected " << expect << "\n"
                          << trail();
            return false;
        }
        std::string why;
        if (!same(m, o, Bytes(b.p, b.p + r), &why)) {
            ADD_FAILURE() << "read " << o << "+" << l << ": " << why << "\n" << trail();
            return false;
        }
        return true;
    }
    bool check_fiemap(unsigned char tag, uint64_t start, uint64_t length, uint32_t count) {
        const Model &m = models_.at(tag);
        Fiemap fm(count, start, length);
        int64_t r = fiemap(fd(tag), fm.fm());
        auto want = m.fiemap(start, length);
        if (count && want.size() > count) {
            if (r != -ENOSPC) {
                ADD_FAILURE() << "fiemap beyond its array returned " << r << "\n" << trail();
                return false;
            }
            return true;
        }
        bool ok = r == 0 && fm.fm()->fm_mapped_extents == want.size();
        for (size_t i = 0; ok && count && i < want.size(); i++) {
            const struct fiemap_extent &e = fm.fm()->fm_extents[i];
            ok = e.fe_logical == want[i].logical && e.fe_length == want[i].length &&
                 e.fe_flags == want[i].flags;
        }
        if (!ok) {
            std::ostringstream s;
            s << "fiemap " << start << "+" << length << " returned " << r << " with "
              << fm.fm()->fm_mapped_extents << " extents:";
            for (uint32_t i = 0; count && i < std::min(fm.fm()->fm_mapped_extents, count); i++)
                s << " [" << fm.fm()->fm_extents[i].fe_logical << "+" << fm.fm()->fm_extents[i].fe_length
                  << " 0x" << std::hex << fm.fm()->fm_extents[i].fe_flags << std::dec << "]";
            s << "; model:";
            for (auto &e : want)
                s << " [" << e.logical << "+" << e.length << " 0x" << std::hex << e.flags << std::dec << "]";
            ADD_FAILURE() << s.str() << "\n" << trail();
        }
        return ok;
    }
    // Blocks in use as statfs reports them; -1 when statfs fails.
    int64_t statfs_used() {
        struct statvfs sv;
        if (statfs(&sv) != 0)
            return -1;
        return static_cast<int64_t>(data_blocks() - sv.f_bfree);
    }
    // Unlinked files give their blocks back in the background: waits
    // (bounded) for the unlink timer to catch up with the model.
    int64_t settled_used() {
        int64_t used = statfs_used();
        for (int i = 0;
             reclaim_pending_ && used >= 0 && static_cast<uint64_t>(used) != model_used() && i < 150; i++) {
            tavtest::run_until([] { return false; }, 0.2);
            used = statfs_used();
        }
        if (used >= 0 && static_cast<uint64_t>(used) == model_used())
            reclaim_pending_ = false;
        return used;
    }
    bool check_statfs() {
        int64_t s = settled_used();
        if (s < 0)
            return false;
        uint64_t used = static_cast<uint64_t>(s);
        if (used != model_used()) {
            ADD_FAILURE() << "statfs: " << used << " blocks used, model " << model_used() << "\n" << trail();
            return false;
        }
        return true;
    }
    // Every page the model holds reads back, and every file's fiemap matches.
    bool check_all() {
        for (auto &kv : models_) {
            for (auto &pg : kv.second.pages) {
                uint64_t o = pg.first * P;
                if (o < kv.second.size && !check_read(kv.first, o, std::min(P, kv.second.size - o)))
                    return false;
            }
            if (!check_fiemap(kv.first, 0, 0, 0))
                return false;
            for (int k = 0; k < 4; k++)
                if (!check_xattr(kv.first, kv.second, "user.k" + std::to_string(k), k % 2))
                    return false;
        }
        return check_statfs();
    }

    bool expect_ret(const char *what, int64_t got, int64_t want) {
        if (got == want)
            return true;
        ADD_FAILURE() << what << " returned " << got << ", expected " << want << "\n" << trail();
        return false;
    }

    // One random operation; false on the first mismatch.
    bool step() {
        if (models_.size() < 6 && (models_.empty() || chance(2))) {
            // The lowest free tag: after an unlink that is a name used before.
            unsigned char tag = 1;
            while (models_.count(tag))
                tag++;
            Kind k = static_cast<Kind>(rnd(3));
            note(std::string("create ") + std::to_string(tag) + " " + kind_name(k));
            if (!create(tag, k))
                return false;
            models_.emplace(tag, Model{k});
            return true;
        }
        auto it = models_.begin();
        std::advance(it, static_cast<long>(rnd(models_.size())));
        unsigned char tag = it->first;
        Model &m = it->second;
        // Keep clear of a full device: the model does not follow ENOSPC.
        const uint64_t free = data_blocks() - model_used();
        const bool room = free > 96;
        std::ostringstream d;
        d << "file " << static_cast<int>(tag) << " (" << kind_name(m.kind) << ", size " << m.size << "): ";
        int op = static_cast<int>(rnd(108));
        if (op < 26 && room) {
            uint64_t o = pick_offset(m), l = pick_size();
            if (m.slices() && o + l > TAV_COMPRESSIBLE_MAX)
                o = 0;
            Bytes b = random_bytes(l);
            d << "write " << o << "+" << l;
            note(d.str());
            Buf buf(l);
            memcpy(buf.data(), b.data(), l);
            if (!expect_ret("write", pwrite(fd(tag), buf.data(), l, o), static_cast<int64_t>(l)))
                return false;
            m.write(o, b);
            return true;
        }
        if (op < 44) {
            uint64_t o = chance(50) && m.size ? rnd(m.size + 1) : pick_offset(m), l = pick_size();
            d << "read " << o << "+" << l;
            note(d.str());
            return check_read(tag, o, l);
        }
        if (op < 54 && room)
            return batch(tag, m);
        if (op < 61) {
            uint64_t len = chance(40) && m.size ? rnd(m.size + 1) : pick_offset(m);
            d << "truncate " << len;
            note(d.str());
            if (!expect_ret("truncate", ftruncate(fd(tag), len), 0))
                return false;
            m.truncate(len);
            return true;
        }
        if (op < 69 && room) {
            static const int modes[] = {TAV_FALLOC_DEFAULT, TAV_FALLOC_HARD, TAV_FALLOC_HARD_CACHED,
                                        TAV_FALLOC_TEST};
            int mode = modes[rnd(4)];
            uint64_t o = pick_offset(m);
            uint64_t l = mode == TAV_FALLOC_TEST && chance(50) ? (free + rnd(8)) * MiB : 1 + rnd(8 * MiB);
            if (m.slices() && o + l > TAV_COMPRESSIBLE_MAX)
                o = 0;
            d << "fallocate mode " << mode << " " << o << "+" << l;
            note(d.str());
            int64_t want = 0;
            if (mode == TAV_FALLOC_TEST) {
                if (settled_used() < 0)
                    return false;
                uint64_t coarse = (o + l - 1) / MiB - o / MiB + 1;
                if (free < coarse)
                    want = m.inl || free < m.unmapped_blocks(o, l) ? -ENOSPC : 0;
            }
            if (!expect_ret("fallocate", fallocate(fd(tag), mode, o, l), want))
                return false;
            if (mode != TAV_FALLOC_TEST)
                m.fallocate(mode, o, l);
            return true;
        }
        if (op < 77) {
            uint64_t o = rdown(chance(50) && m.size ? rnd(m.size + 1) : pick_offset(m), P);
            uint64_t l = rup(pick_size(), P);
            d << "discard " << o << "+" << l;
            note(d.str());
            if (!expect_ret("discard", discard(fd(tag), o, l), 0))
                return false;
            m.discard(o, l);
            return true;
        }
        if (op < 85) {
            int mode = chance(50) ? TAV_ZEROFILL_DEFAULT : TAV_ZEROFILL_HARD;
            uint64_t o = chance(50) && m.size ? rnd(m.size + 1) : pick_offset(m), l = pick_size();
            d << "zerofill mode " << mode << " " << o << "+" << l;
            note(d.str());
            if (!expect_ret("zerofill", zerofill(fd(tag), mode, o, l), 0))
                return false;
            m.zerofill(mode, o, l);
            return true;
        }
        if (op < 91) {
            uint64_t s = chance(50) ? 0 : pick_offset(m), l = chance(50) ? 0 : pick_size() * 4;
            uint32_t count = chance(30) ? 0 : chance(50) ? 2 : 64;
            d << "fiemap " << s << "+" << l << " count " << count;
            note(d.str());
            return check_fiemap(tag, s, l, count);
        }
        if (op < 95) {
            note("statfs");
            return check_statfs();
        }
        if (op < 98) {
            d << "fsync";
            note(d.str());
            return expect_ret("fsync", fsync(fd(tag)), 0);
        }
        if (op < 100) {
            note("restart");
            restart();
            return check_all();
        }
        if (op < 106)
            return xattr_op(tag, m, d);
        return unlink_op(tag, d);
    }

    // One attribute set, get or remove, by handle or by name, written
    // through or left to the dirty timer.
    bool xattr_op(unsigned char tag, Model &m, std::ostringstream &d) {
        const std::string key = "user.k" + std::to_string(rnd(4));
        const int action = static_cast<int>(rnd(3));
        const bool by_name = chance(50);
        const int sync = chance(50) ? 0 : TAV_XATTR_SYNC_DELAYED;
        unsigned char name[16];
        gfid_of(tag, name);
        CbkResult r;
        int launched;
        if (action == 0) {
            Bytes v = random_bytes(1 + rnd(200));
            d << "setxattr " << key << " size " << v.size() << " sync " << sync
              << (by_name ? " by name" : "");
            note(d.str());
            launched = by_name ? tav_setxattr_async(inst_, name, key.c_str(), v.data(), v.size(), sync,
                                                    nullptr, nullptr, common_cbk, &r)
                               : tav_fsetxattr_async(fd(tag), key.c_str(), v.data(), v.size(), sync, nullptr,
                                                     nullptr, common_cbk, &r);
            if (!finish("setxattr", launched, &r, 0))
                return false;
            m.xattrs[key] = v;
            return true;
        }
        if (action == 1) {
            d << "getxattr " << key << (by_name ? " by name" : "");
            note(d.str());
            return check_xattr(tag, m, key, by_name);
        }
        d << "removexattr " << key << " sync " << sync << (by_name ? " by name" : "");
        note(d.str());
        launched =
            by_name ? tav_removexattr_async(inst_, name, key.c_str(), sync, nullptr, nullptr, common_cbk, &r)
                    : tav_fremovexattr_async(fd(tag), key.c_str(), sync, nullptr, nullptr, common_cbk, &r);
        if (!finish("removexattr", launched, &r, m.xattrs.count(key) ? 0 : -ENODATA))
            return false;
        m.xattrs.erase(key);
        return true;
    }
    // Waits for a launched request and compares its result.
    bool finish(const char *what, int launched, CbkResult *r, int64_t want) {
        if (!expect_ret(what, launched, 0))
            return false;
        if (!wait(r)) {
            ADD_FAILURE() << what << " never called back\n" << trail();
            return false;
        }
        return expect_ret(what, r->ret < 0 ? -static_cast<int64_t>(r->err) : r->ret, want);
    }
    bool check_xattr(unsigned char tag, const Model &m, const std::string &key, bool by_name) {
        unsigned char name[16];
        gfid_of(tag, name);
        uint8_t buf[256];
        CbkResult r;
        int launched = by_name
                           ? tav_getxattr_async(inst_, name, key.c_str(), buf, sizeof(buf), common_cbk, &r)
                           : tav_fgetxattr_async(fd(tag), key.c_str(), buf, sizeof(buf), common_cbk, &r);
        auto it = m.xattrs.find(key);
        if (!finish("getxattr", launched, &r,
                    it == m.xattrs.end() ? -ENODATA : static_cast<int64_t>(it->second.size())))
            return false;
        if (it != m.xattrs.end() && Bytes(buf, buf + r.ret) != it->second) {
            ADD_FAILURE() << "getxattr " << key << " of file " << static_cast<int>(tag)
                          << ": value differs from the model\n"
                          << trail();
            return false;
        }
        return true;
    }

    // Unlinks a file by name, with its handle closed first or still open
    // (the handle then still reads the file's data); its blocks return when
    // the unlink timer reclaims it, which the next statfs waits for.
    bool unlink_op(unsigned char tag, std::ostringstream &d) {
        const bool keep_open = chance(50);
        d << "unlink" << (keep_open ? " with its handle open" : "");
        note(d.str());
        if (!keep_open)
            close(tag);
        unsigned char name[16];
        gfid_of(tag, name);
        CbkResult r;
        if (!finish("unlink", tav_unlink_async(inst_, name, common_cbk, &r), &r, 0))
            return false;
        if (keep_open) {
            const Model &m = models_.at(tag);
            uint64_t o = m.size ? rnd(m.size) : 0;
            if (!check_read(tag, o, std::min<uint64_t>(pick_size(), 256 * KiB)))
                return false;
            close(tag);
        }
        models_.erase(tag);
        reclaim_pending_ = true;
        return true;
    }

    // Requests in flight at once on one file: writes and reads on page-
    // disjoint ranges, reads below the size, so that any completion order
    // gives the same result.
    bool batch(unsigned char tag, Model &m) {
        struct Req {
            bool write;
            uint64_t off, len;
            Bytes data;
            std::unique_ptr<Buf> buf;
            struct iovec iov;
            CbkResult res;
        };
        std::vector<std::unique_ptr<Req>> reqs;
        std::vector<std::pair<uint64_t, uint64_t>> taken; // page ranges
        int n = 2 + static_cast<int>(rnd(7));
        std::ostringstream d;
        d << "file " << static_cast<int>(tag) << " batch:";
        for (int i = 0; i < n * 3 && static_cast<int>(reqs.size()) < n; i++) {
            auto r = std::make_unique<Req>();
            r->write = chance(60) || m.size == 0;
            r->off = r->write ? pick_offset(m) : rnd(m.size);
            r->len = std::min<uint64_t>(pick_size(), 512 * KiB);
            if (!r->write)
                r->len = std::min(r->len, m.size - r->off);
            if (m.slices() && r->off + r->len > TAV_COMPRESSIBLE_MAX)
                continue;
            uint64_t p0 = r->off / P, p1 = (r->off + r->len - 1) / P;
            bool clash = false;
            for (auto &t : taken)
                clash |= p0 <= t.second && t.first <= p1;
            if (clash || r->len == 0)
                continue;
            taken.push_back({p0, p1});
            r->buf = std::make_unique<Buf>(r->len, 0xee);
            if (r->write) {
                r->data = random_bytes(r->len);
                memcpy(r->buf->data(), r->data.data(), r->len);
            }
            r->iov = {r->buf->data(), r->len};
            d << (r->write ? " w " : " r ") << r->off << "+" << r->len;
            reqs.push_back(std::move(r));
        }
        // An attribute change in flight among them: it writes the same
        // inode as the first writes through the handle and the inline
        // transform do.
        const bool with_xattr = !reqs.empty() && chance(40);
        const std::string xkey = "user.k" + std::to_string(rnd(4));
        const Bytes xval = random_bytes(1 + rnd(200));
        CbkResult xres;
        if (with_xattr)
            d << " setxattr " << xkey << " size " << xval.size();
        note(d.str());
        for (size_t i = 0; i < reqs.size(); i++) {
            auto &r = reqs[i];
            if (with_xattr && i == reqs.size() / 2 &&
                !expect_ret("launch",
                            tav_fsetxattr_async(fd(tag), xkey.c_str(), xval.data(), xval.size(), 0, nullptr,
                                                nullptr, common_cbk, &xres),
                            0))
                return false;
            int ret = r->write ? tav_pwritev_async(fd(tag), &r->iov, 1, static_cast<off_t>(r->off), nullptr,
                                                   nullptr, common_cbk, &r->res)
                               : tav_preadv_async(fd(tag), &r->iov, 1, static_cast<off_t>(r->off), nullptr,
                                                  nullptr, common_cbk, &r->res);
            if (!expect_ret("launch", ret, 0))
                return false;
        }
        // Sometimes every handle is closed and the instance finished while
        // the batch is in flight, without a sync; the instance is started
        // again once everything has called back, and what the requests
        // reported must have survived.
        const bool finish_now = chance(8);
        CbkResult fini_res;
        if (finish_now) {
            note("close and finish with the batch in flight");
            finishes_in_flight_++;
            for (auto &kv : fds_) {
                if (kv.second && !expect_ret("close", tav_close(kv.second), 0))
                    return false;
                kv.second = nullptr;
            }
            if (!expect_ret("fini", tav_fini(inst_, common_cbk, &fini_res), 0))
                return false;
            inst_ = nullptr;
        }
        bool done = tavtest::run_until([&] {
            for (auto &r : reqs)
                if (!r->res.called)
                    return false;
            return (!with_xattr || xres.called) && (!finish_now || fini_res.called);
        });
        if (finish_now && done) {
            if (!expect_ret("fini", fini_res.ret, 0))
                return false;
            start();
        }
        if (!done) {
            ADD_FAILURE() << "batch did not complete\n" << trail();
            return false;
        }
        for (auto &r : reqs) {
            if (!expect_ret(r->write ? "batched write" : "batched read", r->res.ret,
                            static_cast<int64_t>(r->len)))
                return false;
            if (r->write)
                continue;
            std::string why;
            if (!same(m, r->off, r->buf->bytes(), &why)) {
                ADD_FAILURE() << "batched read " << r->off << "+" << r->len << ": " << why << "\n" << trail();
                return false;
            }
        }
        if (with_xattr) {
            if (!expect_ret("batched setxattr", xres.ret < 0 ? -static_cast<int64_t>(xres.err) : xres.ret, 0))
                return false;
            m.xattrs[xkey] = xval;
        }
        for (auto &r : reqs)
            if (r->write)
                m.write(r->off, r->data);
        return true;
    }

    unsigned seed_ = 0;
    std::mt19937_64 rng_;
    uint64_t base_used_ = 0;
    int finishes_in_flight_ = 0;
    bool reclaim_pending_ = false; // unlinked files whose blocks may not be back yet
    std::map<unsigned char, Model> models_;
    std::deque<std::string> ops_;
};

TEST_P(ModelTest, RandomOperationsMatchTheModel) {
    const uint64_t ops = env_u64("TAV_MODEL_OPS", 300);
    const uint64_t seconds = env_u64("TAV_MODEL_SECONDS", 0);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    uint64_t i = 0;
    for (; seconds ? std::chrono::steady_clock::now() < until : i < ops; i++)
        ASSERT_TRUE(step()) << "operation " << i;
    ASSERT_TRUE(check_all());
    restart();
    ASSERT_TRUE(check_all());
    check_references();
    RecordProperty("operations", static_cast<int>(i));
    RecordProperty("seed", static_cast<int>(seed_));
    RecordProperty("finishes_in_flight", finishes_in_flight_);
}

TAV_DATA_ENGINES(ModelTest);

} // namespace
} // namespace datatest

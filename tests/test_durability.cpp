// test_durability.cpp: a result set survives any kill and any power loss.
// Every write of a session is recorded through the file layer; the folder
// as a crash would leave it after each prefix of them (every write applied,
// or only what was synced) is rebuilt and opened again: it must come back
// as after its last complete stamp, no stamp that was told lost, nothing a
// dead run left behind. Then real runs of the console and the workbench are
// killed at random instants, and the set each leaves must agree with its
// own log, stamp for stamp. And one writer at a time.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>

#include <httplib.h>

#include <thread>

#include "files/journal.h"
#include "files/recovery.h"
#include "files/resultset.h"
#include "session/session.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

// ---- the recorded writes ---------------------------------------------------------------

struct Op {
    enum Kind { create, write, truncate, sync, rename, unlink, sync_folder, told } kind;
    std::string path, to;
    long long offset = 0;
    std::string data;
    Op(Kind k, std::string p = "", std::string t = "", long long o = 0, std::string d = "")
        : kind(k), path(std::move(p)), to(std::move(t)), offset(o), data(std::move(d)) {}
};

// The real file system, every change recorded by path, in the order the
// calls were made from any thread (a background filled beside the stamps).
class Recording : public FileSystem {
public:
    std::recursive_mutex m;
    std::vector<Op> ops;
    void told() {
        std::lock_guard<std::recursive_mutex> g(m);
        ops.push_back({Op::told});
    }
    std::map<int, std::string> path_of;
    struct Map {
        int fd;
        size_t size;
    };
    std::map<void *, Map> maps;

    int open(const char *path, int flags, mode_t mode) override {
        std::lock_guard<std::recursive_mutex> g(m);
        const bool existed = access(path, F_OK) == 0;
        const int fd = FileSystem::open(path, flags, mode);
        if (fd < 0) return fd;
        path_of[fd] = path;
        if ((flags & O_CREAT) && !existed) ops.push_back({Op::create, path});
        if (flags & O_TRUNC) ops.push_back({Op::truncate, path, "", 0});
        return fd;
    }
    ssize_t pwrite(int fd, const void *data, size_t n, off_t offset) override {
        std::lock_guard<std::recursive_mutex> g(m);
        const ssize_t w = FileSystem::pwrite(fd, data, n, offset);
        if (w > 0) ops.push_back({Op::write, path_of[fd], "", offset, std::string(static_cast<const char *>(data), size_t(w))});
        for (auto &m : maps)
            if (m.second.fd == fd && w > 0 && size_t(offset) < m.second.size)
                memcpy(static_cast<char *>(m.first) + offset, data, std::min(size_t(w), m.second.size - size_t(offset)));
        return w;
    }
    int ftruncate(int fd, off_t size) override {
        std::lock_guard<std::recursive_mutex> g(m);
        const int r = FileSystem::ftruncate(fd, size);
        if (r == 0) ops.push_back({Op::truncate, path_of[fd], "", size});
        return r;
    }
    int fsync(int fd) override {
        std::lock_guard<std::recursive_mutex> g(m);
        const int r = FileSystem::fsync(fd);
        ops.push_back({Op::sync, path_of[fd]});
        return r;
    }
    int datasync(int fd) override {
        std::lock_guard<std::recursive_mutex> g(m);
        const int r = FileSystem::datasync(fd);
        ops.push_back({Op::sync, path_of[fd]});
        return r;
    }
    int close(int fd) override {
        std::lock_guard<std::recursive_mutex> g(m);
        path_of.erase(fd);
        return FileSystem::close(fd);
    }
    int rename(const char *from, const char *to) override {
        std::lock_guard<std::recursive_mutex> g(m);
        const int r = FileSystem::rename(from, to);
        if (r == 0) {
            ops.push_back({Op::rename, from, to});
            for (auto &p : path_of)
                if (p.second == from) p.second = to;
        }
        return r;
    }
    int unlink(const char *path) override {
        std::lock_guard<std::recursive_mutex> g(m);
        const int r = FileSystem::unlink(path);
        if (r == 0) ops.push_back({Op::unlink, path});
        return r;
    }
    int sync_folder(const std::string &folder) override {
        std::lock_guard<std::recursive_mutex> g(m);
        ops.push_back({Op::sync_folder, folder});
        return FileSystem::sync_folder(folder);
    }
    // A mapped file is a copy in memory that writes to the file update, as
    // the page cache does for a shared mapping.
    const void *map(int fd, size_t size) override {
        std::lock_guard<std::recursive_mutex> g(m);
        void *p = calloc(size, 1);
        if (p != nullptr && size > 0) FileSystem::pread(fd, p, size, 0);
        maps[p] = {fd, size};
        return p;
    }
    void unmap(const void *base, size_t) override {
        std::lock_guard<std::recursive_mutex> g(m);
        maps.erase(const_cast<void *>(base));
        free(const_cast<void *>(base));
    }
};

// The folder a crash after the first `k` operations leaves, from the files
// there before (all synced): every change applied (a killed process), or
// only those synced (a power loss: a file's content as of its last sync, the
// folder's names as of its last sync).
std::map<std::string, std::string> crash_state(const std::map<std::string, std::string> &before,
                                               const std::vector<Op> &ops, size_t k, bool power_loss) {
    struct File {
        std::string content, synced;
    };
    std::map<std::string, std::shared_ptr<File>> live, durable;
    for (const auto &f : before) live[f.first] = std::make_shared<File>(File{f.second, f.second});
    durable = live;
    for (size_t n = 0; n < k; n++) {
        const Op &op = ops[n];
        switch (op.kind) {
        case Op::create: live[op.path] = std::make_shared<File>(); break;
        case Op::write:
            if (live.count(op.path)) {
                std::string &c = live[op.path]->content;
                if (c.size() < size_t(op.offset) + op.data.size()) c.resize(size_t(op.offset) + op.data.size(), '\0');
                c.replace(size_t(op.offset), op.data.size(), op.data);
            }
            break;
        case Op::truncate:
            if (live.count(op.path)) live[op.path]->content.resize(size_t(op.offset), '\0');
            break;
        case Op::sync:
            if (live.count(op.path)) live[op.path]->synced = live[op.path]->content;
            break;
        case Op::rename:
            if (live.count(op.path)) live[op.to] = live[op.path], live.erase(op.path);
            break;
        case Op::unlink: live.erase(op.path); break;
        case Op::sync_folder: durable = live; break;
        case Op::told: break;
        }
    }
    std::map<std::string, std::string> out;
    for (const auto &f : power_loss ? durable : live) out[f.first] = power_loss ? f.second->synced : f.second->content;
    return out;
}

// ---- the terrain and the treatments -------------------------------------------------------

struct Hills {
    DemSamples dem;
    Hills() {
        dem.allocate(40, 50, 2);
        for (int i = 0; i < 40; i++)
            for (int j = 0; j < 50; j++) dem.set(i, j, 200 + (i * 13 + j * 7) % 17 + 3 * j - 2 * i);
    }
    Terrain terrain() const { return dem.terrain(1, 30); }
};

const Values TREATMENTS[] = {{20, 25, 20, 90, 8}, {18, 22, 10, 45, 10}, {22, 30, 30, 200, 6},
                             {15, 20, 5, 300, 9}, {25, 26, 40, 10, 7}};

// The raster a log's records stamp on the background.
std::string rebuilt(const Terrain &t, const std::vector<formats::Record> &records, uint8_t background, Geometry g) {
    std::string cells(static_cast<size_t>(t.rows) * t.cols, static_cast<char>(background));
    Work w;
    for (const formats::Record &r : records)
        for (Cell c : trace(t, r.values, w, g).cells) cells[static_cast<size_t>(c.i) * t.cols + c.j] = static_cast<char>(r.code);
    return cells;
}

// The set in `dir`: opened by a writer (and so recovered), then checked
// against its own log. Returns the number of records, -1 when no set is
// there; fails the case when the set does not agree with its log or a dead
// run's file is left.
int check_set(const std::string &dir, const Terrain &t, uint8_t background, const std::string &what) {
    const std::string raster = dir + "/r_tolmar.raw", log = dir + "/r_tolmar.txt";
    int records = -1;
    // A reader first: it reads the set as the writer will leave it.
    ResultSet seen;
    std::string why;
    const bool read = read_result_set(raster, seen, why);
    {
        ResultSession s;
        std::string repaired, err;
        EXPECT_TRUE(s.open(raster, log, "check", repaired, err, &t)) << what << ": " << err;
        if (file_exists(raster) || file_exists(log)) {
            ResultSet r;
            EXPECT_TRUE(read_result_set(raster, r, err)) << what << ": " << err;
            records = static_cast<int>(r.records.size());
            const std::string expected = rebuilt(t, r.records, background, r.geometry);
            EXPECT_EQ(read_file(raster), expected) << what;
            std::string text = header_text(40, 50, 30);
            for (const formats::Record &rec : r.records) {
                const Values &v = rec.values;
                text += record_text(rec.code, v.row, v.column, v.dip, v.dip_direction, v.zone);
            }
            EXPECT_EQ(read_file(log), text) << what;
            if (read) {
                EXPECT_TRUE(std::string(seen.cells.begin(), seen.cells.end()) == read_file(raster)) << what << ": the reader's raster";
                EXPECT_EQ(seen.log_text, text) << what << ": the reader's log";
            }
        }
        s.discard();
    }
    for (auto &e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name == "r_tolmar.raw" || name == "r_tolmar.txt") << what << ": " << name << " left behind";
    }
    return records;
}

}  // namespace

namespace {

void every_prefix_recovers(size_t late) {
    Hills h;
    Work work;
    // An earlier set of the same name, replaced at the first stamp.
    TempDir old;
    {
        ResultSession s;
        std::string repaired, err;
        ASSERT_TRUE(s.open(old / "r_tolmar.raw", old / "r_tolmar.txt", "old", repaired, err));
        ASSERT_TRUE(s.create(40, 50, err) && s.set_pix_size(30, err) && s.fill(255, err));
        ASSERT_EQ(s.stamp(h.terrain(), TREATMENTS[4], work).kind, Stamp::stamped);
        ASSERT_TRUE(s.finish(err)) << err;
    }
    const std::map<std::string, std::string> before = {{"r_tolmar.raw", read_file(old / "r_tolmar.raw")},
                                                      {"r_tolmar.txt", read_file(old / "r_tolmar.txt")}};
    // The session, recorded: a new set, ten stamps (its journal fills up
    // once and begins anew after the files are made durable).
    TempDir d;
    for (const auto &f : before) write_file(d / f.first, f.second);
    Recording rec;
    {
        ResultSession s(rec);
        std::string repaired, err;
        ASSERT_TRUE(s.open(d / "r_tolmar.raw", d / "r_tolmar.txt", "test", repaired, err)) << err;
        s.late_fill_above(late);
        ASSERT_TRUE(s.create(40, 50, err) && s.set_pix_size(30, err) && s.fill(255, err)) << err;
        for (int k = 0; k < 10; k++) {
            Values v = TREATMENTS[k % 4];
            v.dip_direction = (v.dip_direction + 40 * k) % 360;
            ASSERT_EQ(s.stamp(h.terrain(), v, work).kind, Stamp::stamped);
            rec.told();
        }
        ASSERT_TRUE(s.finish(err)) << err;
    }
    ASSERT_GT(rec.ops.size(), 40u);
    // Every prefix, both ways.
    std::map<std::string, std::string> start;
    for (const auto &f : before) start[d / f.first] = f.second;
    int states = 0;
    for (bool power_loss : {false, true})
        for (size_t k = 0; k <= rec.ops.size(); k++) {
            int told = 0;
            for (size_t n = 0; n < k; n++) told += rec.ops[n].kind == Op::told;
            TempDir crash;
            for (const auto &f : crash_state(start, rec.ops, k, power_loss))
                write_file(crash.path + "/" + formats::name_of(f.first), f.second);
            const std::string what = std::string(power_loss ? "power loss" : "kill") + " after write " + std::to_string(k);
            const int records = check_set(crash.path, h.terrain(), 255, what);
            // Nothing told is lost: before the first stamp is told, the earlier
            // set (one record) or the new one with its first.
            EXPECT_EQ(records < told, false) << what;
            EXPECT_LE(records, std::max(told + 1, 1)) << what;
            EXPECT_GE(records, 1) << what;
            states++;
        }
    EXPECT_GT(states, 80);
}

}  // namespace

// Both ways of filling a white background: before the first stamp, and
// beside the stamps from the set's placing on (as on a large raster).
TEST(Durability, EveryPrefixOfASessionsWritesIsRecoverableAfterAKillOrAPowerLoss) {
    for (size_t late : {ResultFiles::LATE_FILL_ABOVE, size_t(0)}) {
        SCOPED_TRACE(late == 0 ? "the background filled beside the stamps" : "the background filled first");
        every_prefix_recovers(late);
    }
}

namespace {

// The log text a set of these records must hold.
std::string log_of(const std::vector<formats::Record> &records) {
    std::string text = header_text(40, 50, 30);
    for (const formats::Record &r : records)
        text += record_text(r.code, r.values.row, r.values.column, r.values.dip, r.values.dip_direction, r.values.zone);
    return text;
}

}  // namespace

// A kill that the files survived, and then the journal damaged: cut short
// at every length, or any one of its bytes changed. Whatever is left, the
// set a writer makes of it keeps every record its log held whole (and so
// every stamp that was told), and its raster is the one its log stamps. A
// reader, which cannot trace the stamps again, keeps the same records and
// leaves no cell of a code without its record. A record torn in the log
// with its entry is cut, and its cells with it.
TEST(Durability, ADamagedJournalNeverCutsWhatTheFilesHold) {
    Hills h;
    Work work;
    const Terrain t = h.terrain();
    TempDir d;
    Recording rec;
    {
        ResultSession s(rec);
        std::string repaired, err;
        ASSERT_TRUE(s.open(d / "r_tolmar.raw", d / "r_tolmar.txt", "test", repaired, err)) << err;
        ASSERT_TRUE(s.create(40, 50, err) && s.set_pix_size(30, err) && s.fill(255, err)) << err;
        for (int k = 0; k < 10; k++) {
            Values v = TREATMENTS[k % 4];
            v.dip_direction = (v.dip_direction + 40 * k) % 360;
            ASSERT_EQ(s.stamp(t, v, work).kind, Stamp::stamped);
            rec.ops.push_back({Op::told});
        }
        ASSERT_TRUE(s.finish(err)) << err;
    }
    const std::string journal = d / ".r_tolmar.journal", raster = d / "r_tolmar.raw", log = d / "r_tolmar.txt";
    // The stamps' cells and the rasters of each prefix of them, traced once.
    std::map<int, std::vector<size_t>> traced;
    const recovery::Tracer tracer = [&](const formats::Record &r, Geometry g, int) {
        std::vector<size_t> &at = traced[r.code];
        if (at.empty()) {
            Work w;
            for (Cell c : trace(t, r.values, w, g).cells) at.push_back(static_cast<size_t>(c.i) * 50 + c.j);
        }
        return at;
    };
    std::map<size_t, std::string> rebuilt_of;
    auto expected = [&](const formats::ResultLog &l) -> const std::string & {
        std::string &r = rebuilt_of[l.records.size()];
        if (r.empty()) r = rebuilt(t, l.records, 255, l.geometry);
        return r;
    };
    int states = 0, cases = 0, orphaned = 0, cut_short = 0;
    int since_entry = 0;  // the raster's writes since the last entry was made durable
    for (size_t k = 1; k <= rec.ops.size(); k++) {
        // The states inside a stamp: its journal entry durable, between two
        // of its cells' writes, its record written; and each stamp told.
        const Op &op = rec.ops[k - 1];
        if (op.kind == Op::sync && op.path == journal) since_entry = 0;
        if (op.kind == Op::write && op.path == raster) since_entry++;
        if (!(op.kind == Op::sync && op.path == journal) && !(op.kind == Op::write && op.path == raster && since_entry == 2) &&
            !(op.kind == Op::write && op.path == log) && op.kind != Op::told)
            continue;
        std::map<std::string, std::string> crash = crash_state({}, rec.ops, k, false);
        if (!crash.count(journal) || !crash.count(raster) || !crash.count(log)) continue;
        int told = 0;
        for (size_t n = 0; n < k; n++) told += rec.ops[n].kind == Op::told;
        formats::ResultLog whole;
        formats::result_log_prefix(crash[log], whole);
        const int held = static_cast<int>(whole.records.size());
        states++;
        const std::string &j = crash[journal];
        const size_t used = std::min(j.size(), j.find_last_not_of('\0') + 1);
        std::vector<std::string> damaged;
        for (size_t cut = 0; cut <= used; cut++) damaged.push_back(j.substr(0, cut));
        for (size_t at = 0; at < used; at++) {
            std::string f = j;
            f[at] = static_cast<char>(f[at] ^ (at % 2 ? 0x01 : 0xff));
            damaged.push_back(f);
        }
        // A record written only in part (a power cut inside the log's
        // write), with the journal cut too: the part is cut from the log.
        std::string torn;
        if (op.kind == Op::write && op.path == log && held > 0) {
            formats::ResultLog before;
            before.records.assign(whole.records.begin(), whole.records.end() - 1);
            const size_t from = log_of(before.records).size();
            torn = crash[log].substr(0, from + (crash[log].size() - from) / 2);
        }
        for (size_t n = 0; n < damaged.size() + (torn.empty() ? 0 : used + 1); n++) {
            const bool tear = n >= damaged.size();
            const std::string what = "kill after write " + std::to_string(k) + ", damage " + std::to_string(n) +
                                     (tear ? ", its record torn" : "");
            recovery::Contents c;
            c.log = tear ? torn : crash[log];
            c.cells = reinterpret_cast<const uint8_t *>(crash[raster].data());
            c.size = crash[raster].size();
            c.journal_present = true;
            c.journal = tear ? j.substr(0, n - damaged.size()) : damaged[n];
            c.journal_name = ".r_tolmar.journal";
            for (const bool writer : {true, false}) {
                const recovery::Plan p = recovery::plan(c, writer ? tracer : recovery::Tracer());
                std::string cells = crash[raster];
                for (const auto &kv : p.cells) cells[kv.first] = static_cast<char>(kv.second);
                formats::ResultLog after;
                std::string err;
                ASSERT_TRUE(formats::parse_result_log(p.log, after, err)) << what << ": " << err;
                const int records = static_cast<int>(after.records.size());
                ASSERT_GE(records, held - tear) << what;
                if (!tear) {
                    ASSERT_GE(records, told) << what;
                }
                ASSERT_EQ(p.log, log_of(after.records)) << what;
                if (writer) {
                    ASSERT_TRUE(cells == expected(after)) << what << ": " << p.found;
                } else {
                    for (char v : cells)
                        ASSERT_TRUE(static_cast<uint8_t>(v) == 255 || static_cast<uint8_t>(v) <= records) << what;
                }
                orphaned += writer && p.found.find("taken back") != std::string::npos;
                cut_short += writer && p.found.find("is cut from the log") != std::string::npos;
                cases++;
            }
        }
        // And through the files, once a state: the writer's words.
        TempDir crashed;
        for (const auto &f : crash) write_file(crashed.path + "/" + formats::name_of(f.first), f.second);
        write_file(crashed / ".r_tolmar.journal", j.substr(0, j.size() / 2));
        const int records = check_set(crashed.path, t, 255, "kill after write " + std::to_string(k) + ", cut in two");
        EXPECT_GE(records, held);
    }
    EXPECT_GT(states, 20);
    EXPECT_GT(orphaned, 0);  // some kills fell between a stamp's cells and its record
    EXPECT_GT(cut_short, 0);  // and some records were torn with their entries
    EXPECT_GT(cases, 10000);
}

// A power cut in the middle of a group may keep the group's cells, written
// to the raster, and lose its journal entries and records, never flushed:
// the cells of codes the log has no record of are given back, by readers
// and by the next writer, which carries the set on.
TEST(Durability, AGroupsCellsThatOutliveItsEntriesAreGivenBack) {
    Hills h;
    Work work;
    const Terrain t = h.terrain();
    TempDir d, cut;
    std::string repaired, err;
    {
        ResultSession s;
        bool replaced;
        ASSERT_TRUE(s.open(d / "r_tolmar.raw", d / "r_tolmar.txt", "test", repaired, err) && s.create(40, 50, err) &&
                    s.set_pix_size(30, err) && s.fill(255, err) && s.place(replaced, err))
            << err;
        s.batch(true);
        for (int k : {0, 1}) ASSERT_EQ(s.stamp(t, TREATMENTS[k], work).kind, Stamp::stamped);
        ASSERT_TRUE(s.sync(err)) << err;
        const std::string journal = read_file(d / ".r_tolmar.journal");
        for (int k : {2, 3}) ASSERT_EQ(s.stamp(t, TREATMENTS[k], work).kind, Stamp::stamped);
        write_file(cut / "r_tolmar.raw", read_file(d / "r_tolmar.raw"));
        write_file(cut / "r_tolmar.txt", read_file(d / "r_tolmar.txt"));
        write_file(cut / ".r_tolmar.journal", journal);
        s.discard();
    }
    ResultSet seen;
    ASSERT_TRUE(read_result_set(cut / "r_tolmar.raw", seen, err)) << err;
    ASSERT_EQ(seen.records.size(), 2u);
    for (uint8_t v : seen.cells) ASSERT_TRUE(v == 255 || v <= 2) << int(v);
    ResultSession next;
    ASSERT_TRUE(next.open(cut / "r_tolmar.raw", cut / "r_tolmar.txt", "test", repaired, err, &t)) << err;
    EXPECT_NE(repaired.find("the cells of codes 3 and 4, which the log holds no record of, are taken back"), std::string::npos)
        << repaired;
    ASSERT_TRUE(next.carry_on(40, 50, 30, err)) << err;
    EXPECT_EQ(next.stamp(t, TREATMENTS[4], work).code, 3);
    ASSERT_TRUE(next.finish(err)) << err;
    ResultSet r;
    ASSERT_TRUE(read_result_set(cut / "r_tolmar.raw", r, err)) << err;
    EXPECT_TRUE(read_file(cut / "r_tolmar.raw") == rebuilt(t, r.records, 255, r.geometry));
    EXPECT_EQ(r.records.size(), 3u);
}

// ---- real runs killed at random instants ------------------------------------------------

namespace {

// The hills as a DEM file set in images/d/ (16-bit metres, cells of 30 m).
void hills_set(const TempDir &t) {
    Hills h;
    std::vector<int> z;
    for (int i = 0; i < 40; i++)
        for (int j = 0; j < 50; j++) z.push_back(h.dem.at(i, j));
    make_dem(t.path, "d", "m", false, z, "40 50 2 0 0 30");
}

// A session's treatments: 30 stamps, points and attitudes spread.
std::string treatments(int n) {
    std::string a;
    for (int k = 0; k < n; k++) {
        const Values &v = TREATMENTS[k % 5];
        a += (k ? "0\n" : "") + std::to_string(v.row + k % 3) + " " + std::to_string(v.column - k % 4) + " " +
             std::to_string(v.dip + k) + " " + std::to_string((v.dip_direction + 37 * k) % 360) + " " + std::to_string(v.zone) + "\n";
    }
    return a;
}

// The highest code a run's printed text says was stamped.
int told_of(const std::string &printed) {
    int told = 0;
    for (size_t at = printed.find("\tcode "); at != std::string::npos; at = printed.find("\tcode ", at + 1))
        told = std::max(told, atoi(printed.c_str() + at + 6));
    return told;
}

// The set a killed run left in images/d/ (result name m) on `terrain`, checked.
void check_killed(const TempDir &t, int told, const std::string &what, const Terrain &terrain) {
    const std::string raster = t / "images/d/m_tolmar.raw", log = t / "images/d/m_tolmar.txt";
    if (!file_exists(raster)) {
        EXPECT_EQ(told, 0) << what;
        return;
    }
    // A reader undoes an unfinished stamp in memory ...
    ResultSet seen;
    std::string err, repaired;
    ASSERT_TRUE(read_result_set(raster, seen, err)) << what << ": " << err;
    EXPECT_GE(static_cast<int>(seen.records.size()), told) << what;
    EXPECT_TRUE(std::string(seen.cells.begin(), seen.cells.end()) == rebuilt(terrain, seen.records, 255, seen.geometry)) << what;
    // ... a writer on disk, and removes the dead run's files.
    ResultSession s;
    ASSERT_TRUE(s.open(raster, log, "check", repaired, err)) << what << ": " << err;
    EXPECT_EQ(read_file(raster), std::string(seen.cells.begin(), seen.cells.end())) << what;
    EXPECT_EQ(read_file(log), seen.log_text) << what;
    s.discard();
    for (auto &e : fs::directory_iterator(t / "images/d")) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name[0] != '.') << what << ": " << name << " left behind";
    }
}

}  // namespace

TEST(Durability, ConsoleRunsKilledAtRandomInstantsLeaveSetsThatAgreeWithTheirLogs) {
    std::mt19937 rng(2026);
    const std::string answers = "d\nm\n0\n0\n0\n0\n" + treatments(30) + "5\n";
    // How long a whole session takes here (run to its end, not polled). A
    // kill waits for a random number of stamps to be told, then falls at a
    // random instant within the next two stamps' time: on a loaded machine
    // the kills still land inside the session, not before its first stamp.
    int session_us;
    {
        TempDir t;
        hills_set(t);
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(run_tolmar(t.path, answers).status, 0);
        session_us = static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count());
    }
    int stamped_when_killed = 0;
    for (int trial = 0; trial < 150; trial++) {
        TempDir t;
        hills_set(t);
        Live run(t.path);
        run.send(answers);
        const int after = std::uniform_int_distribution<int>(0, 29)(rng);
        if (after > 0) {
            ASSERT_TRUE(run.wait_for("\tcode ", after)) << "trial " << trial;
        }
        usleep(std::uniform_int_distribution<int>(0, 2 * session_us / 30)(rng));
        run.signal(SIGKILL);
        run.finish();
        const int told = told_of(run.printed());
        stamped_when_killed += told > 0 && told < 30;
        check_killed(t, told, "trial " + std::to_string(trial) + ", told " + std::to_string(told), Hills().terrain());
    }
    EXPECT_GT(stamped_when_killed, 30);  // many kills fell inside the session
}

// A raster large enough that its white background is filled beside the
// stamps, from the first one on: runs killed at random instants while it
// is, and their sets read and then opened. Each is white wherever no
// stamp of its log reaches, and keeps every stamp told.
TEST(Durability, KillsWhileALargeBackgroundIsFilledLeaveItWhole) {
    const int side = 4100;  // 16.8 MB of result raster
    ASSERT_GT(size_t(side) * side, ResultFiles::LATE_FILL_ABOVE);
    DemSamples dem;
    dem.allocate(side, side, 2);
    std::vector<int> z(size_t(side) * side);
    for (int i = 0; i < side; i++)
        for (int j = 0; j < side; j++) {
            z[size_t(i) * side + j] = 1000 + (i * 13 + j * 7) % 17 + j / 2 - i / 3;
            dem.set(i, j, z[size_t(i) * side + j]);
        }
    const Terrain terrain = dem.terrain(1, 30);
    TempDir source;
    const std::string descriptor = std::to_string(side) + " " + std::to_string(side) + " 2 0 0 30";
    make_dem(source.path, "d", "m", false, z, descriptor.c_str());
    std::vector<std::string> treatments;
    for (int k = 0; k < 12; k++)
        treatments.push_back((k ? "0\n" : "") + std::to_string(2000 + 37 * k) + " " + std::to_string(2100 - 23 * k) + " " +
                             std::to_string(3 + 4 * k) + " " + std::to_string((29 * k) % 360) + " " + std::to_string(10 + 5 * k) + "\n");
    const std::string opening = "d\nm\n0\n0\n0\n0\n";
    auto copy_dem = [&](const TempDir &t) { fs::copy(source / "images", t / "images", fs::copy_options::recursive); };
    // A whole run: from its first stamp told to its end, the fill's time
    // (stamps one after another hold it back to the end).
    int fill_us;
    {
        TempDir t;
        copy_dem(t);
        Live run(t.path);
        std::string all = opening;
        for (const std::string &a : treatments) all += a;
        run.send(all + "5\n");
        ASSERT_TRUE(run.wait_for("\tcode ", 12));
        const auto t0 = std::chrono::steady_clock::now();
        run.finish();
        fill_us = static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count());
        ASSERT_EQ(told_of(run.printed()), 12);
    }
    // The treatments come one after another (the filler waits), then a
    // pause in which it goes on, and the kill falls in it; or the kill
    // falls while the end waits for the fill.
    std::mt19937 rng(33);
    int mid_fill = 0;
    for (int trial = 0; trial < 24; trial++) {
        TempDir t;
        copy_dem(t);
        Live run(t.path);
        run.send(opening);
        const int kill_after = std::uniform_int_distribution<int>(1, 13)(rng);
        for (int k = 0; k < 12 && k < kill_after; k++) {
            run.send(treatments[size_t(k)]);
            ASSERT_TRUE(run.wait_for("\tcode ", k + 1)) << "trial " << trial;
            if (k + 1 < kill_after) usleep(std::uniform_int_distribution<int>(0, 30000)(rng));
        }
        if (kill_after == 13) run.send("5\n");
        usleep((kill_after == 13 ? 0 : 50000) + std::uniform_int_distribution<int>(0, fill_us / 2)(rng));
        run.signal(SIGKILL);
        run.finish();
        // Killed before the background was whole: its zeros still there.
        const std::string left = read_file(t / "images/d/m_tolmar.raw");
        mid_fill += left.find('\0') != std::string::npos;
        const int told = told_of(run.printed());
        check_killed(t, told, "trial " + std::to_string(trial) + ", told " + std::to_string(told), terrain);
    }
    EXPECT_GT(mid_fill, 6);  // many kills fell while the background was filled
}

TEST(Durability, WorkbenchesKilledAtRandomInstantsLeaveSetsThatAgreeWithTheirLogs) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 40; trial++) {
        TempDir t;
        hills_set(t);
        Live server(t.path, false, TOLMAR_SERVE, {"--port", "0", "--result", "m", "images/d/m_m2.raw"});
        ASSERT_TRUE(server.wait_for("\n")) << server.printed();
        const std::string url = server.printed().substr(0, server.printed().find('\n'));
        const int port = std::stoi(url.substr(url.rfind(':') + 1));
        const int kill_after = std::uniform_int_distribution<int>(0, 12)(rng);
        int told = 0;
        httplib::Client client("127.0.0.1", port);
        for (int k = 0; k < 12; k++) {
            if (k == kill_after) {
                // Killed while a stamp is on its way.
                std::thread stamp([&] { client.Post("/api/stamp", "{\"row\":20,\"column\":25,\"dip\":5,\"dip_direction\":90,\"zone\":8}", "application/json"); });
                usleep(std::uniform_int_distribution<int>(0, 3000)(rng));
                server.signal(SIGKILL);
                stamp.join();
                break;
            }
            const Values &v = TREATMENTS[k % 5];
            auto r = client.Post("/api/stamp",
                                 "{\"row\":" + std::to_string(v.row) + ",\"column\":" + std::to_string(v.column) + ",\"dip\":" +
                                     std::to_string(v.dip + k) + ",\"dip_direction\":" + std::to_string(v.dip_direction) +
                                     ",\"zone\":" + std::to_string(v.zone) + "}",
                                 "application/json");
            if (r && r->status == 200 && r->body.find("\"stamped\"") != std::string::npos) told++;
        }
        server.signal(SIGKILL);
        server.finish();
        check_killed(t, told, "workbench trial " + std::to_string(trial) + ", told " + std::to_string(told), Hills().terrain());
    }
}

// ---- one writer at a time ----------------------------------------------------------------

TEST(OneWriter, ASecondWriterIsRefusedNamingTheHolderAndReadersMayRead) {
    TempDir t;
    hills_set(t);
    Live console(t.path);
    console.send("d\nm\n0\n0\n0\n0\n" + treatments(1));
    ASSERT_TRUE(console.wait_for("Exit")) << console.printed();
    // A second console: the name is refused, another one taken.
    RunResult r = run_tolmar(t.path, "d\nm\n0\n0\n1\nother\n0\n0\n" + treatments(1) + "5\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("images/d/m_tolmar.txt is being written by process "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(tolmar): one writer at a time: choose another result name"), std::string::npos) << r.out;
    EXPECT_TRUE(file_exists(t / "images/d/other_tolmar.raw"));
    // A workbench on the same set.
    r = run_command(t.path, std::string("'") + TOLMAR_SERVE + "' --port 0 --result m images/d/m_m2.raw");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("is being written by process"), std::string::npos) << r.out;
    // A reader.
    r = run_command(t.path, std::string("'") + TOLMAR_EXPORT + "' images/d/m_tolmar.raw --format csv");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\n1,"), std::string::npos);
    console.send("5\n");
    EXPECT_EQ(console.finish(), 0);
    // The set is free again.
    r = run_command(t.path, std::string("'") + TOLMAR_EXPORT + "' images/d/m_tolmar.raw --format csv");
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(file_exists(t / "images/d/.m_tolmar.lock"));
}

// A placing note is followed only when it is whole and names the set's own
// temporaries: one made by hand to put the DEM over the set is refused,
// named, and left as it is; the DEM and the set are untouched, and another
// result name is asked for. Readers read the set as it is.
TEST(OneWriter, APlacingNoteOfOtherFilesIsRefusedAndLeftAlone) {
    TempDir t;
    hills_set(t);
    ASSERT_EQ(run_tolmar(t.path, "d\nm\n0\n0\n0\n0\n" + treatments(2) + "5\n").status, 0);
    const std::string note = t / "images/d/.m_tolmar.place";
    const std::string forged = journal::place_bytes("m_m2.raw", "m_m2.txt");
    write_file(note, forged);
    const std::string dem = read_file(t / "images/d/m_m2.raw"), raster = read_file(t / "images/d/m_tolmar.raw");
    RunResult r = run_tolmar(t.path, "d\nm\n0\n0\n1\nother\n0\n0\n" + treatments(1) + "5\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("images/d/.m_tolmar.place is not a placing note of this set (it names other files, or fails its "
                         "checksum): it is left as it is, and the set is not written until it is looked at and removed: choose "
                         "another result name"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(read_file(t / "images/d/m_m2.raw") == dem);
    EXPECT_TRUE(read_file(t / "images/d/m_tolmar.raw") == raster);
    EXPECT_EQ(read_file(note), forged);
    EXPECT_TRUE(file_exists(t / "images/d/other_tolmar.raw"));
    r = run_command(t.path, std::string("'") + TOLMAR_SERVE + "' --port 0 --result m images/d/m_m2.raw");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("is not a placing note of this set"), std::string::npos) << r.out;
    r = run_command(t.path, std::string("'") + TOLMAR_EXPORT + "' images/d/m_tolmar.raw --format csv");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\n2,"), std::string::npos);
    EXPECT_TRUE(read_file(t / "images/d/m_m2.raw") == dem);
}

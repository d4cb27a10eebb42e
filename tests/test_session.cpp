// test_session.cpp: the session core, through a file layer that can make any
// write of a stamp fail: whichever write fails, the stamp is not counted,
// both files on disk are exactly as before it, the raster in memory agrees
// with them, and the session goes on to give the files an uninterrupted
// session gives.
#include <cerrno>
#include <random>

#include "session/session.h"
#include "support.h"

namespace {

// The real file system, but the n-th write from now (pwrite or ftruncate)
// fails as on a full disk.
class FailingFiles : public FileSystem {
public:
    int writes = 0;
    int fail_at = -1;
    ssize_t pwrite(int fd, const void *data, size_t n, off_t offset) override {
        if (writes++ == fail_at) return errno = ENOSPC, -1;
        return FileSystem::pwrite(fd, data, n, offset);
    }
    int ftruncate(int fd, off_t size) override {
        if (writes++ == fail_at) return errno = ENOSPC, -1;
        return FileSystem::ftruncate(fd, size);
    }
};

// Hills of 40 x 50 cells, 16-bit metres, pixel size 30.
struct Hills {
    DemSamples dem;
    Hills() {
        dem.allocate(40, 50, 2);
        for (int i = 0; i < 40; i++)
            for (int j = 0; j < 50; j++) dem.set(i, j, 200 + (i * 13 + j * 7) % 17 + 3 * j - 2 * i);
    }
    Terrain terrain() const { return dem.terrain(1, 30); }
};

const Values TREATMENTS[] = {{20, 25, 20, 90, 8}, {18, 22, 10, 45, 10}, {22, 30, 30, 200, 6}, {15, 20, 5, 300, 9}};

struct Set {
    TempDir dir;
    ResultSession session;
    explicit Set(FileSystem &fs = FileSystem::real()) : session(fs) {
        std::string err, repaired;
        EXPECT_TRUE(session.open(dir / "r_tolmar.raw", dir / "r_tolmar.txt", "test", repaired, err)) << err;
        EXPECT_TRUE(session.create(40, 50, err)) << err;
        EXPECT_TRUE(session.set_pix_size(30, err)) << err;
        EXPECT_TRUE(session.fill(255, err)) << err;
        bool replaced;
        EXPECT_TRUE(session.place(replaced, err)) << err;
    }
    std::string raster() const { return read_file(dir / "r_tolmar.raw"); }
    std::string log() const { return read_file(dir / "r_tolmar.txt"); }
    // The raster in memory as the file holds it (white background), and
    // cell by cell as the next stamp learns what its cells hold.
    std::string memory() const { return std::string(reinterpret_cast<const char *>(session.cells()), 40 * 50); }
    std::string known() const {
        std::string cells(40 * 50, '\0');
        for (size_t k = 0; k < cells.size(); k++) cells[k] = static_cast<char>(session.cell(k));
        return cells;
    }
};

}  // namespace

TEST(SessionCore, AStampThatCannotBeWrittenLeavesBothFilesAndTheMemoryAsBefore) {
    Hills h;
    Work work;
    // The reference: every treatment stamped without a fault.
    Set reference;
    for (const Values &v : TREATMENTS) ASSERT_EQ(reference.session.stamp(h.terrain(), v, work).kind, Stamp::stamped);

    // Treatment 3 fails at each of its writes in turn; then treatment 4
    // (another square, sharing rows with it) takes code 3 instead.
    int failures = 0;
    for (int n = 0;; n++) {
        FailingFiles fs;
        Set s(fs);
        for (int k = 0; k < 2; k++) ASSERT_EQ(s.session.stamp(h.terrain(), TREATMENTS[k], work).kind, Stamp::stamped);
        const std::string raster = s.raster(), log = s.log();
        fs.fail_at = fs.writes + n;
        const Stamp failed = s.session.stamp(h.terrain(), TREATMENTS[2], work);
        if (failed.kind == Stamp::stamped) break;  // the stamp has fewer writes than n
        failures++;
        EXPECT_EQ(failed.kind, Stamp::failed) << n;
        EXPECT_NE(failed.message.find("No space left on device"), std::string::npos) << failed.message;
        EXPECT_EQ(s.session.code(), 2);
        EXPECT_EQ(s.raster(), raster) << "write " << n;
        EXPECT_EQ(s.log(), log) << "write " << n;
        EXPECT_EQ(s.memory(), raster) << "write " << n;
        EXPECT_EQ(s.known(), raster) << "write " << n;
        const Stamp next = s.session.stamp(h.terrain(), TREATMENTS[3], work);
        ASSERT_EQ(next.kind, Stamp::stamped);
        EXPECT_EQ(next.code, 3);
        EXPECT_EQ(s.memory(), s.raster()) << "write " << n;
    }
    EXPECT_GE(failures, 2);  // the raster's write and the record's at least

    // Without the third treatment the files are those of a session that never tried it.
    Set without;
    for (int k : {0, 1, 3}) ASSERT_EQ(without.session.stamp(h.terrain(), TREATMENTS[k], work).kind, Stamp::stamped);
    FailingFiles fs;
    Set s(fs);
    for (int k = 0; k < 2; k++) s.session.stamp(h.terrain(), TREATMENTS[k], work);
    fs.fail_at = fs.writes + 1;
    EXPECT_EQ(s.session.stamp(h.terrain(), TREATMENTS[2], work).kind, Stamp::failed);
    EXPECT_EQ(s.session.stamp(h.terrain(), TREATMENTS[3], work).kind, Stamp::stamped);
    EXPECT_EQ(s.raster(), without.raster());
    EXPECT_EQ(s.log(), without.log());
}

// A set carried on by a later session, of either background, learns what
// its cells hold from the raster: its stamps over earlier ones, and their
// undoing, leave the files one session would.
TEST(SessionCore, ASetCarriedOnStampsAndTakesBackOverItsEarlierStampsAsOneSessionWould) {
    Hills h;
    Work work;
    for (const uint8_t background : {uint8_t(255), uint8_t(0)}) {
        TempDir one, two;
        std::string err, repaired;
        const auto start = [&](ResultSession &s, const TempDir &d) {
            bool replaced;
            return s.open(d / "r_tolmar.raw", d / "r_tolmar.txt", "test", repaired, err) && s.create(40, 50, err) &&
                   s.set_pix_size(30, err) && s.fill(background, err) && s.place(replaced, err);
        };
        ResultSession whole;
        ASSERT_TRUE(start(whole, one)) << err;
        {
            ResultSession first;
            ASSERT_TRUE(start(first, two)) << err;
            for (int k : {0, 1}) ASSERT_EQ(first.stamp(h.terrain(), TREATMENTS[k], work).kind, Stamp::stamped);
            ASSERT_TRUE(first.finish(err)) << err;
        }
        ResultSession later;
        ASSERT_TRUE(later.open(two / "r_tolmar.raw", two / "r_tolmar.txt", "test", repaired, err) &&
                    later.carry_on(40, 50, 30, err))
            << err;
        for (int k : {0, 1, 2, 3}) ASSERT_EQ(whole.stamp(h.terrain(), TREATMENTS[k], work).kind, Stamp::stamped);
        for (int k : {2, 3, 0}) ASSERT_EQ(later.stamp(h.terrain(), TREATMENTS[k], work).kind, Stamp::stamped);
        ASSERT_TRUE(later.undo_last(err)) << err;
        EXPECT_EQ(later.code(), 4);
        ASSERT_TRUE(whole.finish(err) && later.finish(err)) << err;
        EXPECT_TRUE(read_file(two / "r_tolmar.raw") == read_file(one / "r_tolmar.raw")) << int(background);
        EXPECT_EQ(read_file(two / "r_tolmar.txt"), read_file(one / "r_tolmar.txt"));
    }
}

// A set carried on whose codes are too many to keep in memory: the cells
// a stamp changes are read from the raster, and taken back as they were.
TEST(SessionCore, ASetCarriedOnWithMoreCodesThanAreKeptReadsThemFromItsRaster) {
    const int rows = 1100, cols = 1000;
    DemSamples dem;
    ASSERT_TRUE(dem.allocate(rows, cols, 2));
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++) dem.set(i, j, 300 + (i * 7 + j * 3) % 11 + j / 3);
    TempDir d;
    // Every cell code 1 but a band of the background.
    std::string raster(static_cast<size_t>(rows) * cols, '\x01');
    std::fill(raster.begin(), raster.begin() + 20 * cols, '\0');
    write_file(d / "r_tolmar.raw", raster);
    write_file(d / "r_tolmar.txt", header_text(rows, cols, 30) + record_text(1, 500, 500, 20, 90, 40));
    ResultSession s;
    std::string err, repaired;
    ASSERT_TRUE(s.open(d / "r_tolmar.raw", d / "r_tolmar.txt", "test", repaired, err) && s.carry_on(rows, cols, 30, err)) << err;
    Work work;
    const Stamp st = s.stamp(dem.terrain(1, 30), {45, 500, 12, 180, 25}, work);
    ASSERT_EQ(st.kind, Stamp::stamped);
    ASSERT_TRUE(s.undo_last(err)) << err;
    ASSERT_TRUE(s.finish(err)) << err;
    EXPECT_TRUE(read_file(d / "r_tolmar.raw") == raster);
}

TEST(SessionCore, RefusalsAndTheLimitAreTheCoresOwn) {
    Hills h;
    Work work;
    Set s;
    Stamp r = s.session.stamp(h.terrain(), {2, 2, 10, 45, 10}, work);
    EXPECT_EQ(r.kind, Stamp::refused);
    EXPECT_EQ(r.message, "out of the image borders");
    EXPECT_EQ(r.detail, "zone 10 in direction 45 fits reference points on lines 14 to 25 and columns 14 to 35");
    r = s.session.stamp(h.terrain(), {20, 20, 10, 45, 0}, work);
    EXPECT_EQ(r.message, "influence zone must be at least 1");
    r = s.session.stamp(h.terrain(), {20, 20, 10, 45, 30}, work);
    EXPECT_EQ(r.detail, "no reference point of this DEM fits a square of zone 30 in direction 45");
    for (int k = 1; k <= 250; k++) ASSERT_EQ(s.session.stamp(h.terrain(), TREATMENTS[0], work).code, k);
    EXPECT_TRUE(s.session.full());
    r = s.session.stamp(h.terrain(), TREATMENTS[0], work);
    EXPECT_EQ(r.kind, Stamp::full);
    EXPECT_EQ(r.message, "250 calculations reached");
    EXPECT_EQ(count(s.log(), " code "), 250);
}

// Random stamps and undos on overlapping squares, through journal
// checkpoints: each undo gives back, byte for byte, both files as they were
// before the stamp it takes back, and the set left is the one a session
// stamping only the surviving treatments writes.
TEST(SessionCore, UndoGivesBackTheFilesAsTheyWereBeforeTheStamp) {
    Hills h;
    Work work;
    std::mt19937 random(24);
    Set s;
    std::string err;
    EXPECT_FALSE(s.session.undo_last(err));
    EXPECT_EQ(err, "no stamp of this session is left to take back");
    struct Before {
        std::string raster, log;
        Values v;
    };
    std::vector<Before> stack;
    int undos = 0;
    for (int step = 0; step < 160; step++) {
        if (!stack.empty() && random() % 3 == 0) {
            ASSERT_TRUE(s.session.undo_last(err)) << err;
            undos++;
            EXPECT_TRUE(s.raster() == stack.back().raster) << "raster after undo at step " << step;
            EXPECT_TRUE(s.log() == stack.back().log) << "log after undo at step " << step;
            EXPECT_TRUE(s.memory() == stack.back().raster) << "memory after undo at step " << step;
            EXPECT_TRUE(s.known() == stack.back().raster) << "cells known after undo at step " << step;
            stack.pop_back();
            EXPECT_EQ(s.session.code(), static_cast<int>(stack.size()));
            EXPECT_EQ(s.session.undoable(), static_cast<int>(stack.size()));
            continue;
        }
        const Values v{static_cast<int>(14 + random() % 12), static_cast<int>(14 + random() % 22),
                       static_cast<int>(random() % 70), static_cast<int>(random() % 360), static_cast<int>(3 + random() % 9)};
        Before b{s.raster(), s.log(), v};
        const Stamp st = s.session.stamp(h.terrain(), v, work);
        if (st.kind != Stamp::stamped) continue;
        stack.push_back(b);
    }
    EXPECT_GE(undos, 30);
    ASSERT_FALSE(stack.empty());
    ASSERT_TRUE(s.session.finish(err)) << err;

    Set survivors;
    for (const Before &b : stack) ASSERT_EQ(survivors.session.stamp(h.terrain(), b.v, work).kind, Stamp::stamped);
    ASSERT_TRUE(survivors.session.finish(err)) << err;
    EXPECT_TRUE(s.raster() == survivors.raster());
    EXPECT_TRUE(s.log() == survivors.log());
}

// A stamp on a fresh set comes while its background is still being written
// behind the dialogue (here the fill is slowed down so that it always is):
// its bytes before are the background all the same, so that undo, and the
// rollback of a stamp whose write fails, give back exactly the empty set.
TEST(SessionCore, UndoAndRollbackOnAFreshSetGiveBackItsBackground) {
    class SlowFill : public FileSystem {
    public:
        int fail_after = -1;  // the raster's writes of cells (not the fill's) that go through, then one fails
        ssize_t pwrite(int fd, const void *data, size_t n, off_t offset) override {
            if (n >= (1 << 20)) usleep(3000);
            else if (n < 4096 && fail_after >= 0 && fail_after-- == 0) return errno = ENOSPC, -1;
            return FileSystem::pwrite(fd, data, n, offset);
        }
    };
    for (int side : {300, 1500, 2500})
        for (uint8_t background : {uint8_t(255), uint8_t(0)})
            for (bool fail : {false, true}) {
                const std::string what = std::to_string(side) + "², background " + std::to_string(background) + (fail ? ", failing" : "");
                DemSamples dem;
                ASSERT_TRUE(dem.allocate(side, side, 2));
                for (int i = 0; i < side; i++)
                    for (int j = 0; j < side; j++) dem.set(i, j, 300 + (i * 7 + j * 3) % 11 + j / 3);
                const Terrain t = dem.terrain(1, 30);
                TempDir dir;
                SlowFill fs;
                ResultSession s(fs);
                std::string err, repaired;
                ASSERT_TRUE(s.open(dir / "r_tolmar.raw", dir / "r_tolmar.txt", "test", repaired, err)) << err;
                ASSERT_TRUE(s.create(side, side, err) && s.set_pix_size(30, err) && s.fill(background, err)) << err;
                Work work;
                const Values v{side / 2 + 7, side / 2 + 3, 12, 75, side / 4};
                if (fail) fs.fail_after = 3;
                const Stamp st = s.stamp(t, v, work);
                const std::string empty(static_cast<size_t>(side) * side, static_cast<char>(background));
                if (fail) {
                    EXPECT_EQ(st.kind, Stamp::failed) << what;
                    fs.fail_after = -1;
                    bool replaced;
                    ASSERT_TRUE(s.place(replaced, err)) << err;
                } else {
                    ASSERT_EQ(st.kind, Stamp::stamped) << what;
                    ASSERT_GT(st.cells, 10) << what;
                    ASSERT_TRUE(s.undo_last(err)) << what << ": " << err;
                }
                ASSERT_TRUE(s.finish(err)) << err;
                EXPECT_TRUE(read_file(dir / "r_tolmar.raw") == empty) << what;
                EXPECT_EQ(read_file(dir / "r_tolmar.txt"), header_text(side, side, 30)) << what;
            }
}

// A white background filled beside the stamps (as on a large raster) whose
// writing fails, as on a full disk: the failure is told, at the next stamp
// or at the end, never taken for success; what was told stamped is kept,
// and the next opening completes the background.
TEST(SessionCore, ABackgroundFillThatFailsIsToldAndCompletedAtTheNextOpening) {
    // Only the filler's writes fail: whole blocks of the raster, where a
    // stamp writes a row of its trace at a time.
    struct FullDisk : FileSystem {
        ssize_t pwrite(int fd, const void *data, size_t n, off_t offset) override {
            struct stat st;
            if (n == 40 * 50 && ::fstat(fd, &st) == 0 && st.st_size == 40 * 50) return errno = ENOSPC, -1;
            return FileSystem::pwrite(fd, data, n, offset);
        }
    } full;
    Hills h;
    Work work;
    TempDir dir;
    const std::string raster = dir / "r_tolmar.raw", log = dir / "r_tolmar.txt";
    std::string err, repaired;
    int told = 0;
    {
        ResultSession s(full);
        ASSERT_TRUE(s.open(raster, log, "test", repaired, err)) << err;
        s.late_fill_above(0);
        ASSERT_TRUE(s.create(40, 50, err) && s.set_pix_size(30, err) && s.fill(255, err)) << err;
        for (int k = 0; k < 2; k++) {
            const Stamp st = s.stamp(h.terrain(), TREATMENTS[k], work);
            if (st.kind == Stamp::stamped) told++;
            else EXPECT_NE(st.message.find("No space left on device"), std::string::npos) << st.message;
        }
        EXPECT_FALSE(s.finish(err));
        EXPECT_EQ(err, "Cannot write " + raster + ": No space left on device");
    }
    ASSERT_GE(told, 1);
    EXPECT_TRUE(file_exists(dir / ".r_tolmar.journal"));
    ResultSet seen;
    ASSERT_TRUE(read_result_set(raster, seen, err)) << err;
    ResultSession s;
    ASSERT_TRUE(s.open(raster, log, "test", repaired, err)) << err;
    EXPECT_NE(repaired.find("the white background a dead run was filling completed"), std::string::npos) << repaired;
    s.discard();
    const std::string cells = read_file(raster);
    EXPECT_EQ(std::string(seen.cells.begin(), seen.cells.end()), cells);
    EXPECT_EQ(seen.records.size(), size_t(told));
    EXPECT_EQ(cells.find('\0'), std::string::npos);
    EXPECT_NE(cells.find(static_cast<char>(told)), std::string::npos);
}

"""tolmar for Python against the programs: the same result sets as the
console for the same treatments, the same tables as tolmar-stations, the
intersection checked against the samples themselves, the fit on a contact
given three ways, the errors, the GIL left free while computing.

Run by ctest with TOLMAR_BIN (the programs) and EXAMPLES (the bundled DEMs)
set, and tolmar on PYTHONPATH."""
import json
import os
import re
import shutil
import subprocess
import threading

import numpy as np
import pytest

import tolmar

BIN = os.environ["TOLMAR_BIN"]
EXAMPLES = os.environ["EXAMPLES"]


@pytest.fixture
def work(tmp_path):
    """A folder holding images/jacksboro/ with the bundled DEM."""
    d = tmp_path / "images" / "jacksboro"
    d.mkdir(parents=True)
    for f in ("jacksboro_m2.raw", "jacksboro_m2.txt"):
        shutil.copy(os.path.join(EXAMPLES, "jacksboro", f), d / f)
    return tmp_path


def records(log):
    """The treatments of a result log, read on their own: (code, row, column, dip, direction, zone)."""
    text = open(log).read()
    out = []
    for m in re.finditer(r"code (\d+) \n\tselected point\n\t\tline   : (-?\d+)\n\t\tcolumn : (-?\d+)\n\tplane dip \(in degrees\) (-?\d+)\n"
                         r"\tdirection of the slope (-?\d+)\n\tinfluence zone (-?\d+)", text):
        out.append(tuple(int(g) for g in m.groups()))
    return out


@pytest.mark.parametrize("geometry", ["classic", "true"])
def test_a_session_makes_the_consoles_set(work, tmp_path_factory, geometry):
    # The console's session of the bundled answers, then the same treatments
    # stamped from Python into a copy of the folder: the same bytes.
    answers = open(os.path.join(EXAMPLES, "jacksboro", "answers.txt")).read()
    subprocess.run([os.path.join(BIN, "tolmar"), "--geometry", geometry], input=answers, text=True, cwd=work, check=True,
                   stdout=subprocess.DEVNULL)
    folder = work / "images" / "jacksboro"
    treatments = records(folder / "jacksboro_tolmar.txt")
    assert len(treatments) >= 5
    mine = tmp_path_factory.mktemp("python") / "jacksboro"
    mine.mkdir()
    for f in ("jacksboro_m2.raw", "jacksboro_m2.txt"):
        shutil.copy(folder / f, mine / f)
    dem = tolmar.open_dem(str(mine / "jacksboro_m2.raw"), unit="m")
    with tolmar.Session(dem, geometry=geometry) as s:
        for code, row, column, dip, direction, zone in treatments:
            done = s.stamp(row, column, dip, direction, zone)
            assert done["stamped"] and done["code"] == code
        assert s.code == len(treatments)
    for f in ("jacksboro_tolmar.raw", "jacksboro_tolmar.txt"):
        assert (mine / f).read_bytes() == (folder / f).read_bytes(), f

    # Every trace is the set's cells of its code, less those a later code took.
    raster = np.fromfile(folder / "jacksboro_tolmar.raw", dtype=np.uint8).reshape(dem.rows, dem.columns)
    for code, row, column, dip, direction, zone in treatments:
        t = dem.trace(row, column, dip, direction, zone, geometry=geometry)
        assert t.refused is None
        held = raster[t.rows, t.columns]
        assert np.all((held == code) | (held > code))
        assert np.count_nonzero(raster == code) == np.count_nonzero(held == code)


def test_undo_gives_back_the_files_and_a_refusal_stamps_nothing(work):
    dem = tolmar.open_dem(str(work / "images" / "jacksboro" / "jacksboro_m2.raw"), unit="m")
    with tolmar.Session(dem, "u", background="black") as s:
        s.stamp(110, 300, 5, 150, 40)
        raster, log = open(s.raster, "rb").read(), open(s.log, "rb").read()
        s.stamp(200, 200, 20, 45, 30)
        assert s.undo()
        assert (open(s.raster, "rb").read(), open(s.log, "rb").read()) == (raster, log)
        refused = s.stamp(2, 2, 10, 0, 30)
        assert not refused["stamped"] and "rows" in refused["why"] and s.code == 1


def test_threads_sharing_a_session_stamp_one_at_a_time(work):
    # Forty stamps from four threads: a log of codes 1 to 40, and a raster
    # whose every code holds its record's trace, less what later codes took.
    dem = tolmar.open_dem(str(work / "images" / "jacksboro" / "jacksboro_m2.raw"), unit="m")
    with tolmar.Session(dem, "threads") as s:
        def stamps(k):
            for n in range(10):
                assert s.stamp(100 + n, 150 + 10 * k, 10 + n, 30 * k, 20)["stamped"]
        threads = [threading.Thread(target=stamps, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    treatments = records(work / "images" / "jacksboro" / "threads_tolmar.txt")
    assert [t[0] for t in treatments] == list(range(1, 41))
    raster = np.fromfile(work / "images" / "jacksboro" / "threads_tolmar.raw", dtype=np.uint8).reshape(dem.rows, dem.columns)
    for code, row, column, dip, direction, zone in treatments:
        t = dem.trace(row, column, dip, direction, zone)
        held = raster[t.rows, t.columns]
        assert np.all((held >= code) & (held <= 40)) and np.count_nonzero(raster == code) == np.count_nonzero(held == code)


def test_the_line_is_where_the_plane_meets_the_bilinear_ground(work):
    # Each end of each segment lies on the plane and on the ground's bilinear
    # surface through the cell centres, computed here from the samples.
    dem = tolmar.open_dem(str(work / "images" / "jacksboro" / "jacksboro_m2.raw"), unit="m")
    z = dem.samples.astype(float)
    assert dem.samples.base is not None and np.shares_memory(dem.samples, dem.samples)
    rng = np.random.default_rng(7)
    traced = 0
    for _ in range(60):
        zone = int(rng.integers(5, 60))
        row, column = int(rng.integers(zone + 2, dem.rows - zone - 2)), int(rng.integers(zone + 2, dem.columns - zone - 2))
        dip, direction = int(rng.integers(1, 80)), int(rng.integers(0, 360))
        t = dem.trace(row, column, dip, direction, zone)
        if t.refused is not None:  # a turned square's corner beyond the DEM
            assert "rows" in t.refused and len(t) == 0
            continue
        traced += 1
        p = t.line.reshape(-1, 2)
        i0, j0 = np.floor(p[:, 0]).astype(int), np.floor(p[:, 1]).astype(int)
        i1, j1 = np.minimum(i0 + 1, dem.rows - 1), np.minimum(j0 + 1, dem.columns - 1)
        fi, fj = p[:, 0] - i0, p[:, 1] - j0
        ground = (z[i0, j0] * (1 - fi) * (1 - fj) + z[i0, j1] * (1 - fi) * fj + z[i1, j0] * fi * (1 - fj) + z[i1, j1] * fi * fj)
        a = np.radians(direction)
        plane = z[row, column] - np.tan(np.radians(dip)) * dem.pixel_size * ((p[:, 1] - column) * np.sin(a) - (p[:, 0] - row) * np.cos(a))
        # On an edge between two centres the bilinear surface is linear: exact to rounding.
        on_edge = (fi == 0) | (fj == 0)
        assert np.all(on_edge)
        assert np.max(np.abs(ground - plane)) < 1e-6 * (1 + np.max(np.abs(z)))
        # And the true trace's cells lie within a cell of the line.
        if len(t):
            d = np.min(np.hypot(t.rows[:, None] - p[None, :, 0], t.columns[:, None] - p[None, :, 1]), axis=1)
            assert np.max(d) <= 1.0
    assert traced >= 30


def test_a_fit_from_a_file_an_array_and_a_geometry(work):
    dem = tolmar.open_dem(str(work / "images" / "jacksboro" / "jacksboro_m2.raw"), unit="m")
    contact = os.path.join(EXAMPLES, "jacksboro", "contact.geojson")
    shape = json.load(open(contact))
    # The contact's vertices as cells (written as x = column + 0.5, y = -(row + 0.5)).
    cells = [(-y - 0.5, x - 0.5) for f in shape["features"] for line in f["geometry"]["coordinates"] for x, y in line]
    geometry = {"type": "MultiLineString", "coordinates": [line for f in shape["features"] for line in f["geometry"]["coordinates"]]}
    del shape
    for given in (contact, np.array(cells), geometry):
        a = tolmar.fit(dem, given)["attitude"]
        assert a["determined"], a
        # The beds dip 5 degrees towards 150 (the contact is their true intersection, redrawn).
        assert abs(a["dip"] - 5) < 0.5 and abs(a["dip_direction"] - 150) < 3
        assert a["ranges"]["dip"][0] <= a["dip"] <= a["ranges"]["dip"][1]
    # A straight contact on a plain is no answer, and says why.
    straight = tolmar.fit(dem, [(100 + k, 100 + k) for k in range(3)])["attitude"]
    assert not straight["determined"] and straight.get("why")


def test_stations_as_the_program_traces_them(work, tmp_path_factory):
    table = os.path.join(EXAMPLES, "jacksboro", "stations.csv")
    other = tmp_path_factory.mktemp("cli")
    shutil.copytree(work / "images", other / "images")
    subprocess.run([os.path.join(BIN, "tolmar-stations"), "images/jacksboro/jacksboro_m2.raw", table, "--unit", "m", "-o", "t.gpkg",
                    "--sets"], cwd=other, check=True, stdout=subprocess.DEVNULL)
    dem = tolmar.open_dem(str(work / "images" / "jacksboro" / "jacksboro_m2.raw"), unit="m")
    alone = tolmar.stations(dem, table, out=str(work / "alone.gpkg"))
    assert alone["sets"] == [] and not (work / "images" / "jacksboro" / "stations_tolmar.raw").exists()
    done = tolmar.stations(dem, table, out=str(work / "t.gpkg"), sets=True)
    assert done["traced"] == alone["traced"] > 0 and done["traced"] + done["refused"] == done["stations"]
    for f in ("stations_tolmar.raw", "stations_tolmar.txt"):
        assert (work / "images" / "jacksboro" / f).read_bytes() == (other / "images" / "jacksboro" / f).read_bytes()


def test_errors_carry_the_librarys_message_and_subject(work):
    with pytest.raises(tolmar.Error) as e:
        tolmar.open_dem(str(work / "images" / "jacksboro" / "none_m2.raw"))
    assert "none_m2" in str(e.value) and e.value.subject.endswith("none_m2.raw")
    dem = tolmar.open_dem(str(work / "images" / "jacksboro" / "jacksboro_m2.raw"), unit="m")
    with pytest.raises(ValueError):  # a UsageError is a ValueError too
        dem.trace(100, 100, 10, 10, 10, geometry="straight")
    with pytest.raises(tolmar.UsageError):
        tolmar.open_dem(str(work / "images" / "jacksboro" / "jacksboro_m2.raw"), unit="feet")
    # The unit is never guessed: a DEM without a sidecar needs one, and one
    # given must be the sidecar's.
    with pytest.raises(tolmar.UsageError, match="no sidecar telling the unit"):
        tolmar.open_dem(str(work / "images" / "jacksboro" / "jacksboro_m2.raw"))
    with pytest.raises(tolmar.UsageError, match="differs from"):
        tolmar.open_dem(os.path.join(EXAMPLES, "olinda", "olinda_dem_utm25s.tif"), unit="m")
    with pytest.raises(tolmar.Error) as e:
        tolmar.fit(dem, str(work / "nowhere.geojson"))
    assert e.value.subject.endswith("nowhere.geojson")
    # A second writer of one set is refused, naming the holder.
    with tolmar.Session(dem, "held"):
        with pytest.raises(tolmar.Error) as e:
            tolmar.Session(dem, "held")
    assert "held_tolmar" in str(e.value)


def test_any_raster_gdal_reads_is_brought_in_with_its_place():
    tif = os.path.join(EXAMPLES, "olinda", "olinda_dem_utm25s.tif")
    dem = tolmar.open_dem(tif)
    assert dem.raster is None and (dem.rows, dem.columns) == (111, 111)
    x, y = dem.xy(0, 0)
    gt = dem.geotransform
    assert abs(x - (gt[0] + gt[1] / 2)) < 1e-6 and abs(y - (gt[3] + gt[5] / 2)) < 1e-6
    t = dem.trace(55, 55, 20, 90, 30)
    assert len(t) > 0 and np.all(np.abs(t.x - (gt[0] + (t.columns + 0.5) * gt[1])) < 1e-6)


def test_computing_leaves_the_gil_free(work):
    # While a fit computes, another Python thread keeps running.
    dem = tolmar.open_dem(str(work / "images" / "jacksboro" / "jacksboro_m2.raw"), unit="m")
    contact = os.path.join(EXAMPLES, "jacksboro", "contact.geojson")
    count, going = [0], [True]

    def counter():
        while going[0]:
            count[0] += 1

    t = threading.Thread(target=counter)
    t.start()
    try:
        before = count[0]
        tolmar.fit(dem, contact)
        during = count[0] - before
    finally:
        going[0] = False
        t.join()
    assert during > 1000

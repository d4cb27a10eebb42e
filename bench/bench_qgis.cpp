// bench_qgis.cpp: the QGIS panel's live trace on a 10,000 x 10,000 DEM, in
// QGIS itself (offscreen, an interpreter embedded here): from a key pressed
// in the dip field to the rubber band redrawn on the canvas, at zones of 20,
// 200 and 1,000 cells. Each key changes the dip (31, then 3, then 31 ...),
// so every iteration traces anew, builds the band's squares and repaints
// the canvas with it.
//   tolmar_bench_qgis [--benchmark_...]     (skips when PyQGIS is missing)
#include <benchmark/benchmark.h>
#include <pybind11/embed.h>

#include <cstdlib>
#include <string>

#include "scratch.h"

namespace py = pybind11;

namespace {

py::dict *scope = nullptr;
bool ready = false;
std::string why_not;

// QGIS, the plugin's panel, and a DEM of 10,000 x 10,000 cells on the
// canvas (its raster a file set with a VRT beside it, as tolmar-import
// leaves one).
void set_up(const std::string &dir) {
    scope = new py::dict();
    (*scope)["DIR"] = dir;
    (*scope)["MAKE_DEM"] = MAKE_DEM;
    (*scope)["PLUGIN"] = PLUGIN;
    (*scope)["BIN"] = BIN;
    try {
        py::exec(R"(
import os, subprocess, sys
os.environ["QT_QPA_PLATFORM"] = "offscreen"
os.environ["TOLMAR_BIN"] = BIN
os.environ.setdefault("HOME", DIR)
sys.path.insert(0, os.path.dirname(PLUGIN))
from qgis.core import QgsApplication, QgsProject, QgsRasterLayer
from qgis.gui import QgsMapCanvas
from qgis.PyQt.QtCore import QEventLoop, Qt, QTimer
from qgis.PyQt.QtTest import QTest
from qgis.PyQt.QtWidgets import QMainWindow
app = QgsApplication([b"bench"], True)
app.initQgis()
n = 10000
os.makedirs(os.path.join(DIR, "images", "big"))
prefix = os.path.join(DIR, "images", "big", "big")
subprocess.run([MAKE_DEM, str(n), str(n), "2", prefix], check=True, stdout=subprocess.DEVNULL)
with open(prefix + "_m2.vrt", "w") as f:
    f.write('<VRTDataset rasterXSize="%d" rasterYSize="%d"><SRS>EPSG:32633</SRS>'
            '<GeoTransform>500000, 30, 0, 5000000, 0, -30</GeoTransform>'
            '<VRTRasterBand dataType="UInt16" band="1" subClass="VRTRawRasterBand">'
            '<SourceFilename relativeToVRT="1">big_m2.raw</SourceFilename><ImageOffset>0</ImageOffset>'
            '<PixelOffset>2</PixelOffset><LineOffset>%d</LineOffset><ByteOrder>LSB</ByteOrder>'
            '</VRTRasterBand></VRTDataset>' % (n, n, 2 * n))

class Iface:
    def __init__(self):
        self.window = QMainWindow()
        self.canvas = QgsMapCanvas(self.window)
        self.window.setCentralWidget(self.canvas)
        self.window.resize(1100, 700)
    def mainWindow(self): return self.window
    def mapCanvas(self): return self.canvas

from tolmar.panel import TolmarPanel
iface = Iface()
panel = TolmarPanel(iface, iface.window)
iface.window.addDockWidget(Qt.RightDockWidgetArea, panel)
layer = QgsRasterLayer(prefix + "_m2.vrt", "big")
QgsProject.instance().addMapLayer(layer)
canvas = iface.canvas
canvas.setDestinationCrs(layer.crs())
canvas.setLayers([layer])
iface.window.show()
panel.dem_box.setLayer(layer)
panel.unit.setCurrentText("dm")
assert panel.dem is not None, panel.readout.text()
panel.set_point(n // 2, n // 2)
panel.dip.setText("31")
panel.direction.setText("120")

def show(zone):
    # The view around the point, drawn once: the band is what changes.
    panel.zone.setText(str(zone))
    x, y = panel.dem.xy(n // 2, n // 2)
    reach = 30 * zone * 1.5
    from qgis.core import QgsRectangle
    canvas.setExtent(QgsRectangle(x - reach, y - reach, x + reach, y + reach))
    loop = QEventLoop()
    canvas.mapCanvasRefreshed.connect(loop.quit)
    QTimer.singleShot(60000, loop.quit)
    canvas.refresh()
    loop.exec_()
    canvas.mapCanvasRefreshed.disconnect(loop.quit)
    app.processEvents()

def key():
    # One key in the dip field, the band traced and redrawn on the canvas.
    if panel.dip.text() == "31":
        QTest.keyClick(panel.dip, Qt.Key_Backspace)
    else:
        QTest.keyClick(panel.dip, Qt.Key_1)
    canvas.viewport().repaint()
    return len(panel.band_cells)
panel.dip.setFocus()
panel.dip.end(False)
)",
                 *scope);
        ready = true;
    } catch (const std::exception &e) {
        why_not = e.what();
    }
}

void BM_QgisKeyToRedrawnBand(benchmark::State &state) {
    if (!ready) {
        state.SkipWithError(("QGIS could not be set up: " + why_not).c_str());
        return;
    }
    (*scope)["show"](state.range(0));
    py::object key = (*scope)["key"];
    long long cells = 0;
    for (auto _ : state) cells += key().cast<long long>();
    state.counters["cells"] = benchmark::Counter(static_cast<double>(cells), benchmark::Counter::kAvgIterations);
}

}  // namespace

BENCHMARK(BM_QgisKeyToRedrawnBand)->Arg(20)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char **argv) {
    py::scoped_interpreter python;
    Scratch scratch("qgis");
    set_up(scratch.dir);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // QGIS's objects do not come apart cleanly at the interpreter's end.
    fflush(stdout);
    std::error_code ec;
    std::filesystem::remove_all(scratch.dir, ec);
    _Exit(0);
}

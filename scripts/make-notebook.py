"""make-notebook.py: writes examples/python/tolmar.ipynb, the worked notebook
of tolmar for Python, and executes it (nbclient) so that it is read with its
outputs. Run from the project's folder after a build:
    PYTHONPATH=$PWD/build/python /usr/bin/python3 scripts/make-notebook.py"""
import os
import nbclient
import nbformat as nbf
nb = nbf.v4.new_notebook()
md, code = nbf.v4.new_markdown_cell, nbf.v4.new_code_cell
nb.cells = [
md("""# tolmar from Python: trace, fit and a table of stations on Jacksboro

The bundled Jacksboro DEM (344 x 403 cells of 83 m, elevations in metres; see
`examples/README.md` for its provenance). The notebook works in a temporary
folder of its own, so the bundled files stay as they are. It needs `tolmar`
on the Python path (the build's `build/python`, or an install)."""),
code("""import os, shutil, tempfile
import numpy as np
import matplotlib.pyplot as plt
import tolmar
plt.rcParams["figure.dpi"] = 64

here = os.path.abspath(os.path.join(os.getcwd(), "..", "jacksboro")) if os.path.isdir("../jacksboro") else os.environ["EXAMPLES"] + "/jacksboro"
work = tempfile.mkdtemp(prefix="tolmar-notebook-")
os.makedirs(f"{work}/images/jacksboro")
for f in ("jacksboro_m2.raw", "jacksboro_m2.txt"):
    shutil.copy(f"{here}/{f}", f"{work}/images/jacksboro/")
dem = tolmar.open_dem(f"{work}/images/jacksboro/jacksboro_m2.raw", unit="m")
print(tolmar.__version__, dem.rows, "x", dem.columns, "cells of", dem.pixel_size, "m")"""),
md("""## One trace

Beds dipping 5 degrees towards 150 through row 110, column 300, in a zone of
40 cells: the cells tolmar stamps (true geometry) and the intersection they
stand for. `dem.samples` is the DEM itself, without a copy."""),
code("""t = dem.trace(110, 300, 5, 150, 40)
print(t)
fig, ax = plt.subplots(figsize=(8, 6.8))
ax.imshow(dem.samples, cmap="terrain")
ax.plot(t.columns, t.rows, "s", ms=2, color="crimson", label="trace cells")
for (r0, c0), (r1, c1) in t.line:
    ax.plot([c0, c1], [r0, r1], color="black", lw=0.8)
ax.plot(300, 110, "k+", ms=12)
ax.set_xlim(240, 360); ax.set_ylim(170, 50)
ax.legend(); ax.set_title("5 degrees towards 150, zone 40");"""),
md("""## The attitude a mapped contact fits

`examples/jacksboro/contact.geojson` is the true intersection of those beds,
redrawn as a geologist would map it. The fit answers with its ranges at 99 %,
or says why the contact does not decide the attitude."""),
code("""answer = tolmar.fit(dem, f"{here}/contact.geojson")
a = answer["attitude"]
print("determined:", a["determined"])
print("dip %.1f (%.1f to %.1f), dip direction %.1f (%.1f to %.1f)" % (
    a["dip"], *a["ranges"]["dip"], a["dip_direction"], *a["ranges"]["dip_direction"]))
tr = answer["treatment"]
print("as tolmar stamps it:", tr)"""),
md("""A scribble (here a random walk of 60 points, as cells) follows no plane: no answer, and the figure that shows it."""),
code("""walk = np.cumsum(np.random.default_rng(3).normal(0, 2, (60, 2)), axis=0) + (150, 200)
scribble = tolmar.fit(dem, walk)["attitude"]
print(scribble["determined"], "-", scribble.get("why"))"""),
md("""## A session and a table of stations

A result set stamped from Python is the console's own for the same
treatments; a table of stations is traced as `tolmar-stations` does (with
`sets=True`, into result sets too)."""),
code("""with tolmar.Session(dem, "notebook") as s:
    print(s.stamp(110, 300, 5, 150, 40))
    print(s.stamp(200, 120, 30, 45, 25))
    print(s.stamp(3, 3, 10, 0, 30))      # a square beyond the DEM: refused
done = tolmar.stations(dem, f"{here}/stations.csv", out=f"{work}/stations.gpkg", sets=True)
print(done["traced"], "stations traced,", done["refused"], "refused:", done["sets"])
codes = np.fromfile(done["sets"][0], dtype=np.uint8).reshape(dem.rows, dem.columns)
fig, ax = plt.subplots(figsize=(8, 6.8))
ax.imshow(dem.samples, cmap="gray")
ax.imshow(np.ma.masked_where((codes == 0) | (codes == 255), codes), cmap="tab20", interpolation="nearest")
ax.set_title("the stations' traces, coloured by code");"""),
code("""shutil.rmtree(work)"""),
]
nb.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3", "language": "python"}
os.environ.setdefault("PYDEVD_DISABLE_FILE_VALIDATION", "1")
folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "python")
nbclient.NotebookClient(nb, timeout=300, kernel_name="python3", resources={"metadata": {"path": folder}}).execute()
nbf.write(nb, os.path.join(folder, "tolmar.ipynb"))

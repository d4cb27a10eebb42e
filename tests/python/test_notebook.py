"""The worked notebook of examples/python runs from top to bottom on this
build, so that what it shows cannot rot."""
import os

import nbclient
import nbformat


def test_the_worked_notebook_runs():
    folder = os.path.join(os.environ["EXAMPLES"], "python")
    nb = nbformat.read(os.path.join(folder, "tolmar.ipynb"), as_version=4)
    os.environ.setdefault("PYDEVD_DISABLE_FILE_VALIDATION", "1")
    nbclient.NotebookClient(nb, timeout=300, kernel_name="python3", resources={"metadata": {"path": folder}}).execute()
    said = "".join(o.get("text", "") for c in nb.cells if c.cell_type == "code" for o in c.outputs)
    assert "determined: True" in said and "no plane fits" in said and "stations traced" in said

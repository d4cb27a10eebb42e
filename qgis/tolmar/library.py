"""tolmar's library for Python (the package `tolmar` that the build makes
and the package installs), loaded in this process. Inside QGIS the name
`tolmar` is this plugin's own, so the library is loaded from its folder
under another name, `tolmar_library`.

Where it is looked for, in turn: the folder named by TOLMAR_PYTHON (the
folder that holds tolmar/); TOLMAR_BIN's python/ (a build folder); the
prefix the plugin is installed under (PREFIX/lib/python3/dist-packages);
and every folder on Python's path."""
import glob
import importlib.util
import os
import sys

NAME = "tolmar_library"


def _candidates():
    if os.environ.get("TOLMAR_PYTHON"):
        yield os.environ["TOLMAR_PYTHON"]
    if os.environ.get("TOLMAR_BIN"):
        yield os.path.join(os.environ["TOLMAR_BIN"], "python")
    here = os.path.dirname(os.path.abspath(__file__))
    yield os.path.normpath(os.path.join(here, *([os.pardir] * 5), "lib", "python3", "dist-packages"))
    for folder in sys.path:
        if folder and os.path.abspath(folder) != os.path.dirname(here):
            yield folder


def _folder():
    """The folder of the library's package: tolmar/ with its compiled half."""
    for base in _candidates():
        package = os.path.join(base, "tolmar")
        if glob.glob(os.path.join(package, "_tolmar*.so")) and os.path.exists(os.path.join(package, "__init__.py")):
            return package
    return None


def load():
    """The library's module; ImportError with where it was looked for."""
    if NAME in sys.modules:
        return sys.modules[NAME]
    package = _folder()
    if package is None:
        raise ImportError("tolmar's Python library (tolmar/_tolmar) was not found: install the tolmar package, or name "
                          "its folder in TOLMAR_PYTHON (a build's python/ folder)")
    spec = importlib.util.spec_from_file_location(NAME, os.path.join(package, "__init__.py"),
                                                  submodule_search_locations=[package])
    module = importlib.util.module_from_spec(spec)
    sys.modules[NAME] = module
    try:
        spec.loader.exec_module(module)
    except BaseException:
        del sys.modules[NAME]
        raise
    return module

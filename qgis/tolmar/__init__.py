"""tolmar: the tolmar programs in QGIS's Processing toolbox."""


def classFactory(iface):  # QGIS calls this with its interface (None in qgis_process)
    from .plugin import TolmarPlugin
    return TolmarPlugin(iface)

"""tolmar's Processing provider: its four algorithms."""
from qgis.core import QgsProcessingProvider

from .algorithms import ExportTraces, FitAttitude, ImportDem, TraceStations


class TolmarProvider(QgsProcessingProvider):
    def id(self):
        return "tolmar"

    def name(self):
        return "tolmar"

    def longName(self):
        return "tolmar: traces of inclined planes on a DEM"

    def loadAlgorithms(self):
        for algorithm in (ImportDem(), TraceStations(), FitAttitude(), ExportTraces()):
            self.addAlgorithm(algorithm)

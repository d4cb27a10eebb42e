"""The plugin: it registers tolmar's Processing provider, with or without
QGIS's window (qgis_process loads it without one)."""
from qgis.core import QgsApplication

from .provider import TolmarProvider


class TolmarPlugin:
    def __init__(self, iface):
        self.iface = iface
        self.provider = None

    def initProcessing(self):
        self.provider = TolmarProvider()
        QgsApplication.processingRegistry().addProvider(self.provider)

    def initGui(self):
        self.initProcessing()

    def unload(self):
        if self.provider is not None:
            QgsApplication.processingRegistry().removeProvider(self.provider)

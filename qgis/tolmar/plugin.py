"""The plugin: tolmar's Processing provider, with or without QGIS's window
(qgis_process loads it without one), and in the window the tolmar panel
with its map tools, opened from the toolbar or the Plugins menu."""
from qgis.core import QgsApplication

from .provider import TolmarProvider


class TolmarPlugin:
    def __init__(self, iface):
        self.iface = iface
        self.provider = None
        self.panel = None
        self.action = None

    def initProcessing(self):
        self.provider = TolmarProvider()
        QgsApplication.processingRegistry().addProvider(self.provider)

    def initGui(self):
        self.initProcessing()
        if self.iface is None:
            return
        from qgis.PyQt.QtCore import Qt
        from qgis.PyQt.QtWidgets import QAction

        from .panel import TolmarPanel
        self.panel = TolmarPanel(self.iface, self.iface.mainWindow())
        self.iface.addDockWidget(Qt.RightDockWidgetArea, self.panel)
        self.action = QAction("tolmar panel", self.iface.mainWindow())
        self.action.setCheckable(True)
        self.action.setChecked(self.panel.isVisible())
        self.action.toggled.connect(self.panel.setVisible)
        self.panel.visibilityChanged.connect(self.action.setChecked)
        self.iface.addToolBarIcon(self.action)
        self.iface.addPluginToMenu("tolmar", self.action)

    def unload(self):
        if self.panel is not None:
            self.panel.unload()
            self.iface.removeDockWidget(self.panel)
            self.panel.deleteLater()
            self.panel = None
        if self.action is not None:
            self.iface.removeToolBarIcon(self.action)
            self.iface.removePluginMenu("tolmar", self.action)
            self.action = None
        if self.provider is not None:
            QgsApplication.processingRegistry().removeProvider(self.provider)

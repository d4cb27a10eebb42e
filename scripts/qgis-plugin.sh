#!/usr/bin/env bash
# qgis-plugin.sh: the QGIS plugin as a zip that QGIS's Plugins > Manage and
# Install Plugins > Install from ZIP takes: build/tolmar-qgis.zip, holding
# the folder tolmar/ of qgis/.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build
python3 - <<'PY'
import os, zipfile
with zipfile.ZipFile("build/tolmar-qgis.zip", "w", zipfile.ZIP_DEFLATED) as z:
    for name in sorted(os.listdir("qgis/tolmar")):
        if name.endswith((".py", ".txt")):
            z.write(os.path.join("qgis/tolmar", name), "tolmar/" + name)
PY
echo "build/tolmar-qgis.zip"

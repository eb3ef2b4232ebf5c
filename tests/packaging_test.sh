#!/bin/sh
# The installable pieces check out: the menu entry validates, the user unit verifies with
# systemd's own checker (its binary where the build put it), the manual pages were built.
# Usage: packaging_test.sh SOURCE_DIR BUILD_DIR SERVER_BINARY
set -eu
src=$1 build=$2 server=$3
desktop-file-validate "$src/packaging/local.vantor.quillon.panel.desktop"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
sed "s|^ExecStart=.*|ExecStart=$server|" "$build/packaging/quillon-server.service" >"$scratch/quillon-server.service"
mkdir -m 700 "$scratch/runtime"
XDG_RUNTIME_DIR="$scratch/runtime" systemd-analyze --user --man=no verify "$scratch/quillon-server.service"
for page in quillon-server quillon-settings quillon-panel; do
    test -s "$build/man/$page.1"
done
echo "packaging checks passed"

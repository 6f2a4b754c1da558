#!/bin/sh
# Installs the Windows package as a user would, into a fresh Wine prefix
# (PREFIX, deleted and made anew): the zip must hold exactly the given files,
# in one folder named like the zip; they go into a host's 64-bit plug-in
# folder, and the test host into a folder of its own, away from the build tree.
#   install_package.sh CMAKE ZIP PREFIX PLUGIN_FOLDER TEST_HOST FILE...
# PLUGIN_FOLDER is relative to drive C: of the prefix.
set -eu
cmake=$1 zip=$2 prefix=$3 plugin_folder=$4 test_host=$5
shift 5

top=$(basename "$zip" .zip)
held=$("$cmake" -E tar tf "$zip" | grep -v '/$' | LC_ALL=C sort)
wanted=$(for file in "$@"; do echo "$top/$file"; done | LC_ALL=C sort)
if [ "$held" != "$wanted" ]; then
  printf '%s holds:\n%s\nbut should hold exactly:\n%s\n' "$zip" "$held" "$wanted"
  exit 1
fi

rm -rf "$prefix"
WINEPREFIX=$prefix
. "$(dirname "$0")/../../scripts/wine-env.sh"
quelmar_wine_init

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
(cd "$unpacked" && "$cmake" -E tar xf "$zip")
plugins=$WINEPREFIX/drive_c/$plugin_folder
mkdir -p "$plugins" "$WINEPREFIX/drive_c/quelmar-tests"
cp "$unpacked/$top"/* "$plugins/"
cp "$test_host" "$WINEPREFIX/drive_c/quelmar-tests/"
echo "installed $(ls "$plugins" | tr '\n' ' ')into C:/$plugin_folder"

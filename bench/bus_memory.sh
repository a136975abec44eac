#!/usr/bin/env bash
# Memory of the notification bus with subscribers that never read.
#   bench/bus_memory.sh [source-tree] [subscribers] [paths-in-burst] [paths-unheard]
# The source tree defaults to this one; give another checkout to compare.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
tree=${1:-$here}
subscribers=${2:-1000}
burst=${3:-20000}
unheard=${4:-100000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "building the driver against $tree (about a minute)"
g++ -std=c++20 -O2 -I"$tree/src" "$here/bench/bus_memory_driver.cpp" \
    "$tree"/src/platform/*.cpp "$tree"/src/ipc/*.cpp \
    $(pkg-config --cflags --libs libplist-2.0 2>/dev/null || pkg-config --cflags --libs libplist) \
    -lpthread -o "$work/driver"
ulimit -n "$(ulimit -Hn)"
"$work/driver" "$work/bus.sock" "$subscribers" "$burst" "$unheard"

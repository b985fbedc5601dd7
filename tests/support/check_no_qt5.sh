#!/usr/bin/env bash
# Qt 5 and Qt 6 in one process crash at start-up; VTK's Qt modules would drag Qt 5 in.
set -u
out=$(ldd "$1") || { echo "ldd failed on $1"; exit 1; }
if echo "$out" | grep -E 'libQt5'; then echo "$1 links Qt 5"; exit 1; fi
echo "$out" | grep -q 'libQt6Widgets' || { echo "$1 does not link Qt 6 Widgets"; exit 1; }
echo "$1: Qt 6 only"

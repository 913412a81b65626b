#!/usr/bin/env bash
# Builds Kestrelvox and starts it. Settings files (userinfo.dat, proxy.inf,
# hosts.dat, servers.dat) are read from and written to the current directory.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
"$src/scripts/install-deps.sh"
cmake -S "$src" -B "$src/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$src/build" -j"$(nproc)" --target kestrelvox
exec "$src/build/kestrelvox" "$@"

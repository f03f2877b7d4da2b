#!/usr/bin/env bash
# Fetches the chart library the explorer page serves (uPlot, pinned in
# python/quendra/static/vendor/uplot/VENDOR.json) from the npm registry,
# checks the tarball's integrity and copies its files in place. Run it to
# refresh the vendored copy; the page itself never loads anything remote.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dest=$here/python/quendra/static/vendor/uplot
version=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["version"])' "$dest/VENDOR.json")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm pack --silent "uplot@$version" >/dev/null)
want=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["integrity"])' "$dest/VENDOR.json")
got="sha512-$(openssl dgst -sha512 -binary "$work/uplot-$version.tgz" | base64 -w0)"
[ "$got" = "$want" ] || { echo "integrity mismatch: $got" >&2; exit 1; }
tar xzf "$work/uplot-$version.tgz" -C "$work"
cp "$work/package/dist/uPlot.esm.js" "$work/package/dist/uPlot.min.css" "$work/package/LICENSE" "$dest/"
echo "uplot $version in $dest"

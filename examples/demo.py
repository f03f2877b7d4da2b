"""The main job on the example data: load the example manifest and show
what the library answers."""

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))

import quendra  # noqa: E402


def main() -> int:
    print(f"libquendra {quendra.version()} ({quendra.find_library()})")
    manifest = (ROOT / "examples" / "manifest.json").read_bytes()
    with quendra.Context() as ctx:
        ctx.load_models(manifest)
        print(f"loaded examples/manifest.json: {len(manifest)} bytes")
        try:
            ctx.load_models(b'{"models": {"orders": {"table": "orders"}, "orders": {}}}')
        except quendra.Error as e:
            print(f"a manifest with a repeated key is refused: {e}")
            print(f"  error document: {ctx.last_error()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

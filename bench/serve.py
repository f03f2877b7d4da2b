"""Requests per second of `python -m quendra serve` for a small query over
the example data: CLIENTS threads, each on one kept-alive connection, post
the query for SECONDS and check every answer. Prints the rate and the
latency quantiles.

    .venv/bin/python bench/serve.py [--clients 8] [--seconds 10] [--workers 4]
"""

from __future__ import annotations

import argparse
import http.client
import json
import os
import socket
import statistics
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "examples" / "data"
QUERY = {"model": "orders", "dimensions": ["customers.region"], "measures": ["revenue", "order_count"],
         "order_by": ["customers.region"]}


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--clients", type=int, default=8)
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--workers", type=int, default=4, help="the server's --workers")
    args = ap.parse_args()
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    server = subprocess.Popen([sys.executable, "-m", "quendra", "serve", "--manifest", str(ROOT / "examples" / "manifest.json"),
                               "--data", str(DATA), "--table", f"sales.returns={DATA / 'returns.parquet'}",
                               "--port", str(port), "--workers", str(args.workers)],
                              env=dict(os.environ, PYTHONPATH=str(ROOT / "python")),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(300):
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/healthz", timeout=1) as r:
                    if json.load(r)["status"] == "ok":
                        break
            except OSError:
                pass
            time.sleep(0.1)
        body = json.dumps(QUERY).encode()
        with urllib.request.urlopen(urllib.request.Request(f"http://127.0.0.1:{port}/v1/query", data=body)) as r:
            want = r.read()
        latencies: list[float] = []
        errors = [0]
        lock = threading.Lock()
        stop = time.monotonic() + args.seconds

        def client() -> None:
            conn = http.client.HTTPConnection("127.0.0.1", port)
            mine = []
            while time.monotonic() < stop:
                t = time.perf_counter()
                conn.request("POST", "/v1/query", body, {"Content-Type": "application/json"})
                r = conn.getresponse()
                got = r.read()
                mine.append(time.perf_counter() - t)
                if r.status != 200 or got != want:
                    with lock:
                        errors[0] += 1
            with lock:
                latencies.extend(mine)

        threads = [threading.Thread(target=client) for _ in range(args.clients)]
        start = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.monotonic() - start
        q = statistics.quantiles(latencies, n=100)
        print(f"{len(latencies)} requests in {elapsed:.1f} s from {args.clients} clients: "
              f"{len(latencies) / elapsed:.0f} requests/s; latency p50 {q[49] * 1000:.1f} ms, "
              f"p99 {q[98] * 1000:.1f} ms; {errors[0]} wrong answers")
        return 1 if errors[0] else 0
    finally:
        server.terminate()
        server.wait()


if __name__ == "__main__":
    sys.exit(main())

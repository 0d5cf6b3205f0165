"""A 200,000-document /export over loopback, velkora.http against the JSON routes.

A loopback Solr node (tests/solr_node.py, in this process) serves the same /export as javabin and as the JSON
Solr writes for it (dates as ISO-8601 text), in 64 KiB chunks with chunked transfer encoding, once plain and
once gzip-encoded (compressed ahead, as Solr's Jetty would on the fly). Each route runs in a fresh interpreter
of its own, so that its peak memory is its own: the time is the best of three runs, the peak the growth of
resident memory over the first run (VmHWM after a reset, less the resident size at the start). Routes, each
to the same documents:
  - read_polars:           velkora.http.read_polars(requests session, url, params, schema)
  - read_polars httpx:     the same through an httpx.Client
  - aread_polars httpx:    velkora.http.aread_polars through an httpx.AsyncClient
  - aread_polars aiohttp:  the same through an aiohttp.ClientSession (when aiohttp is installed)
  - orjson + polars:       requests, orjson.loads(resp.content), polars.DataFrame(docs)
  - iter_documents:        every document of velkora.http.iter_documents(session, url, params)
  - requests + json:       every document of resp.json()["response"]["docs"]
Targets: read_polars at least 5 times faster than orjson + polars, with at most a fifth of its peak memory;
gzip-encoded within 1.5 times the plain time; async within 1.1 times the sync time through the same library.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import gzip
import importlib.util
import json
import subprocess
import sys
import time
from datetime import datetime, timedelta, timezone
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

DOCUMENTS = 200_000
PATH = "/solr/products/export"
PARAMS = {"q": "*:*", "sort": "id asc", "fl": "id,title,price,popularity,inStock,manufacturedate_dt,cat,weight,views"}
ROUTES = ["read_polars", "read_polars httpx", "aread_polars httpx", "aread_polars aiohttp", "orjson + polars",
          "iter_documents", "requests + json"]
REPEAT = 3


def schema():
    import pyarrow as pa

    return pa.schema([("id", pa.utf8()), ("title", pa.utf8()), ("price", pa.float32()), ("popularity", pa.int32()),
                      ("inStock", pa.bool_()), ("manufacturedate_dt", pa.timestamp("ms")),
                      ("cat", pa.list_(pa.utf8())), ("weight", pa.float64()), ("views", pa.int64())])


# ---------------------------------------------------------------------------
# One route, in a child process

def _status(field: str) -> int:
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def _route(name: str, url: str):
    import orjson
    import polars as pl
    import requests

    import velkora.http as vh

    session = requests.Session()
    json_params = {**PARAMS, "wt": "json"}
    arrow_schema = schema()

    def read_polars():
        return vh.read_polars(session, url, PARAMS, arrow_schema).height

    def orjson_polars():
        docs = orjson.loads(session.get(url, params=json_params).content)["response"]["docs"]
        return pl.DataFrame(docs).height

    def iter_documents():
        return sum(1 for _ in vh.iter_documents(session, url, PARAMS))

    def requests_json():
        return sum(1 for _ in session.get(url, params=json_params).json()["response"]["docs"])

    def read_polars_httpx():
        import httpx

        with httpx.Client(timeout=300) as client:
            return vh.read_polars(client, url, PARAMS, arrow_schema).height

    def aread_polars(make):
        async def read():
            async with make() as client:
                return (await vh.aread_polars(client, url, PARAMS, arrow_schema)).height
        return lambda: asyncio.run(read())

    def httpx_async():
        import httpx

        return httpx.AsyncClient(timeout=300)

    def aiohttp_session():
        import aiohttp

        return aiohttp.ClientSession()

    return {"read_polars": read_polars, "read_polars httpx": read_polars_httpx,
            "aread_polars httpx": aread_polars(httpx_async), "aread_polars aiohttp": aread_polars(aiohttp_session),
            "orjson + polars": orjson_polars, "iter_documents": iter_documents, "requests + json": requests_json}[name]


def run_route(name: str, url: str) -> dict:
    run = _route(name, url)
    times, peak = [], None
    for _ in range(REPEAT):
        gc.collect()
        with open("/proc/self/clear_refs", "w") as f:  # resets VmHWM to the current resident size
            f.write("5")
        start_rss = _status("VmRSS")
        t0 = time.perf_counter()
        rows = run()
        times.append(time.perf_counter() - t0)
        if peak is None:
            peak = _status("VmHWM") - start_rss
        assert rows == DOCUMENTS, rows
    return {"time": min(times), "peak": peak}


# ---------------------------------------------------------------------------
# The bodies and the server, in this process

def bodies() -> tuple[bytes, bytes]:
    """The /export as javabin, and as the JSON Solr writes for it."""
    import orjson

    import velkora
    from bodies import export_response

    javabin = export_response(DOCUMENTS)
    epoch = datetime(1970, 1, 1, tzinfo=timezone.utc)
    docs = velkora.deserialize(javabin)["response"]["docs"]
    for doc in docs:
        ms = doc["manufacturedate_dt"]
        text = (epoch + timedelta(milliseconds=ms)).strftime("%Y-%m-%dT%H:%M:%S")
        doc["manufacturedate_dt"] = f"{text}.{ms % 1000:03d}Z" if ms % 1000 else f"{text}Z"
    text = orjson.dumps({"responseHeader": {"status": 0}, "response": {"numFound": DOCUMENTS, "docs": docs}})
    return javabin, text


def gzipped(javabin: bytes, text: bytes):
    """The answers of `solr_node.bodies`, compressed once ahead (Jetty's default level, 6)."""
    from solr_node import JAVABIN, JSON, Answer, wt

    packed = {"javabin": Answer(gzip.compress(javabin, 6), 200, JAVABIN, "gzip"),
              "json": Answer(gzip.compress(text, 6), 200, JSON, "gzip")}
    return lambda params: packed["javabin" if wt(params) == "javabin" else "json"]


def main() -> None:
    from solr_node import SolrNode, bodies as by_wt

    javabin, text = bodies()
    node = SolrNode()
    routes = [r for r in ROUTES if "aiohttp" not in r or importlib.util.find_spec("aiohttp")]
    try:
        urls = {"plain": node.serve(PATH, by_wt(javabin, text), chunk_size=1 << 16),
                "gzip": node.serve(PATH + "-gzip", gzipped(javabin, text), chunk_size=1 << 16)}
        print(f"/export of {DOCUMENTS:,} documents over loopback: javabin {len(javabin) / 1e6:.1f} MB, "
              f"JSON {len(text) / 1e6:.1f} MB; best of {REPEAT}, peak = resident growth in the first run")
        results = {}
        for name in routes:
            for encoding, url in urls.items():
                out = subprocess.run([sys.executable, __file__, "--route", name, "--url", url],
                                     capture_output=True, text=True, check=True).stdout
                results[name, encoding] = r = json.loads(out.strip().splitlines()[-1])
                print(f"  {name:<22} {encoding:<5} {r['time'] * 1000:8.0f} ms   peak {r['peak'] / 2**20:8.1f} MiB")
    finally:
        node.close()
    for encoding in ("plain", "gzip"):
        for ours, theirs, targets in [("read_polars", "orjson + polars", True),
                                      ("iter_documents", "requests + json", False)]:
            speed = results[theirs, encoding]["time"] / results[ours, encoding]["time"]
            memory = results[ours, encoding]["peak"] / results[theirs, encoding]["peak"]
            verdict = f"   (targets: >= 5x faster, <= 0.20 of the memory: " \
                      f"{'met' if speed >= 5 and memory <= 0.2 else 'NOT met'})" if targets else ""
            print(f"{encoding}: {ours} against {theirs}: {speed:.1f}x faster, {memory:.2f} of its peak "
                  f"memory{verdict}")
    for name in routes:
        ratio = results[name, "gzip"]["time"] / results[name, "plain"]["time"]
        print(f"gzip against plain, {name}: {ratio:.2f}x the time"
              + (f"   (target <= 1.5x: {'met' if ratio <= 1.5 else 'NOT met'})" if "json" not in name else ""))
    for sync, async_ in [("read_polars httpx", "aread_polars httpx"), ("read_polars", "aread_polars aiohttp")]:
        if async_ not in routes:
            continue
        for encoding in ("plain", "gzip"):
            ratio = results[async_, encoding]["time"] / results[sync, encoding]["time"]
            print(f"{encoding}: {async_} against {sync}: {ratio:.2f}x the time   "
                  f"(target <= 1.1x: {'met' if ratio <= 1.1 else 'NOT met'})")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--route")
    parser.add_argument("--url")
    args = parser.parse_args()
    if args.route:
        print(json.dumps(run_route(args.route, args.url)))
    else:
        main()

"""A 600,000-document collection on a loopback SolrCloud, read into Dask.

Three loopback Solr nodes (tests/solr_node.py, in this process) hold a collection of three shards of 200,000
documents, each shard on two of the nodes (leader and one more replica), and answer CLUSTERSTATUS. Each core's
/export is served from bodies made ahead, one per shard and one per shard split (partitioned by the hash of the
unique key as Solr does), in 64 KiB chunks. Routes, each to the same 600,000 documents:
  - read_collection x1:  velkora.dask.read_collection(..., splits_per_shard=1).compute(): 3 partitions
  - read_collection x3:  the same with splits_per_shard=3: 9 partitions over both replicas of each shard
  - read_polars:         one velkora.http.read_polars of the whole collection's /export, run on one worker
The Dask cluster is a LocalCluster of three worker processes, one thread each. After one run that is not
counted (imports, first allocations), time is the best of three runs (wall clock on the client, the frame
gathered there); the peak per worker is the growth of its resident memory over a run (VmHWM after a reset,
less the resident size at the start), the largest over the workers, the least over the runs.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import javabin as jb  # noqa: E402
from solr_node import Answer, SolrNode, cluster_status, java_hash, node_name, replica_state  # noqa: E402

SHARDS, PER_SHARD, SPLITS = 3, 200_000, 3
PARAMS = {"q": "*:*", "sort": "id asc", "fl": "id,n,price,popularity,cat"}
REPEAT = 3
CATEGORIES = ["electronics", "accessories", "audio", "kitchen", "sale", "outdoor"]


def schema():
    import pyarrow as pa

    return pa.schema([("id", pa.utf8()), ("n", pa.int64()), ("price", pa.float32()), ("popularity", pa.int32()),
                      ("cat", pa.utf8())])


def document(i: int) -> jb.Wire:
    return jb.MapEntryIter([("id", f"doc-{i:07d}"), ("n", jb.solr_long(i)), ("price", jb.Float(i % 3000 / 4)),
                            ("popularity", jb.solr_int(i % 10)), ("cat", CATEGORIES[i % 6])])


class Documents(jb.Wire):
    """The docs iterator of an /export: the first document written as a value (defining the field names as
    extern strings), then the others' bytes made ahead against that same extern table."""

    def __init__(self, first: int, rest: bytes) -> None:
        self.first, self.rest = first, rest

    def write_to(self, w: jb.Writer) -> None:
        w.out.append(jb.ITERATOR)
        w.write(document(self.first))
        w.out += self.rest
        w.out.append(jb.END)


def envelope(num_found: int, docs: jb.Wire) -> bytes:
    return jb.encode(jb.MapEntryIter([("responseHeader", jb.Map([("status", jb.Int(0))])),
                                      ("response", jb.MapEntryIter([("numFound", jb.solr_long(num_found)),
                                                                    ("docs", docs)]))]))


def encoded_documents(n: int) -> list[bytes]:
    """Each document's bytes as they follow the first one of a body (every body has the same extern table)."""
    template = jb.Writer()
    template.write(jb.MapEntryIter([("responseHeader", jb.Map([("status", jb.Int(0))])),
                                    ("response", jb.MapEntryIter([("numFound", jb.solr_long(0)),
                                                                  ("docs", Documents(0, b""))]))]))
    out = []
    for i in range(n):
        w = jb.Writer()
        w.out, w.externs = bytearray(), dict(template.externs)
        w.write(document(i))
        out.append(bytes(w.out))
    return out


def body(indices: list[int], encoded: list[bytes], num_found: int) -> bytes:
    return envelope(num_found, Documents(indices[0], b"".join(encoded[i] for i in indices[1:])))


def worker_of(i: int, workers: int) -> int:
    return (java_hash(f"doc-{i:07d}") & 0x7FFFFFFF) % workers


# ---------------------------------------------------------------------------
# What runs on a worker

def _status(field: str) -> int:
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def reset_peak() -> int:
    """Reset this process's VmHWM; its resident size now."""
    import gc

    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return _status("VmRSS:")


def peak() -> int:
    return _status("VmHWM:")


def read_whole(url: str):
    import requests

    import velkora.http as vh

    return vh.read_polars(requests.Session(), url, PARAMS, schema())


# ---------------------------------------------------------------------------

def main() -> None:
    from distributed import Client, LocalCluster

    import velkora.dask as vd

    t0 = time.perf_counter()
    encoded = encoded_documents(SHARDS * PER_SHARD)
    nodes = [SolrNode() for _ in range(SHARDS)]
    shards, live = {}, [node_name(n) for n in nodes]
    for s in range(SHARDS):
        indices = list(range(s * PER_SHARD, (s + 1) * PER_SHARD))
        bodies = {(1, 0): body(indices, encoded, PER_SHARD)}
        for w in range(SPLITS):
            bodies[(SPLITS, w)] = body([i for i in indices if worker_of(i, SPLITS) == w], encoded, PER_SHARD)

        def export(params, bodies=bodies):
            key = (int(params.get("numWorkers", ["1"])[-1]), int(params.get("workerId", ["0"])[-1]))
            return Answer(bodies[key])

        replicas = {}
        for r, node in enumerate([nodes[s], nodes[(s + 1) % SHARDS]]):
            core = f"products_shard{s + 1}_replica_n{r + 1}"
            node.serve(f"/solr/{core}/export", export, chunk_size=1 << 16)
            replicas[f"core_node{2 * s + r + 1}"] = replica_state(node, core, leader=r == 0)
        shards[f"shard{s + 1}"] = {"state": "active", "replicas": replicas}
    for node in nodes:
        node.serve("/solr/admin/collections", cluster_status({"products": {"shards": shards}}, live))
    whole = nodes[0].serve("/solr/products/export",
                           body(list(range(SHARDS * PER_SHARD)), encoded, SHARDS * PER_SHARD), chunk_size=1 << 16)
    del encoded
    print(f"{SHARDS * PER_SHARD:,} documents in {SHARDS} shards x 2 replicas, bodies made in "
          f"{time.perf_counter() - t0:.1f} s")

    with LocalCluster(n_workers=3, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        workers = sorted(client.scheduler_info()["workers"])

        def measure(run) -> tuple[float, int, int]:
            run()  # imports and first allocations on the workers, not counted
            best, growth, rows = float("inf"), float("inf"), 0
            for _ in range(REPEAT):
                start = client.run(reset_peak)
                t = time.perf_counter()
                rows = run()
                best = min(best, time.perf_counter() - t)
                peaks = client.run(peak)
                growth = min(growth, max(peaks[w] - start[w] for w in workers))
            return best, int(growth), rows

        routes = {
            "read_collection x1": lambda: len(vd.read_collection(nodes[0].base + "/solr", "products", PARAMS,
                                                                 schema(), splits_per_shard=1).compute()),
            "read_collection x3": lambda: len(vd.read_collection(nodes[0].base + "/solr", "products", PARAMS,
                                                                 schema(), splits_per_shard=SPLITS,
                                                                 partition_keys="id").compute()),
            "read_polars": lambda: client.submit(read_whole, whole, pure=False, workers=workers[:1]).result().height,
        }
        print(f"{'route':<22}{'best s':>9}{'rows/s':>14}{'peak/worker MB':>17}")
        for name, run in routes.items():
            seconds, growth, rows = measure(run)
            assert rows == SHARDS * PER_SHARD, (name, rows)
            print(f"{name:<22}{seconds:>9.2f}{rows / seconds:>14,.0f}{growth / 1e6:>17.1f}")
    for node in nodes:
        node.close()


if __name__ == "__main__":
    main()

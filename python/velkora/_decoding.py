"""The decoding side of the HTTP routes, on a thread of its own.

A chunk-fed decoder belongs to the thread that made it. Each route therefore gives its decoder a thread of its
own (`DecoderThread`) and hands it the body chunk by chunk, a few chunks ahead: the route itself may then be
advanced from any thread or from an event loop, and reading and inflating the next chunk overlaps decoding
this one. Around the decoder, `AnswerCheck` turns what Solr reports inside a 2xx body into errors: the response
header's status, ``EXCEPTION`` tuples, fewer documents than announced, ``partialResults``, and a value that
never ends. The EOF tuple of /stream ends the documents and is never one of them.
"""

from __future__ import annotations

import collections
from concurrent.futures import Future, ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, Literal, NamedTuple

from . import _core
from ._envelope import Envelope, NeedMore, Unreadable, read_envelope
from ._http_errors import IncompleteResponse, SolrError
from ._transport import Inflater, require_javabin

if TYPE_CHECKING:
    import pyarrow

MAX_VALUE_BYTES = 256 << 20  # default bound on one document or envelope value
ENVELOPE_LIMIT = 1 << 20  # bytes of the envelope looked at before the documents; Solr's are a few hundred
IN_FLIGHT = 3  # chunks handed to the decoder thread and not yet decoded
PROGRESS_ROWS = 8192  # the Arrow decoder cuts batches this small, so that progress shows before a value runs long
TUPLE_COLUMNS = ("EXCEPTION", "EOF")  # read along in the Arrow routes of /export and /stream, never returned


class Outcome(NamedTuple):
    """What one step of the decoder gave: the items, then the error that stopped it, if any."""
    items: list[Any]
    error: BaseException | None = None


class AnswerCheck:
    """The checks on one answer, fed its bytes and its documents as they are decoded."""

    def __init__(self, url: str, content_type: str, status: int, pairs: list[tuple[str, str]], *,
                 max_value_bytes: int, allow_partial: bool, received_before: int = 0) -> None:
        if max_value_bytes < 1:
            raise ValueError(f"max_value_bytes must be at least 1, not {max_value_bytes}")
        self.url, self.content_type, self.status = url, content_type, status
        self.limit, self.allow_partial = max_value_bytes, allow_partial
        names = {name for name, _ in pairs}
        rows = next((value for name, value in pairs if name == "rows"), None)
        self.rows = int(rows) if rows is not None and rows.isdigit() else None
        self.counted = not names & {"numWorkers", "expr"}  # a partition or a streaming expression: no total
        self.received_before = received_before  # documents of the same result on earlier pages
        self.envelope: Envelope | None = None
        self.received = 0
        self.counting = True  # False where rows are not documents (children exploded without a depth column)
        self.pending_bytes = 0  # bytes since the decoder last gave something
        self.started = False
        self.ended = False  # the EOF tuple arrived

    # -- bytes and envelope

    def took(self, chunk: bytes) -> None:
        if not self.started and chunk:
            self.started = True
            require_javabin(chunk, self.content_type, self.url)
        self.pending_bytes += len(chunk)
        if self.pending_bytes > self.limit:
            raise ValueError(f"a value in the answer from {self.url} goes on past max_value_bytes "
                             f"({self.limit} bytes) without ending; pass a larger max_value_bytes if it is genuine")

    def progressed(self) -> None:
        self.pending_bytes = 0

    def look(self, head: bytes | bytearray, at_end: bool) -> bool:
        """Whether the envelope is known (or will never be) from the first bytes `head`."""
        try:
            self.envelope = read_envelope(head)
        except NeedMore:
            return at_end or len(head) > ENVELOPE_LIMIT
        except Unreadable:
            pass
        return True

    @property
    def tuples(self) -> bool:
        """Whether documents may be protocol tuples: those of /export and /stream."""
        return self.envelope is not None and self.envelope.shape in ("export", "stream")

    @property
    def failure_tuples(self) -> bool:
        """Whether the Arrow routes read the tuple columns along: on /stream, which ends in the EOF tuple, and on
        an /export whose header already failed or that runs an expression. A plain /export reports its request
        errors with a failing status before its documents and then ends early without a marker."""
        envelope = self.envelope
        return envelope is not None and (envelope.shape == "stream" or envelope.shape == "export" and (
            envelope.status != 0 or not self.counted))

    # -- what the answer reported

    def in_band(self, text: object) -> SolrError:
        code = self.envelope.status if self.envelope is not None and self.envelope.status else None
        return SolrError(str(text), code=code, status=self.status, url=self.url)

    def expected(self) -> int | None:
        envelope = self.envelope
        if envelope is None or envelope.num_found is None or not self.counting:
            return None
        if envelope.shape == "select":
            if self.rows is None:
                return None  # the handler's default page size is not known here
            return max(0, min(self.rows, envelope.num_found - (envelope.start or 0) - self.received_before))
        return envelope.num_found if envelope.shape == "export" and self.counted else None

    def end(self) -> None:
        """At the end of the body: the header's failure status, a short answer, partial results."""
        envelope = self.envelope
        if envelope is None:
            return
        if envelope.status:
            raise SolrError(f"the response header reports status {envelope.status}", code=envelope.status,
                            status=self.status, url=self.url)
        expected = self.expected()
        if expected is not None and self.received < expected:
            raise IncompleteResponse(f"the answer from {self.url} ended after {self.received} of the {expected} "
                                     "documents it announced", expected=expected, received=self.received,
                                     url=self.url)
        if envelope.partial and not self.allow_partial:
            raise IncompleteResponse(f"the answer from {self.url} has partialResults: documents may be missing "
                                     "(pass allow_partial=True to take them anyway)", expected=expected,
                                     received=self.received, url=self.url)


class _Decoding:
    """One answer's decoder and checks, used only on the decoder thread. The decoder is made once the
    envelope is known (so that its shape decides what is read along) and dropped by `release`."""

    def __init__(self, check: AnswerCheck) -> None:
        self.check = check
        self.head: bytearray | None = bytearray()
        self.decoder: Any = None
        self.inflater: Inflater | None = None  # set when the chunks are the compressed body

    def feed(self, chunk: bytes) -> Outcome:
        if self.inflater is None:
            return self.feed_inflated(chunk)
        items: list[Any] = []
        try:
            for piece in self.inflater.pieces(chunk):
                outcome = self.feed_inflated(piece)
                items += outcome.items
                if outcome.error is not None:
                    return Outcome(items, outcome.error)
        except Exception as e:
            return Outcome(items, e)
        return Outcome(items)

    def feed_inflated(self, chunk: bytes) -> Outcome:
        try:
            self.check.took(chunk)
            if self.head is not None:
                self.head += chunk
                if not self.check.look(self.head, at_end=False):
                    return Outcome([])
                chunk, self.head = bytes(self.head), None
                self.decoder = self.make()
            return self.step(chunk)
        except Exception as e:
            return Outcome([], e)

    def finish(self) -> Outcome:
        if self.inflater is not None:
            try:
                rest = self.inflater.rest()
            except Exception as e:
                return Outcome([], e)
            self.inflater = None
            if rest:
                outcome = self.feed_inflated(rest)
                if outcome.error is not None:
                    return outcome
                last = self.finish()
                return Outcome(outcome.items + last.items, last.error)
        try:
            outcome = Outcome([])
            if self.head is not None:
                self.check.look(self.head, at_end=True)
                chunk, self.head = bytes(self.head), None
                self.decoder = self.make()
                outcome = self.step(chunk)
                if outcome.error is not None:
                    return outcome
            last = self.last()
            return Outcome(outcome.items + last.items, last.error)
        except Exception as e:
            return Outcome([], e)

    def release(self) -> None:
        self.decoder = None  # dropped on the thread that made it

    def make(self) -> Any:
        raise NotImplementedError

    def step(self, chunk: bytes) -> Outcome:
        raise NotImplementedError

    def last(self) -> Outcome:
        raise NotImplementedError


class DocumentDecoding(_Decoding):
    """Documents as `StreamDecoder` makes them."""

    def make(self) -> Any:
        return _core.StreamDecoder()

    def step(self, chunk: bytes) -> Outcome:
        documents: list[Any] = []
        try:
            self.decoder.feed(chunk, documents.append)
        except Exception as e:
            return self.screen(documents, e)
        return self.screen(documents, None)

    def screen(self, documents: list[Any], error: BaseException | None) -> Outcome:
        if documents:
            self.check.progressed()
        if self.check.ended:
            return Outcome([], error)
        if self.check.tuples:
            for i, document in enumerate(documents):
                if isinstance(document, dict):
                    if "EXCEPTION" in document:
                        self.check.received += i
                        return Outcome(documents[:i], self.check.in_band(document["EXCEPTION"]))
                    if document.get("EOF") is True:
                        self.check.ended = True
                        del documents[i:]
                        break
        self.check.received += len(documents)
        return Outcome(documents, error)

    def last(self) -> Outcome:
        self.decoder.finish()
        self.check.end()
        return Outcome([])


class ArrowDecoding(_Decoding):
    """Record batches of `batch_size` rows (in explode mode, of whole documents: at least that many)."""

    def __init__(self, check: AnswerCheck, schema: Any, batch_size: int,
                 children: Literal["skip", "explode"]) -> None:
        super().__init__(check)
        self.schema, self.batch_size, self.children = schema, max(batch_size, 1), children
        self.extra: list[str] = []
        self.parts: list[pyarrow.RecordBatch] = []
        self.rows = 0
        self.out_schema: pyarrow.Schema | None = None

    def make(self) -> Any:
        import pyarrow as pa

        schema = self.schema if isinstance(self.schema, pa.Schema) else pa.schema(self.schema)
        if self.check.failure_tuples:
            self.extra = [name for name in TUPLE_COLUMNS if name not in schema.names]
            for name in self.extra:
                schema = schema.append(pa.field(name, pa.utf8() if name == "EXCEPTION" else pa.bool_()))
        self.check.counting = self.children == "skip" or "_depth" in schema.names
        decoder = _core.ArrowStreamDecoder(schema, min(self.batch_size, PROGRESS_ROWS), children=self.children)
        full = decoder.schema()
        self.out_schema = pa.schema(list(full)[:len(full) - len(self.extra)], metadata=full.metadata)
        return decoder

    def step(self, chunk: bytes) -> Outcome:
        try:
            batches = self.decoder.feed(chunk)
        except Exception as e:
            return Outcome([], e)
        return self.screen(batches, False)

    def screen(self, batches: list[pyarrow.RecordBatch], at_end: bool) -> Outcome:
        if batches:
            self.check.progressed()
        for batch in batches:
            if self.check.ended:
                break
            error = None
            read_along = [name for name in TUPLE_COLUMNS if self.check.failure_tuples and name in batch.schema.names]
            if read_along:
                import pyarrow.compute as pc  # only here: its first import costs tens of megabytes
            if "EXCEPTION" in read_along:
                failed = batch.column("EXCEPTION").is_valid()
                if pc.any(failed).as_py():
                    at = pc.index(failed, True).as_py()
                    error = self.check.in_band(batch.column("EXCEPTION")[at].as_py())
                    batch = batch.slice(0, at)
            if "EOF" in read_along:
                eof = pc.fill_null(batch.column("EOF"), False)
                if pc.any(eof).as_py():
                    self.check.ended = True
                    batch = batch.slice(0, pc.index(eof, True).as_py())
            self.keep(batch)
            if error is not None:
                return Outcome(self.cut(everything=True), error)
        return Outcome(self.cut(everything=at_end))

    def keep(self, batch: pyarrow.RecordBatch) -> None:
        import pyarrow as pa

        if self.extra:
            batch = pa.RecordBatch.from_arrays(batch.columns[:len(batch.columns) - len(self.extra)],
                                               schema=self.out_schema)
        if self.children == "skip":
            self.check.received += batch.num_rows
        elif "_depth" in batch.schema.names:
            self.check.received += sum(1 for depth in batch.column("_depth").to_pylist() if depth == 0)
        if batch.num_rows:
            self.parts.append(batch)
            self.rows += batch.num_rows

    def cut(self, everything: bool) -> list[pyarrow.RecordBatch]:
        """The batches of `batch_size` rows the kept parts make (with `everything`, also the rest)."""
        import pyarrow as pa

        out: list[pyarrow.RecordBatch] = []
        while self.parts and (self.rows >= self.batch_size or everything):
            if self.children == "skip":
                table = pa.Table.from_batches(self.parts, schema=self.out_schema)
                head, rest = table.slice(0, self.batch_size), table.slice(self.batch_size)
                out.append(_one_batch(head, self.out_schema))
                self.parts = rest.to_batches() if rest.num_rows else []
                self.rows = rest.num_rows
            else:  # a document's rows stay together: whole parts until the size is reached
                taken, rows = 0, 0
                while taken < len(self.parts) and rows < self.batch_size:
                    rows += self.parts[taken].num_rows
                    taken += 1
                out.append(_one_batch(pa.Table.from_batches(self.parts[:taken], schema=self.out_schema),
                                      self.out_schema))
                self.parts, self.rows = self.parts[taken:], self.rows - rows
        return out

    def last(self) -> Outcome:
        outcome = self.screen(self.decoder.finish(), True)
        if outcome.error is None:
            self.check.end()
        return outcome


def _one_batch(table: pyarrow.Table, schema: pyarrow.Schema) -> pyarrow.RecordBatch:
    import pyarrow as pa

    batches = table.to_batches()
    if len(batches) != 1:  # a single chunk is taken as it is, without a copy; a copy is made with malloc, whose
        # large blocks go back to the system when the parts are freed (a pool would keep them)
        batches = table.combine_chunks(memory_pool=pa.system_memory_pool()).to_batches()
    return batches[0] if len(batches) == 1 else pa.RecordBatch.from_pylist([], schema=schema)


class DecoderThread:
    """A decoding run on a thread of its own, fed chunks a few ahead; every step's `Outcome` is a future."""

    def __init__(self, decoding: _Decoding) -> None:
        self._decoding = decoding
        self._pool = ThreadPoolExecutor(1, thread_name_prefix="velkora-decoder")
        self._pending: collections.deque[Future[Outcome]] = collections.deque()

    def feed(self, chunk: bytes) -> None:
        if chunk:
            self._pending.append(self._pool.submit(self._decoding.feed, chunk))

    def end(self) -> None:
        self._pending.append(self._pool.submit(self._decoding.finish))

    def due(self) -> Future[Outcome] | None:
        """The oldest step when it is done or when too many are ahead (the caller then waits for it)."""
        if self._pending and (self._pending[0].done() or len(self._pending) > IN_FLIGHT):
            return self._pending.popleft()
        return None

    def next(self) -> Future[Outcome] | None:
        return self._pending.popleft() if self._pending else None

    def close(self) -> None:
        for step in self._pending:
            step.cancel()
        self._pending.clear()
        self._pool.submit(self._decoding.release)
        self._pool.shutdown(wait=False)

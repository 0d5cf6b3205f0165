"""Module surface, stubs and argument binding of velkora._core."""

import ast
import inspect
from pathlib import Path

import pytest

import velkora
from velkora import _core

NAMES = ["deserialize", "deserialize_stream", "_deserialize_safe", "deserialize_json", "_bench_parse_only",
         "deserialize_arrow", "StreamDecoder", "ArrowStreamDecoder"]
# Names the stub declares that stay out of __all__.
PRIVATE = {"PanicException", "DecodeError", "_survey", "_deserialize_solr_json"}
BODY = b"\x02\xc1\x21\x61\x41"  # {"a": 1}
ENTRIES = [("deserialize", {}), ("deserialize_json", {}), ("_bench_parse_only", {}), ("_deserialize_safe", {}),
           ("deserialize_stream", {"callback": print}), ("_deserialize_solr_json", {"json_nl": "map"})]


def test_all_and_reexports():
    assert _core.__all__ == NAMES
    for name in NAMES:
        assert getattr(velkora, name) is getattr(_core, name)
    assert velkora.__all__ == ["deserialize", "deserialize_stream", "deserialize_json", "deserialize_arrow",
                               "StreamDecoder", "ArrowStreamDecoder", "PanicException", "DecodeError",
                               "loads_solr_json"]
    star: dict = {}
    exec("from velkora import *", star)
    assert not [name for name in star if name.startswith("_") and name != "__builtins__"]
    assert isinstance(velkora.__version__, str) and velkora.__version__
    assert velkora.PanicException is _core.PanicException
    assert issubclass(velkora.PanicException, BaseException) and not issubclass(velkora.PanicException, Exception)


@pytest.mark.parametrize("name, extra", ENTRIES)
def test_function_signatures(name, extra):
    func = getattr(_core, name)
    assert list(inspect.signature(func).parameters) == ["data", *extra]
    assert func.__name__ == name and func.__module__ == _core.__name__ and func.__doc__.strip()


def test_stream_decoder_type():
    cls = _core.StreamDecoder
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", "StreamDecoder", "StreamDecoder")
    assert list(inspect.signature(cls).parameters) == []
    assert list(inspect.signature(cls.feed).parameters)[1:] == ["chunk", "callback"]
    assert list(inspect.signature(cls.finish).parameters)[1:] == []
    assert cls.count.__doc__ == "Total number of documents streamed so far."


def test_stub_and_marker():
    package = Path(velkora.__file__).parent
    assert (package / "py.typed").is_file()
    stub = package / "_core.pyi"
    if not stub.is_file():
        pytest.skip("no _core.pyi next to the installed package")
    tree = ast.parse(stub.read_text(encoding="utf-8")).body
    defined = {node.name for node in tree if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    assert defined - PRIVATE == set(_core.__all__) and all(hasattr(_core, name) for name in PRIVATE)
    # The stub spells __all__ out, so that type checkers see what `from ._core import *` brings into velkora.
    assert [ast.literal_eval(node.value) for node in tree if isinstance(node, ast.Assign)
            and [getattr(t, "id", None) for t in node.targets] == ["__all__"]] == [_core.__all__]


feed = _core.StreamDecoder().feed
ONE = "{}() missing 1 required positional argument: '{}'"
TOO_MANY = "{}() takes {} positional arguments but {} {} given"
UNEXPECTED = "{}() got an unexpected keyword argument '{}'"
SCHEMA, arrow = object(), _core.deserialize_arrow  # the arguments are bound before any is converted
SINGLE = [getattr(_core, n) for n in ("deserialize", "deserialize_json", "_bench_parse_only", "_deserialize_safe")]


@pytest.mark.parametrize("func, args, kwargs, message", [
    *[(f, (), {}, ONE.format(f.__name__, "data")) for f in SINGLE],
    *[(f, (BODY, 1), {}, TOO_MANY.format(f.__name__, 1, 2, "were")) for f in SINGLE],
    *[(f, (BODY,), {"foo": 1}, UNEXPECTED.format(f.__name__, "foo")) for f in SINGLE],
    *[(f, (BODY,), {"data": BODY}, f"{f.__name__}() got multiple values for argument 'data'") for f in SINGLE],
    (_core.deserialize_stream, (), {}, "deserialize_stream() missing 2 required positional arguments: 'data' and 'callback'"),
    (_core.deserialize_stream, (BODY,), {}, ONE.format("deserialize_stream", "callback")),
    (_core.deserialize_stream, (), {"callback": print}, ONE.format("deserialize_stream", "data")),
    (feed, (), {}, "StreamDecoder.feed() missing 2 required positional arguments: 'chunk' and 'callback'"),
    (feed, (), {"callback": print}, ONE.format("StreamDecoder.feed", "chunk")),
    (_core.deserialize_json, (BODY, 1, 2), {}, TOO_MANY.format("deserialize_json", 1, 3, "were")),
    (_core.deserialize, (BODY, 1), {"foo": 1}, TOO_MANY.format("deserialize", 1, 2, "were")),
    (_core.deserialize_stream, (BODY, print, 1), {}, TOO_MANY.format("deserialize_stream", 2, 3, "were")),
    (_core.StreamDecoder, (1,), {}, TOO_MANY.format("StreamDecoder.__new__", 0, 1, "was")),
    (_core.StreamDecoder, (1, 2), {}, TOO_MANY.format("StreamDecoder.__new__", 0, 2, "were")),
    (feed, (BODY, print, 1), {}, TOO_MANY.format("StreamDecoder.feed", 2, 3, "were")),
    (_core._bench_parse_only, (), {"foo": 1}, UNEXPECTED.format("_bench_parse_only", "foo")),
    (_core.deserialize_json, (), {"Data": BODY}, UNEXPECTED.format("deserialize_json", "Data")),
    (_core.StreamDecoder, (), {"chunk": b""}, UNEXPECTED.format("StreamDecoder.__new__", "chunk")),
    (feed, (BODY, print), {"self": 1}, UNEXPECTED.format("StreamDecoder.feed", "self")),
    (_core.deserialize_stream, (BODY, print), {"callback": print},
     "deserialize_stream() got multiple values for argument 'callback'"),
    (feed, (BODY,), {"chunk": BODY}, "StreamDecoder.feed() got multiple values for argument 'chunk'"),
    (arrow, (BODY, SCHEMA, "explode"), {}, TOO_MANY.format("deserialize_arrow", 2, 3, "were")),
    (arrow, (BODY, SCHEMA, "explode", None), {}, TOO_MANY.format("deserialize_arrow", 2, 4, "were")),
    (arrow, (), {}, "deserialize_arrow() missing 2 required positional arguments: 'data' and 'schema'"),
    (arrow, (BODY,), {}, ONE.format("deserialize_arrow", "schema")),
    (arrow, (), {"schema": SCHEMA, "children": "skip"}, ONE.format("deserialize_arrow", "data")),
    (arrow, (BODY, SCHEMA), {"foo": 1}, UNEXPECTED.format("deserialize_arrow", "foo")),
    (arrow, (BODY, SCHEMA), {"Children": "skip"}, UNEXPECTED.format("deserialize_arrow", "Children")),
    (arrow, (BODY, SCHEMA), {"data": BODY}, "deserialize_arrow() got multiple values for argument 'data'"),
])
def test_binding_errors(func, args, kwargs, message):
    exc = pytest.raises(TypeError, lambda: func(*args, **kwargs))
    assert type(exc.value) is TypeError and str(exc.value) == message


Inner = type("Inner", (), {"__qualname__": "Box.Inner"})  # a nested class, named by its qualified name
Payload = type("Payload", (bytes,), {})


@pytest.mark.parametrize("name, extra", ENTRIES)
@pytest.mark.parametrize("arg, message", [
    (bytearray(BODY), "'bytearray' object is not an instance of 'bytes'"),
    (memoryview(BODY), "'memoryview' object is not an instance of 'bytes'"),
    (None, "'None' is not an instance of 'bytes'"), ("\x02\x00", "'str' object is not an instance of 'bytes'"),
    (2, "'int' object is not an instance of 'bytes'"), (Inner(), "'Box.Inner' object is not an instance of 'bytes'"),
])
def test_data_must_be_bytes(name, extra, arg, message):
    exc = pytest.raises(TypeError, lambda: getattr(_core, name)(arg, *extra.values()))
    assert type(exc.value) is TypeError and str(exc.value) == message
    assert exc.value.__notes__ == ["while processing 'data'"]


@pytest.mark.parametrize("name, extra", ENTRIES)
def test_keyword_and_subclass_equal_positional(name, extra):
    func = getattr(_core, name)
    expected = func(BODY, *extra.values())
    assert expected in ({"a": 1}, '{"a":1}', 3)
    assert func(data=BODY, **extra) == func(Payload(BODY), *extra.values()) == expected
    assert func(**extra, data=Payload(BODY)) == expected


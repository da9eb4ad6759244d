"""The module as Python sees it: attributes, binding, conversion, exceptions."""

import importlib
import operator
import sys

import pytest

from helpers import END, H444, Index, Int
from quorvel import _ast2100

# A 2x2-pixel 8x8-mode frame that ends at once: header, then FRAME_END (code 9).
END_ONLY = H444 + END + bytes(4)
BLACK_2X2 = bytes(12)


def decode(*args, **kwargs):
    return _ast2100.decode_frame(*args, **kwargs)


def test_module_attributes():
    standard = set(vars(type(sys)("probe"))) | {"__file__", "__cached__", "__builtins__", "__path__"}
    own = [k for k in vars(_ast2100) if k not in standard]
    assert own == ["__all__", "decoder_version", "decode_frame"]
    assert _ast2100.__all__ == ["decoder_version", "decode_frame"]
    assert _ast2100.__doc__ == ""
    assert _ast2100.__name__ == "quorvel._ast2100"
    assert _ast2100.decode_frame.__text_signature__ == "(codec_data, width, height)"
    assert _ast2100.decoder_version.__text_signature__ == "()"
    assert _ast2100.decode_frame.__module__ == "quorvel._ast2100"


def test_decoder_version():
    assert _ast2100.decoder_version() == "quorvel._ast2100 1.0.1"
    assert _ast2100.decoder_version() == _ast2100.decoder_version()
    with pytest.raises(TypeError):
        _ast2100.decoder_version(1)


class Key(str):
    """A str subclass naming a parameter is that parameter."""


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((END_ONLY, 2, 2), {}),
        ((), {"codec_data": END_ONLY, "width": 2, "height": 2}),
        ((END_ONLY,), {"height": 2, "width": 2}),
        ((), {Key("codec_data"): END_ONLY, Key("width"): 2, "height": 2}),
    ],
)
def test_binding_by_position_and_keyword(args, kwargs):
    assert decode(*args, **kwargs) == BLACK_2X2


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, 2, 3, 4), {"bogus": 1}, "decode_frame() takes 3 positional arguments but 4 were given"),
        ((1, 2, 3, 4, 5), {}, "decode_frame() takes 3 positional arguments but 5 were given"),
        ((1,), {"bogus": 1, "width": 2}, "decode_frame() got an unexpected keyword argument 'bogus'"),
        ((1, 2), {"width": 2, "bogus": 1}, "decode_frame() got multiple values for argument 'width'"),
        ((1, 2), {"bogus": 1, "width": 2}, "decode_frame() got an unexpected keyword argument 'bogus'"),
        ((1,), {"codec_data": 1}, "decode_frame() got multiple values for argument 'codec_data'"),
        ((1, 2), {"Width": 1}, "decode_frame() got an unexpected keyword argument 'Width'"),
        ((1, 2), {}, "decode_frame() missing 1 required positional argument: 'height'"),
        ((1,), {}, "decode_frame() missing 2 required positional arguments: 'width' and 'height'"),
        ((), {"height": 1}, "decode_frame() missing 2 required positional arguments: 'codec_data' and 'width'"),
        ((), {}, "decode_frame() missing 3 required positional arguments: 'codec_data', 'width', and 'height'"),
        # Binding comes before any conversion.
        (("not bytes",), {}, "decode_frame() missing 2 required positional arguments: 'width' and 'height'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        decode(*args, **kwargs)
    assert str(info.value) == message
    assert info.value.__cause__ is None


class Outer:
    class Inner:
        pass


def interpreter_message(value):
    """The interpreter's own words for an integer it cannot take: the argument's message
    carries them after its name. For an __index__ that returns a str they changed in CPython
    3.15 ("__index__ returned non-int (type str)" before)."""
    with pytest.raises(TypeError) as info:
        operator.index(value)
    return str(info.value)


@pytest.mark.parametrize(
    "args, message, cause",
    [
        (
            (bytearray(END_ONLY), 2, 2),
            "argument 'codec_data': 'bytearray' object cannot be converted to 'PyBytes'",
            "'bytearray' object cannot be converted to 'PyBytes'",
        ),
        (
            (memoryview(END_ONLY), 2, 2),
            "argument 'codec_data': 'memoryview' object cannot be converted to 'PyBytes'",
            None,
        ),
        ((Outer.Inner(), 2, 2), "argument 'codec_data': 'Outer.Inner' object cannot be converted to 'PyBytes'", None),
        (
            (END_ONLY, 8.0, 2),
            "argument 'width': 'float' object cannot be interpreted as an integer",
            "'float' object cannot be interpreted as an integer",
        ),
        ((END_ONLY, 2, "2"), "argument 'height': 'str' object cannot be interpreted as an integer", None),
        ((END_ONLY, Index("x"), 2), f"argument 'width': {interpreter_message(Index('x'))}", None),
        ((END_ONLY, 2, Index(TypeError("nope"))), "argument 'height': nope", "nope"),
        # Conversions run in order codec_data, width, height, all before the frame is looked at.
        ((b"", "w", None), "argument 'width': 'str' object cannot be interpreted as an integer", None),
        ((None, "w", None), "argument 'codec_data': 'NoneType' object cannot be converted to 'PyBytes'", None),
    ],
)
def test_conversion_type_errors(args, message, cause):
    with pytest.raises(TypeError) as info:
        decode(*args)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert type(info.value.__cause__) is TypeError
    if cause is not None:
        assert str(info.value.__cause__) == cause


@pytest.mark.parametrize(
    "width, height, exc",
    [
        (-1, 2, OverflowError),
        (2, -1, OverflowError),
        (2**64, 2, OverflowError),
        (Index(-5), 2, OverflowError),
        (Index(ValueError("bad index")), 2, ValueError),
        (2, Index(KeyError("k")), KeyError),
    ],
)
def test_other_conversion_errors_pass_unprefixed(width, height, exc):
    with pytest.raises(exc) as info:
        decode(END_ONLY, width, height)
    assert type(info.value) is exc
    assert "argument" not in str(info.value)


class Bytes(bytes):
    pass


@pytest.mark.parametrize(
    "codec_data, width, height, size",
    [
        (Bytes(END_ONLY), 2, 2, 12),
        (END_ONLY, True, True, 3),
        (END_ONLY, Int(3), Index(1), 9),
        (END_ONLY, Index(2), False, 0),
        (END_ONLY, 0, 0, 0),
    ],
)
def test_accepted_argument_types(codec_data, width, height, size):
    assert decode(codec_data, width, height) == bytes(size)


def test_codec_data_is_neither_copied_nor_changed():
    data = bytes(END_ONLY)
    before = sys.getrefcount(data)
    decode(data, 4, 4)
    assert data == END_ONLY and sys.getrefcount(data) == before


@pytest.mark.parametrize("width, height", [(2**62, 2**62), (2**63, 1), (3 * 2**61, 1), (2**64 - 1, 2)])
def test_capacity_overflow_is_a_panic(width, height, capfd):
    # The size check precedes the 12-byte check, so four bytes suffice.
    with pytest.raises(BaseException) as info:
        try:
            decode(END_ONLY[:4], width, height)
        except Exception:  # a panic must pass through this
            pytest.fail("PanicException was caught by `except Exception`")
    panic = type(info.value)
    assert panic.__name__ == "PanicException" and panic.__bases__ == (BaseException,)
    assert info.value.args == ("capacity overflow",)
    assert "capacity overflow" in capfd.readouterr().err


def test_reinitialisation_returns_the_same_module():
    del sys.modules["quorvel._ast2100"]
    try:
        again = importlib.import_module("quorvel._ast2100")
    finally:
        sys.modules["quorvel._ast2100"] = _ast2100
    assert again is _ast2100


def test_sub_interpreter_import_fails(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    out = tmp_path / "result"
    code = (
        "try:\n"
        "    import quorvel._ast2100\n"
        "    result = 'imported'\n"
        "except ImportError as e:\n"
        "    result = 'ImportError: ' + str(e)\n"
        f"open({str(out)!r}, 'w').write(result)\n"
    )
    assert testcapi.run_in_subinterp(code) == 0
    assert out.read_text().startswith("ImportError: ") and "sub-interpreters" in out.read_text()
    assert _ast2100.decode_frame(END_ONLY, 2, 2) == BLACK_2X2

"""The event line codec: `serialize` and `deserialize` against the host's json.

The native codec must be indistinguishable from json.loads / json.dumps with
the line's options. Behaviour tests run the same assertions against both the
native functions and a reference built on the host's json module (the `impl`
fixture), so every expectation here is also checked against the host itself.
Differential tests then compare the two on generated and mutated documents.
"""

import decimal
import functools
import json
import math
import random
import struct
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvane import protocol

LINE_OPTIONS = {"sort_keys": True, "separators": (",", ":"), "ensure_ascii": True}


# ------------------------------------------------------------ references


def host_deserialize(line):
    """What deserialize does, written with the host's json.loads."""
    value = json.loads(line)
    if value is not None and type(value) is not dict:
        raise TypeError(f"Expected dict, got {type(value).__name__}")
    return value


def host_serialize(event):
    """What serialize does, written with the host's json.dumps."""
    return json.dumps(event, **LINE_OPTIONS)


IMPLEMENTATIONS = {
    "native": (protocol.deserialize, protocol.serialize),
    "host": (host_deserialize, host_serialize),
}


class Impl:
    def __init__(self, name):
        self.name = name
        self.loads, self.dumps = IMPLEMENTATIONS[name]

    def value(self, text):
        """The JSON value `text`, decoded as the member of an object."""
        return self.loads('{"v":' + text + "}")["v"]


@pytest.fixture(params=sorted(IMPLEMENTATIONS))
def impl(request):
    return Impl(request.param)


def bits(x):
    return struct.pack("<d", x)


def same(a, b):
    """Equal values of identical types, key order and float bits included."""
    if type(a) is not type(b):
        return False
    if type(a) is float:
        return bits(a) == bits(b)
    if type(a) is dict:
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if type(a) is list:
        return len(a) == len(b) and all(map(same, a, b))
    return a == b


def outcome(fn, arg):
    """("ok", result) or ("error", type, message, JSON error position)."""
    try:
        return ("ok", fn(arg))
    except Exception as e:  # noqa: BLE001 - every error is compared
        where = (e.msg, e.doc, e.pos, e.lineno, e.colno) if isinstance(e, json.JSONDecodeError) else None
        return ("error", type(e), str(e), where)


def assert_same_outcome(native, host, arg):
    a, b = outcome(native, arg), outcome(host, arg)
    if a[0] == "ok" and b[0] == "ok":
        assert same(a[1], b[1]), arg
    else:
        assert a == b, arg


def assert_deserialize_matches(text):
    assert_same_outcome(protocol.deserialize, host_deserialize, text)


def assert_serialize_matches(value):
    assert_same_outcome(protocol.serialize, host_serialize, value)


# ----------------------------------------------------------- host probes


class CountingDecoder(json.JSONDecoder):
    calls = 0

    def decode(self, s, *args, **kwargs):
        type(self).calls += 1
        return super().decode(s, *args, **kwargs)


@pytest.fixture
def host_decodes(monkeypatch):
    """Counts the documents that reach the host's decoder (json.loads keeps its identity)."""
    CountingDecoder.calls = 0
    monkeypatch.setattr(json, "_default_decoder", CountingDecoder())
    return lambda: CountingDecoder.calls


@pytest.fixture
def host_encodes(monkeypatch):
    """Counts the values that reach the host's encoder (json.dumps keeps its identity)."""
    calls = []

    class CountingEncoder(json.JSONEncoder):
        def encode(self, o):
            calls.append(o)
            return super().encode(o)

    monkeypatch.setattr(json, "JSONEncoder", CountingEncoder)
    return lambda: len(calls)


@pytest.fixture
def int_digits():
    """Sets the host's integer string digit limit for one test."""
    before = sys.get_int_max_str_digits()
    yield sys.set_int_max_str_digits
    sys.set_int_max_str_digits(before)


# =============================================================== decoding


class TestDecodeTopLevel:
    def test_object_and_null(self, impl):
        """An object decodes to a dict, null to None."""
        assert impl.loads('{"a":1}') == {"a": 1}
        assert impl.loads(" \t\r\n null \n") is None

    @pytest.mark.parametrize(
        "text, name",
        [("[1]", "list"), ("[]", "list"), ("1", "int"), ("-1.5", "float"), ("NaN", "float"),
         ('"x"', "str"), ("true", "bool"), ("false", "bool")],
    )
    def test_other_values_are_type_errors(self, impl, text, name):
        """A value that is neither an object nor null is a TypeError naming its type."""
        with pytest.raises(TypeError) as info:
            impl.loads(text)
        assert str(info.value) == f"Expected dict, got {name}"

    def test_duplicate_keys(self, impl):
        """A repeated key keeps its first position and takes the last value, at every level."""
        v = impl.loads('{"a":1,"b":2,"a":3,"c":{"x":1,"y":2,"x":[]}}')
        assert list(v.items()) == [("a", 3), ("b", 2), ("c", {"x": [], "y": 2})]
        assert list(v["c"]) == ["x", "y"]

    def test_whitespace(self, impl):
        """Space, tab, CR and LF separate tokens anywhere between them."""
        text = ' \r\n\t{ "a" :\t[ 1 ,\n2 ] , "b"\r: { } }\n'
        assert impl.loads(text) == {"a": [1, 2], "b": {}}

    def test_deep_nesting(self, impl):
        """Deep documents decode; hopelessly deep ones raise the host's RecursionError."""
        depth = 900
        v = impl.value("[" * depth + "]" * depth)
        for _ in range(depth - 1):
            (v,) = v
        assert v == []
        with pytest.raises(RecursionError):
            impl.value("[" * 200_000 + "]" * 200_000)


class TestDecodeNumbers:
    @pytest.mark.parametrize(
        "text, value",
        [("0", 0), ("-0", 0), ("7", 7), ("-12", -12), ("123456789012345678", 123456789012345678),
         ("9223372036854775807", 2**63 - 1), ("-9223372036854775808", -(2**63)),
         ("18446744073709551616", 2**64), ("1" + "0" * 100, 10**100), ("-" + "9" * 300, -(10**300 - 1))],
    )
    def test_integers(self, impl, text, value):
        """Integers of any size decode to exact ints."""
        v = impl.value(text)
        assert type(v) is int and v == value

    def test_integer_digit_limit(self, impl, int_digits):
        """Past the host's digit limit an integer raises the host's ValueError; the limit is read per call."""
        assert impl.value("9" * 4300) == 10**4300 - 1
        with pytest.raises(ValueError, match=r"^Exceeds the limit \(4300 digits\) for integer string "
                           r"conversion: value has 4301 digits"):
            impl.value("-" + "9" * 4301)
        int_digits(0)
        assert impl.value("1" + "0" * 5000) == 10**5000
        int_digits(1000)
        with pytest.raises(ValueError, match=r"limit \(1000 digits\)"):
            impl.value("1" * 1001)

    @pytest.mark.parametrize(
        "text, value",
        [("0.0", 0.0), ("-0.0", -0.0), ("-0e3", -0.0), ("0e400", 0.0), ("1.5", 1.5), ("1e5", 1e5),
         ("1E+5", 1e5), ("1e-5", 1e-5), ("2.5E-3", 2.5e-3), ("0.1", 0.1), ("1e22", 1e22), ("1e23", 1e23),
         ("123456789012345.6", 123456789012345.6), ("9007199254740993.0", 9007199254740992.0),
         ("9007199254740995.0", 9007199254740996.0), ("5e-324", 5e-324), ("-5e-324", -5e-324),
         ("2.4703282292062327e-324", 0.0), ("2.4703282292062328e-324", 5e-324),
         ("2.2250738585072011e-308", 2.225073858507201e-308),
         ("1.7976931348623157e308", 1.7976931348623157e308), ("1.7976931348623159e308", math.inf),
         ("1e400", math.inf), ("-1e400", -math.inf), ("1e-400", 0.0), ("-1e-400", -0.0),
         ("1e99999999999999999999", math.inf),
         ("0.1000000000000000055511151231257827021181583404541015625", 0.1),
         ("0." + "0" * 400 + "1e400", 0.1), ("1" * 400 + ".0e-390", float("1" * 400 + "e-390")),
         ("3.0000000000000004440892098500626161694526672363281250000000000000000000001", 3.0000000000000004)],
    )
    def test_floats(self, impl, text, value):
        """Floats round exactly as float() does, bit for bit, overflow to infinity included."""
        v = impl.value(text)
        assert type(v) is float and bits(v) == bits(value)

    def test_constants(self, impl):
        """NaN, Infinity and -Infinity decode to the host decoder's own float objects."""
        host = json.loads('{"v":[NaN,Infinity,-Infinity]}')["v"]
        v = impl.value("[NaN,Infinity,-Infinity]")
        assert [bits(x) for x in v] == [bits(x) for x in host]
        assert all(a is b for a, b in zip(v, host))
        assert impl.loads('{"a":NaN}') == impl.loads('{"a":NaN}')

    def test_number_tokens_end_where_the_grammar_says(self, impl):
        """A number stops before a dot or exponent that has no digits after it."""
        with pytest.raises(json.JSONDecodeError, match="Expecting ',' delimiter"):
            impl.value("1.")
        with pytest.raises(json.JSONDecodeError, match="Expecting ',' delimiter"):
            impl.value("1e+")
        assert impl.loads('{"a":1.5e+2}') == {"a": 150.0}


class TestDecodeStrings:
    @pytest.mark.parametrize(
        "text, value",
        [(r'"plain"', "plain"), (r'""', ""), (r'"\"\\\/\b\f\n\r\t"', "\"\\/\b\f\n\r\t"),
         (r'"\u0041\u00e9\u20AC\uFFFF"', "Aé€\uffff"), (r'"\u0000"', "\x00"),
         (r'"\ud83d\ude00"', "😀"), (r'"\uD83D\uDE00x"', "😀x"), (r'"\udbff\udfff"', "\U0010ffff"),
         (r'"\ud800"', "\ud800"), (r'"\udc00"', "\udc00"), (r'"\ud800x"', "\ud800x"),
         (r'"\ud800\u0041"', "\ud800A"), (r'"\udc00\ud800"', "\udc00\ud800"),
         (r'"\ud800\ud800\udc00"', "\ud800\U00010000"), (r'"\ud800\\u"', "\ud800\\u"),
         ('"é€😀\x7f"', "é€😀\x7f"), ('"a\ud800b"', "a\ud800b")],
    )
    def test_values(self, impl, text, value):
        """Escapes decode, surrogate pairs join, lone surrogates stay as they are."""
        assert impl.value(text) == value

    def test_keys(self, impl):
        """Keys decode like values, escapes and non-ASCII text included."""
        v = impl.loads(r'{"\u00e9":1,"é":2,"\ud800":3,"a\nb":4,"":5}')
        assert v == {"é": 2, "\ud800": 3, "a\nb": 4, "": 5}

class TestDecodeErrors:
    @pytest.mark.parametrize(
        "text, msg, pos",
        [
            ("", "Expecting value", 0),
            (" ", "Expecting value", 1),
            ("{", "Expecting property name enclosed in double quotes", 1),
            ("}", "Expecting value", 0),
            ('{"a"', "Expecting ':' delimiter", 4),
            ('{"a":', "Expecting value", 5),
            ('{"a":}', "Expecting value", 5),
            ('{"a" 1}', "Expecting ':' delimiter", 5),
            ("{a:1}", "Expecting property name enclosed in double quotes", 1),
            ("{'a':1}", "Expecting property name enclosed in double quotes", 1),
            ('{"a":1,}', "Illegal trailing comma before end of object", 6),
            ('{"a":1 "b":2}', "Expecting ',' delimiter", 7),
            ("{,}", "Expecting property name enclosed in double quotes", 1),
            ('{"a":1}}', "Extra data", 7),
            ('{"a":1} x', "Extra data", 8),
            ("[1,]", "Illegal trailing comma before end of array", 2),
            ("[", "Expecting value", 1),
            ("[1", "Expecting ',' delimiter", 2),
            ('{"a":[1,]}', "Illegal trailing comma before end of array", 7),
            ('{"a":01}', "Expecting ',' delimiter", 6),
            ('{"a":-}', "Expecting value", 5),
            ('{"a":.5}', "Expecting value", 5),
            ('{"a":+1}', "Expecting value", 5),
            ('{"a":0x1}', "Expecting ',' delimiter", 6),
            ('{"a":-Infinit}', "Expecting value", 5),
            ('{"a":nan}', "Expecting value", 5),
            ('{"a":-NaN}', "Expecting value", 5),
            ('{"a":tru}', "Expecting value", 5),
            ('{"a":True}', "Expecting value", 5),
            ('{"a":"\\x"}', "Invalid \\escape", 6),
            ('{"a":"\\u12"}', "Invalid \\uXXXX escape", 7),
            ('{"a":"\\uZZZZ"}', "Invalid \\uXXXX escape", 7),
            ('{"a":"\\ud800\\u12G4"}', "Invalid \\uXXXX escape", 13),
            ('{"a":"abc', "Unterminated string starting at", 5),
            ('{"a":"\\', "Unterminated string starting at", 5),
            ('{"a":"\t"}', "Invalid control character at", 6),
            ('{"a":"\n"}', "Invalid control character at", 6),
            ('{"a":"\x00"}', "Invalid control character at", 6),
            ('{"a":"\x1f"}', "Invalid control character at", 6),
            ('{"\x01":1}', "Invalid control character at", 2),
            ("\ufeff{}", "Unexpected UTF-8 BOM (decode using utf-8-sig)", 0),
            (" \ufeff{}", "Expecting value", 1),
            ('{"a":1}\x0b', "Extra data", 7),
            ("\xa0{}", "Expecting value", 0),
            ('{"a":\x0c1}', "Expecting value", 5),
            ('{\n"a":\n1,\n}', "Illegal trailing comma before end of object", 8),
        ],
    )
    def test_invalid_documents(self, impl, text, msg, pos):
        """Invalid JSON raises JSONDecodeError with the host's message, document and position."""
        with pytest.raises(json.JSONDecodeError) as info:
            impl.loads(text)
        e = info.value
        assert (e.msg, e.doc, e.pos) == (msg, text, pos)
        assert (e.lineno, e.colno) == (text.count("\n", 0, pos) + 1, pos - text.rfind("\n", 0, pos))
        assert str(e) == f"{msg}: line {e.lineno} column {e.colno} (char {pos})"


# =============================================================== encoding


class TestEncode:
    def test_line_form(self, impl):
        """Keys sorted at every level, no spaces, ASCII only."""
        ev = {"b": 1, "a": {"z": [1, {"y": None, "x": True}], "é": False}, "A": []}
        assert impl.dumps(ev) == '{"A":[],"a":{"z":[1,{"x":true,"y":null}],"\\u00e9":false},"b":1}'

    def test_key_order_is_code_point_order(self, impl):
        """Keys sort by code point, whatever their width."""
        keys = ["b", "a", "B", "é", "\x7f", "€", "😀", "\ufffd", "", "aa", "a\x00"]
        line = impl.dumps(dict.fromkeys(keys, 0))
        assert list(json.loads(line)) == sorted(keys)

    @pytest.mark.parametrize(
        "text, line",
        [("é", r'"\u00e9"'), ("\x00\x1f\x7f", r'"\u0000\u001f\u007f"'), ("\b\f\n\r\t", r'"\b\f\n\r\t"'),
         ('"\\/', r'"\"\\/"'), ("€\uffff", r'"\u20ac\uffff"'), ("😀", r'"\ud83d\ude00"'),
         ("\U0010ffff", r'"\udbff\udfff"'), ("\ud800", r'"\ud800"'), ("a\udc00b", r'"a\udc00b"'),
         ("~ plain", '"~ plain"')],
    )
    def test_strings(self, impl, text, line):
        """Strings are escaped to ASCII with lower-case \\u escapes and surrogate pairs."""
        assert impl.dumps({"s": text}) == '{"s":' + line + "}"
        assert impl.dumps({text: 0}) == "{" + line + ":0}"

    @pytest.mark.parametrize(
        "value, text",
        [(0, "0"), (-1, "-1"), (2**63, "9223372036854775808"), (-(10**40), "-1" + "0" * 40),
         (1.0, "1.0"), (-0.0, "-0.0"), (0.1, "0.1"), (1e16, "1e+16"), (1e22, "1e+22"), (5e-324, "5e-324"),
         (1.7976931348623157e308, "1.7976931348623157e+308"), (123456789.125, "123456789.125"),
         (math.nan, "NaN"), (math.inf, "Infinity"), (-math.inf, "-Infinity"),
         (True, "true"), (False, "false"), (None, "null")],
    )
    def test_scalars(self, impl, value, text):
        """Numbers as the host writes them (repr, non-finite as NaN/Infinity), and the constants."""
        assert impl.dumps({"v": value}) == '{"v":' + text + "}"

    @pytest.mark.parametrize("pattern", [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001,
                                         0xFFFFFFFFFFFFFFFF, 0x7FF4000000000000])
    def test_every_nan_is_written_as_nan(self, impl, pattern):
        """NaNs of any sign and payload are written as NaN."""
        nan = struct.unpack("<d", pattern.to_bytes(8, "little"))[0]
        assert impl.dumps({"v": [nan]}) == '{"v":[NaN]}'

    def test_integer_digit_limit(self, impl, int_digits):
        """An int past the host's digit limit raises its ValueError; the limit is read per call."""
        assert impl.dumps({"v": 10**4299}) == '{"v":1' + "0" * 4299 + "}"
        with pytest.raises(ValueError, match=r"^Exceeds the limit \(4300 digits\) for integer string conversion"):
            impl.dumps({"v": 10**4300})
        int_digits(0)
        assert impl.dumps({"v": -(10**5000)}) == '{"v":-1' + "0" * 5000 + "}"

    def test_host_forms(self, impl):
        """Tuples, subclasses and non-str keys come out as the host encoder writes them."""

        class Key(str):
            pass

        class Num(int):
            def __repr__(self):
                return "Num()"

        class Map(dict):
            pass

        assert impl.dumps({"t": (1, (2,)), "m": Map(b=1, a=2)}) == '{"m":{"a":2,"b":1},"t":[1,[2]]}'
        assert impl.dumps({"n": Num(5), Key("k"): 1.5}) == '{"k":1.5,"n":5}'
        assert impl.dumps({"d": {2: "x", 1: None}}) == '{"d":{"1":null,"2":"x"}}'
        assert impl.dumps({"b": {True: 0}, "f": {1.5: 2}, "n": {None: 1}}) == '{"b":{"true":0},"f":{"1.5":2},"n":{"null":1}}'

    @pytest.mark.parametrize(
        "value, error, message",
        [({"s": {1}}, TypeError, "Object of type set is not JSON serializable"),
         ({"b": b"x"}, TypeError, "Object of type bytes is not JSON serializable"),
         ({"d": {(1,): 2}}, TypeError, "keys must be str, int, float, bool or None, not tuple"),
         ({"d": {1: 0, "a": 1}}, TypeError, "'<' not supported between instances of 'str' and 'int'")],
    )
    def test_unserialisable(self, impl, value, error, message):
        """Values JSON cannot carry raise the host encoder's error."""
        with pytest.raises(error) as info:
            impl.dumps(value)
        assert str(info.value) == message

    def test_cycles(self, impl):
        """A container that holds itself raises the host's circular reference error."""
        ev = {"a": []}
        ev["a"].append(ev)
        with pytest.raises(ValueError, match="^Circular reference detected$"):
            impl.dumps(ev)
        shared = [1]
        assert impl.dumps({"x": shared, "y": [shared, shared]}) == '{"x":[1],"y":[[1],[1]]}'

    def test_deep_nesting(self, impl):
        """Deep trees are written whole."""
        v = None
        for _ in range(300):
            v = [{"k": v, "a": 1}]
        assert impl.dumps({"v": v}) == '{"v":' + '[{"a":1,"k":' * 300 + "null" + "}]" * 300 + "}"


# ============================================================ differential

CHARS = ["a", "Z", " ", '"', "\\", "/", "\b", "\f", "\n", "\r", "\t", "\x00", "\x1f", "\x7f", "é", "\xff",
         "Ā", "€", "\ud7ff", "\ud800", "\udbff", "\udc00", "\udfff", "\ue000", "\uffff", "\U00010000", "😀",
         "\U0010ffff"]
FLOATS = [0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308, 1.7976931348623157e308,
          0.1, 0.3, 1e22, 1e23, 1e16, 9007199254740993.0, 123456789012345.6, math.nan, math.inf, -math.inf]
NUMBER_TEXTS = ["0", "-0", "0.0", "-0.0", "1E+5", "1e-0005", "1.5e-400", "1e400", "-1e400", "5e-324",
                "2.4703282292062327e-324", "2.4703282292062328e-324", "0.1000000000000000055511151231257827",
                "1" + "0" * 30, "1" + "0" * 4299, "1" + "0" * 4300, "-" + "9" * 5000, "123456789012345678",
                "1234567890123456789", "-9223372036854775809", "18446744073709551616", "1." + "3" * 800,
                "4" * 309 + ".5", "0." + "0" * 330 + "247", "1.", "01", "-", "1e", "1e+", ".5", "0x10",
                "1_000", "\u0661", "- 1", "Infinity", "-Infinity", "NaN", "-NaN", "infinity"]
STRING_TEXTS = ["\\x", "\\u12", "\\uZZZZ", "\\ud800\\u0041", "\\ud800\\udc00", "\\udc00\\ud800",
                "\\ud800\\ud800\\udc00", "\\ud800\\", "\\ud800\\u", "\\ud800\\udc0g", "\\U0001F600", "\\/",
                "\\'", "\x00", "\x1f", "\t", "\x7f", "\ud800", "€", "\\u00e9", "\\u0000", "a" * 70]
MUTATIONS = CHARS + list('{}[],:0123456789.eE+-"ntfNI \\u') + ["NaN", "Infinity", "-Infinity", "true", "null",
                                                              "\\u", "\\ud800", "\ufeff", "\xa0", "\x0b"]


class Documents:
    """A seeded source of JSON values, texts and mutated texts."""

    def __init__(self, seed):
        self.r = random.Random(seed)

    def string(self):
        r = self.r
        return "".join(r.choice(CHARS) if r.random() < 0.4 else chr(r.randrange(32, 127))
                       for _ in range(r.randrange(0, 10)))

    def float(self):
        r = self.r
        kind = r.randrange(5)
        if kind == 0:
            return struct.unpack("<d", r.getrandbits(64).to_bytes(8, "little"))[0]
        if kind == 1:
            return r.choice(FLOATS)
        if kind == 2:
            return r.uniform(-1e6, 1e6)
        if kind == 3:
            return float(f"{r.random()}e{r.randrange(-330, 310)}")
        return float(r.randrange(-(10**6), 10**6))

    def int(self):
        r = self.r
        kind = r.randrange(4)
        if kind == 0:
            return r.randrange(-300, 300)
        if kind == 1:
            return r.randrange(-(2**63) - 5, 2**63 + 5)
        if kind == 2:
            return r.choice([-1, 1]) * r.randrange(10**17, 10**20)
        return r.choice([-1, 1]) * r.getrandbits(r.randrange(64, 1000))

    def value(self, depth=0):
        r = self.r
        kind = r.randrange(9 if depth < 5 else 6)
        if kind == 0:
            return None
        if kind == 1:
            return r.random() < 0.5
        if kind == 2:
            return self.int()
        if kind == 3:
            return self.float()
        if kind in (4, 5):
            return self.string()
        if kind in (6, 7):
            return {self.string(): self.value(depth + 1) for _ in range(r.randrange(6))}
        return [self.value(depth + 1) for _ in range(r.randrange(6))]

    def text(self):
        r = self.r
        kind = r.randrange(5)
        if kind == 0:
            options = r.choice([{}, {"ensure_ascii": False}, {"indent": 1}, {"separators": (" , ", " :\t")},
                                {"indent": "\r\n"}, LINE_OPTIONS])
            return json.dumps({"v": self.value()}, **options)
        if kind == 1:
            return '{"v":' + r.choice(NUMBER_TEXTS) + "}"
        if kind == 2:
            return '{"a":1,"b":[2],"a":{"x":3,"x":[],"y":4},"c":null}'
        if kind == 3:
            return '{"s":"' + r.choice(STRING_TEXTS) + '","t":"' + r.choice(STRING_TEXTS) + '"}'
        return json.dumps(self.value(), ensure_ascii=r.random() < 0.5)

    def mutate(self, text):
        r = self.r
        for _ in range(r.randrange(1, 4)):
            i = r.randrange(len(text) + 1)
            kind = r.randrange(5)
            if kind == 0:
                text = text[:i]
            elif kind == 1:
                text = text[:i] + r.choice(MUTATIONS) + text[i:]
            elif kind == 2:
                text = text[:i] + text[i + 1:]
            elif kind == 3:
                text = text[:i] + r.choice(MUTATIONS) + text[i + 1:]
            else:
                j = r.randrange(len(text) + 1)
                text = text[:i] + text[min(i, j):max(i, j)] + text[i:]
        return text


class TestDifferential:
    @pytest.mark.parametrize("seed", range(4))
    def test_generated_documents(self, seed):
        """Generated documents decode exactly as json.loads decodes them, bare and nested."""
        docs = Documents(seed)
        for _ in range(1500):
            text = docs.text()
            assert_deserialize_matches(text)
            assert_deserialize_matches('{"w":' + text + ',"z":0}')

    @pytest.mark.parametrize("seed", range(4))
    def test_mutated_documents(self, seed):
        """Truncated, spliced and corrupted documents give the host's value or its exact error."""
        docs = Documents(100 + seed)
        for _ in range(2500):
            text = docs.mutate(docs.text())
            assert_deserialize_matches(text)
            assert_deserialize_matches('{"w":' + text + "}")

    @pytest.mark.parametrize("seed", range(3))
    def test_float_texts(self, seed):
        """Float texts near rounding boundaries read as the same doubles as the host's."""
        r = random.Random(300 + seed)
        exact = decimal.Context(prec=1200)  # wide enough for any midpoint of two doubles
        texts = []
        for _ in range(1500):
            x = struct.unpack("<d", r.getrandbits(64).to_bytes(8, "little"))[0]
            if not math.isfinite(x):
                continue
            up = math.nextafter(x, math.inf)
            texts.append(repr(x))
            if math.isfinite(up):  # the exact midpoint, which rounds to the even neighbour
                texts.append(str(exact.divide(exact.add(decimal.Decimal(x), decimal.Decimal(up)), 2)))
            digits = "".join(r.choice("0123456789") for _ in range(r.randrange(1, 40)))
            texts.append(f"{r.choice(['', '-'])}{digits[0]}.{digits[1:] or '0'}e{r.randrange(-360, 330)}")
            texts.append(f"{r.randrange(10 ** r.randrange(1, 25))}.{r.randrange(10 ** r.randrange(1, 25))}")
        doc = '{"v":[' + ",".join(texts) + "]}"
        ours, host = protocol.deserialize(doc)["v"], json.loads(doc)["v"]
        for text, a, b in zip(texts, ours, host):
            assert same(a, b), text

    @pytest.mark.parametrize("seed", range(4))
    def test_generated_values(self, seed):
        """Generated trees serialise exactly as json.dumps writes them with the line's options."""
        docs = Documents(200 + seed)
        for _ in range(1500):
            assert_serialize_matches({"v": docs.value(), docs.string(): docs.value()})

    @settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(st.text())
    def test_arbitrary_text(self, text):
        """Any text at all: same value or same error as the host."""
        assert_deserialize_matches(text)
        assert_deserialize_matches('{"k":"' + text + '"}')
        assert_deserialize_matches('{"k":' + text + "}")

    json_values = st.recursive(
        st.none() | st.booleans() | st.integers() | st.floats() | st.text(),
        lambda inner: st.lists(inner, max_size=5) | st.dictionaries(st.text(), inner, max_size=5),
        max_leaves=30,
    )

    @settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(json_values, st.sampled_from([{}, {"ensure_ascii": False}, {"indent": 2}, LINE_OPTIONS]))
    def test_round_trip(self, value, options):
        """Values written by the host in any layout read back exactly; serialize writes what the host writes."""
        doc = {"v": value}
        assert_serialize_matches(doc)
        text = json.dumps(doc, **options)
        assert_deserialize_matches(text)
        back = protocol.deserialize(protocol.serialize(doc))
        assert same(back, json.loads(json.dumps(doc, sort_keys=True)))

    @settings(max_examples=200, deadline=None)
    @given(st.binary(max_size=40))
    def test_arbitrary_bytes_as_text(self, raw):
        """Bytes read as Latin-1 or with surrogate escapes decode like the host does."""
        assert_deserialize_matches('{"b":"' + raw.decode("latin-1") + '"}')
        assert_deserialize_matches('{"b":"' + raw.decode("utf-8", "surrogateescape") + '"}')


class TestNativePath:
    def test_plain_documents_stay_native(self, host_decodes):
        """Documents the native decoder covers never reach the host decoder."""
        docs = Documents(7)
        for _ in range(500):
            text = json.dumps({"v": docs.value()}, ensure_ascii=False)
            if not any("\ud800" <= c <= "\udfff" for c in text):  # raw lone surrogates are the host's
                protocol.deserialize(text)
            protocol.deserialize(json.dumps({"v": docs.value()}))
        protocol.deserialize(r'{"a":[NaN,-Infinity,1e400,-0.0,"\ud800\u00e9",' + "1" * 4300 + "]}")
        assert host_decodes() == 0

    @pytest.mark.parametrize(
        "text",
        ["{", '{"a":1,}', '{"a":' + "1" * 4301 + "}", '{"a":"\ud800"}',
         '{"a":' + "[" * 300 + "]" * 300 + "}"],
    )
    def test_declined_documents_go_to_the_host(self, host_decodes, text):
        """Invalid or uncovered documents are handed to the host decoder, once."""
        assert_deserialize_matches(text)
        assert host_decodes() == 2  # once for deserialize, once for the reference

    def test_plain_trees_stay_native(self, host_encodes):
        """Trees of exact dict, list, str, int, float, bool and None never reach the host encoder."""
        docs = Documents(8)
        for _ in range(500):
            protocol.serialize({"v": docs.value()})
        protocol.serialize({"v": [10**4000, math.nan, "\ud800"]})
        assert host_encodes() == 0

    @pytest.mark.parametrize(
        "value",
        [{"t": ()}, {"k": {1: 2}}, {"s": set()}, {"n": 10**5000}, {"f": [1.5, True, float.fromhex("1p3")]},
         {"d": functools.reduce(lambda v, _: [v], range(150), [])}],
    )
    def test_other_trees_go_to_the_host(self, host_encodes, value):
        """Trees the native encoder does not cover are handed to the host encoder, once."""
        value["sub"] = type("Sub", (float,), {})(1.0) if "f" in value else None
        assert_serialize_matches(value)
        assert host_encodes() == 2  # once for serialize, once for the reference


class TestReplacedHostFunctions:
    def test_replaced_loads_is_called(self, monkeypatch):
        """A replaced json.loads gets every line, and its result is checked."""
        seen = []
        monkeypatch.setattr(json, "loads", lambda s: seen.append(s) or {"from": "patch"})
        assert protocol.deserialize('{"a":1}') == {"from": "patch"}
        monkeypatch.setattr(json, "loads", lambda s: [s])
        with pytest.raises(TypeError, match="^Expected dict, got list$"):
            protocol.deserialize("{}")
        assert seen == ['{"a":1}']

    def test_wrapped_loads_is_called(self, monkeypatch):
        """A functools.wraps wrapper around json.loads is called, not bypassed."""
        seen = []
        original = json.loads

        @functools.wraps(original)
        def loads(s, **kw):
            seen.append(s)
            return original(s, **kw)

        monkeypatch.setattr(json, "loads", loads)
        assert protocol.deserialize('{"a":[1]}') == {"a": [1]}
        assert seen == ['{"a":[1]}']

    def test_replaced_dumps_is_called(self, monkeypatch):
        """A replaced json.dumps gets the event and the line's options, and its result is checked."""
        calls = []
        monkeypatch.setattr(json, "dumps", lambda obj, **kw: calls.append((obj, kw)) or "LINE")
        ev = {"a": 1}
        assert protocol.serialize(ev) == "LINE"
        assert calls == [(ev, LINE_OPTIONS)] and calls[0][0] is ev
        monkeypatch.setattr(json, "dumps", lambda obj, **kw: b"{}")
        with pytest.raises(TypeError, match="^Expected str, got bytes$"):
            protocol.serialize(ev)

    def test_restored_functions_are_native_again(self, monkeypatch, host_decodes):
        """Once the host's own json.loads is back, lines decode natively again."""
        original = json.loads
        monkeypatch.setattr(json, "loads", lambda s: {})
        assert protocol.deserialize('{"a":1}') == {}
        monkeypatch.setattr(json, "loads", original)
        assert protocol.deserialize('{"a":1}') == {"a": 1}
        assert host_decodes() == 0

    def test_replaced_before_import(self):
        """Functions replaced before the module is first imported are still honoured."""
        code = (
            "import json\n"
            "json.loads = lambda s: {'loads': s}\n"
            "json.dumps = lambda o, **kw: 'dumps:' + repr(sorted(kw))\n"
            "from orvane import protocol\n"
            "print(protocol.deserialize('{}'), protocol.serialize({}))\n"
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                             cwd="/")
        assert out.stdout == "{'loads': '{}'} dumps:['ensure_ascii', 'separators', 'sort_keys']\n"

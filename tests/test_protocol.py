"""orvane.protocol: the event record, its registry, validation, line form and chains."""

import datetime
import fractions
import inspect
import json
import re
import subprocess
import sys
import uuid

import pytest

from orvane import protocol

BUILTIN_TYPES = [
    "QUESTION", "FINDING", "FORGE", "SELECTION", "OBSERVATION", "GOAL", "HATCH", "CYCLE", "ACTION_PLAN",
    "ACTION_EXEC", "ACTION_VERIFY", "ACTION_REFINE", "TRIAGE", "BUDGET_LIMIT", "COMPONENT_UNAVAILABLE",
    "PARSE_FABRICATION", "BRAIN_FAILURE",
]
FIELDS = ["id", "type", "source", "target", "payload", "parent_id", "instance_id", "generation", "depth",
          "timestamp"]
UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
TIMESTAMP = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?\+00:00$")


def incorrect_type(param, expected, got):
    return re.escape(f"Argument '{param}' has incorrect type (expected {expected}, got {got})")


def event(**changes):
    ev = {
        "id": "e1", "type": "QUESTION", "source": "selector", "target": None, "payload": {}, "parent_id": None,
        "instance_id": "inst", "generation": 0, "depth": 0, "timestamp": "2026-01-01T00:00:00+00:00",
    }
    ev.update(changes)
    return ev


class Str(str):
    pass


class Dict(dict):
    pass


# ---------------------------------------------------------------- registry


class TestRegistry:
    def test_builtin_types(self):
        """The registry is a plain set of the seventeen built-ins, each also a constant naming itself."""
        assert type(protocol._EVENT_TYPES) is set and set(BUILTIN_TYPES) <= protocol._EVENT_TYPES
        assert [name for name in vars(protocol) if name in BUILTIN_TYPES] == BUILTIN_TYPES
        for name in BUILTIN_TYPES:
            assert getattr(protocol, name) == name and type(getattr(protocol, name)) is str
        fresh = subprocess.run([sys.executable, "-c", "from orvane import protocol as p; print(sorted(p._EVENT_TYPES))"],
                               capture_output=True, text=True, check=True, cwd="/")
        assert fresh.stdout == f"{sorted(BUILTIN_TYPES)}\n"

    def test_required_fields_table(self):
        """The table of required fields lists names and types in order."""
        assert list(protocol._REQUIRED_FIELDS.items()) == [
            ("id", str), ("type", str), ("source", str), ("payload", dict), ("instance_id", str),
            ("generation", int), ("depth", int), ("timestamp", str)]

    def test_register_is_idempotent(self, registry):
        """Registering twice leaves one entry; any string is accepted, the empty one too."""
        before = set(registry)  # the built-ins and what imported modules registered
        assert protocol.register_event_type("X") is None
        protocol.register_event_type("X")
        protocol.register_event_type("")
        assert registry == before | {"X", ""}
        assert protocol.make_event("X", "s", {})["type"] == "X"

    def test_register_goes_to_the_current_registry(self, monkeypatch):
        """register_event_type adds to whatever set `_EVENT_TYPES` holds at call time."""
        replacement = {"ONLY"}
        monkeypatch.setattr(protocol, "_EVENT_TYPES", replacement)
        protocol.register_event_type("Y")
        assert replacement == {"ONLY", "Y"}
        assert protocol.event_types() == frozenset({"ONLY", "Y"})

    def test_event_types_is_a_snapshot(self, registry):
        """event_types returns a frozenset that later registrations leave alone."""
        snapshot = protocol.event_types()
        assert type(snapshot) is frozenset and snapshot == frozenset(registry)
        protocol.register_event_type("LATER")
        assert "LATER" not in snapshot and "LATER" in protocol.event_types()

    @pytest.mark.parametrize("name", [1, None, b"X", Str("X")])
    def test_register_takes_exact_str(self, registry, name):
        """Names that are not exactly str are refused."""
        before = set(registry)
        with pytest.raises(TypeError, match=incorrect_type("name", "str", type(name).__name__)):
            protocol.register_event_type(name)
        assert registry == before


# ------------------------------------------------------------ make_event


class TestMakeEvent:
    def test_defaults(self):
        """Ten fields in order, null links, zero counters, two distinct UUID 4s and a UTC timestamp."""
        before = datetime.datetime.now(datetime.timezone.utc).isoformat()
        ev = protocol.make_event("QUESTION", "selector", {})
        after = datetime.datetime.now(datetime.timezone.utc).isoformat()
        assert type(ev) is dict and list(ev) == FIELDS
        assert (ev["type"], ev["source"], ev["target"], ev["parent_id"]) == ("QUESTION", "selector", None, None)
        assert ev["generation"] == 0 and ev["depth"] == 0 and type(ev["generation"]) is int
        assert UUID4.match(ev["id"]) and UUID4.match(ev["instance_id"]) and ev["id"] != ev["instance_id"]
        assert TIMESTAMP.match(ev["timestamp"]) and before[:19] <= ev["timestamp"][:19] <= after[:19]
        assert protocol.validate_event(ev)

    def test_given_fields(self):
        """Keyword fields are stored as given; the payload is the caller's own map."""
        payload = {"k": [1]}
        ev = protocol.make_event("FINDING", "brain", payload, target="/t", parent_id="p", generation=3, depth=1,
                                 instance_id="abc123")
        assert ev["payload"] is payload
        assert [ev[f] for f in ("target", "parent_id", "generation", "depth", "instance_id")] == \
            ["/t", "p", 3, 1, "abc123"]

    @pytest.mark.parametrize("instance_id", ["", None])
    def test_missing_instance_id_is_generated(self, instance_id):
        """An empty or absent instance id is replaced by a fresh UUID 4."""
        ev = protocol.make_event("QUESTION", "s", {}, instance_id=instance_id)
        assert UUID4.match(ev["instance_id"]) and ev["instance_id"] != ev["id"]

    @pytest.mark.parametrize(
        "given, stored",
        [(2.9, 2), (-2.9, -2), (True, 1), (False, 0), (fractions.Fraction(7, 2), 3), (10**30, 10**30), (-1, -1)],
    )
    def test_counters_are_converted(self, given, stored):
        """generation and depth take any number, truncated to an int; signs are not checked."""
        ev = protocol.make_event("QUESTION", "s", {}, generation=given, depth=given)
        assert type(ev["generation"]) is int and type(ev["depth"]) is int
        assert ev["generation"] == stored and ev["depth"] == stored
        assert protocol.validate_event(ev) == (stored >= 0)

    @pytest.mark.parametrize("value", ["1", None, [], 1j])
    def test_counters_must_be_numbers(self, value):
        """A counter that is not a number raises TypeError naming the parameter."""
        for param in ("generation", "depth"):
            with pytest.raises(TypeError, match=incorrect_type(param, "int", type(value).__name__)):
                protocol.make_event("QUESTION", "s", {}, **{param: value})

    def test_counter_conversion_errors(self):
        """Numbers the host cannot turn into an int raise the host's error."""
        with pytest.raises(ValueError, match="cannot convert float NaN to integer"):
            protocol.make_event("QUESTION", "s", {}, depth=float("nan"))
        with pytest.raises(OverflowError):
            protocol.make_event("QUESTION", "s", {}, generation=float("inf"))

    @pytest.mark.parametrize(
        "args, kwargs, param, expected, got",
        [((Str("QUESTION"), "s", {}), {}, "event_type", "str", "Str"),
         (("QUESTION", None, {}), {}, "source", "str", "NoneType"),
         (("QUESTION", "s", Dict()), {}, "payload", "dict", "Dict"),
         (("QUESTION", "s", None), {}, "payload", "dict", "NoneType"),
         (("QUESTION", "s", {}), {"target": 5}, "target", "str", "int"),
         (("QUESTION", "s", {}), {"parent_id": b"p"}, "parent_id", "str", "bytes"),
         (("QUESTION", "s", {}), {"instance_id": Str("i")}, "instance_id", "str", "Str")],
    )
    def test_argument_types(self, args, kwargs, param, expected, got):
        """Declared types are exact: subclasses and other types raise TypeError naming the parameter."""
        with pytest.raises(TypeError, match="^" + incorrect_type(param, expected, got) + "$"):
            protocol.make_event(*args, **kwargs)

    @pytest.mark.parametrize("name", ["NOPE", "", "it's", "question"])
    def test_unknown_type(self, name):
        """An unregistered type raises ValueError quoting the name as the host would."""
        with pytest.raises(ValueError) as info:
            protocol.make_event(name, "s", {})
        assert str(info.value) == f"Unknown event type {name!r}. Register it first with register_event_type()."

    def test_registry_is_read_at_call_time(self, monkeypatch):
        """make_event checks the type against `_EVENT_TYPES` as it stands when called."""
        monkeypatch.setattr(protocol, "_EVENT_TYPES", {"ONLY"})
        assert protocol.make_event("ONLY", "s", {})["type"] == "ONLY"
        with pytest.raises(ValueError):
            protocol.make_event("QUESTION", "s", {})

    def test_signature(self):
        """Three positional parameters, the other five keyword-only, with their defaults."""
        sig = inspect.signature(protocol.make_event)
        assert [(p.name, p.kind, p.default) for p in sig.parameters.values()] == [
            ("event_type", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
            ("source", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
            ("payload", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
            ("target", inspect.Parameter.KEYWORD_ONLY, None),
            ("parent_id", inspect.Parameter.KEYWORD_ONLY, None),
            ("generation", inspect.Parameter.KEYWORD_ONLY, 0),
            ("depth", inspect.Parameter.KEYWORD_ONLY, 0),
            ("instance_id", inspect.Parameter.KEYWORD_ONLY, None)]

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [(("QUESTION", "s", {}, None), {}, "takes 3 positional arguments but 4 were given"),
         (("QUESTION", "s"), {}, "missing 1 required positional argument: 'payload'"),
         ((), {}, "missing 3 required positional arguments: 'event_type', 'source', and 'payload'"),
         (("QUESTION", "s", {}), {"owner": 1}, "got an unexpected keyword argument 'owner'"),
         (("QUESTION", "s", {}), {"source": "t"}, "got multiple values for argument 'source'")],
    )
    def test_call_errors(self, args, kwargs, message):
        """Wrong counts, unknown and repeated keywords raise TypeError."""
        with pytest.raises(TypeError, match=re.escape("make_event() " + message)):
            protocol.make_event(*args, **kwargs)

    def test_positional_parameters_by_keyword(self):
        """The three positional parameters may also be passed by keyword."""
        ev = protocol.make_event(payload={}, source="s", event_type="GOAL")
        assert (ev["type"], ev["source"]) == ("GOAL", "s")

    def test_host_facilities_are_looked_up_per_call(self, monkeypatch):
        """A patched uuid.uuid4 and module `_now_iso` are what make_event uses."""
        ids = iter([uuid.UUID(int=1, version=4), uuid.UUID(int=2, version=4)])
        monkeypatch.setattr(uuid, "uuid4", lambda: next(ids))
        monkeypatch.setattr(protocol, "_now_iso", lambda: "T0")
        ev = protocol.make_event("QUESTION", "s", {})
        assert ev["id"] == "00000000-0000-4000-8000-000000000001"
        assert ev["instance_id"] == "00000000-0000-4000-8000-000000000002"
        assert ev["timestamp"] == "T0"

    def test_now_iso(self, monkeypatch):
        """_now_iso writes the host's isoformat of aware UTC now, without a zero fraction."""
        class Clock(datetime.datetime):
            moment = datetime.datetime(2026, 12, 7, 9, 13, 3, 123456, tzinfo=datetime.timezone.utc)

            @classmethod
            def now(cls, tz=None):
                assert tz is datetime.timezone.utc
                return cls.moment

        monkeypatch.setattr(datetime, "datetime", Clock)
        assert protocol._now_iso() == "2026-12-07T09:13:03.123456+00:00"
        Clock.moment = Clock.moment.replace(microsecond=0)
        assert protocol._now_iso() == "2026-12-07T09:13:03+00:00"
        assert protocol.make_event("QUESTION", "s", {})["timestamp"] == "2026-12-07T09:13:03+00:00"


# ------------------------------------------------------------ validation


class TestValidateEvent:
    def test_valid_events(self):
        """Built and hand-made events pass, with or without links, with extra fields, as dict subclasses."""
        assert protocol.validate_event(protocol.make_event("HATCH", "s", {}, target="t", parent_id="p"))
        assert protocol.validate_event(event())
        bare = event()
        del bare["target"], bare["parent_id"]
        assert protocol.validate_event(bare)
        assert protocol.validate_event(event(extra=object(), target=Str("t"), parent_id="p"))
        assert protocol.validate_event(Dict(event()))
        assert protocol.validate_event(event(generation=True, depth=10**40, payload=Dict()))

    @pytest.mark.parametrize("value", [None, [], "{}", 5, (), {"id": "x"}, [("id", "x")]])
    def test_non_events(self, value):
        """Values that are not event maps are False."""
        assert protocol.validate_event(value) is False

    @pytest.mark.parametrize("field", list(protocol._REQUIRED_FIELDS))
    def test_required_fields(self, field):
        """Each required field must be present and of its type."""
        missing = event()
        del missing[field]
        assert protocol.validate_event(missing) is False
        wrong = 1.0 if field in ("generation", "depth") else (["x"] if field == "payload" else 7)
        assert protocol.validate_event(event(**{field: wrong})) is False
        assert protocol.validate_event(event(**{field: None})) is False

    @pytest.mark.parametrize(
        "changes",
        [{"type": "UNKNOWN"}, {"generation": -1}, {"depth": -1}, {"depth": -(10**40)}, {"target": 5},
         {"parent_id": ["p"]}, {"payload": [("a", 1)]}],
    )
    def test_invalid_values(self, changes):
        """Unregistered types, negative counters and non-str links are invalid."""
        assert protocol.validate_event(event(**changes)) is False

    def test_never_raises(self):
        """Maps that fail when inspected are simply invalid."""
        class Broken(dict):
            def __contains__(self, key):
                raise RuntimeError("boom")

        class Odd(int):
            def __lt__(self, other):
                raise RuntimeError("boom")

        assert protocol.validate_event(Broken(event())) is False
        assert protocol.validate_event(event(depth=Odd(1))) is False
        assert protocol.validate_event(event(type=["unhashable"])) is False

    def test_tables_are_read_at_call_time(self, monkeypatch):
        """Patched `_REQUIRED_FIELDS` and `_EVENT_TYPES` take effect on the next call."""
        ev = event(type="NEW")
        assert protocol.validate_event(ev) is False
        monkeypatch.setattr(protocol, "_EVENT_TYPES", {"NEW"})
        assert protocol.validate_event(ev) is True
        assert protocol.validate_event(event()) is False
        monkeypatch.setattr(protocol, "_REQUIRED_FIELDS", {**protocol._REQUIRED_FIELDS, "owner": str})
        assert protocol.validate_event(ev) is False
        assert protocol.validate_event({**ev, "owner": "me"}) is True
        fields = dict(protocol._REQUIRED_FIELDS)
        del fields["timestamp"], fields["owner"]
        monkeypatch.setattr(protocol, "_REQUIRED_FIELDS", fields)
        assert protocol.validate_event({k: v for k, v in ev.items() if k != "timestamp"}) is True

    def test_registered_later(self, registry):
        """A type registered after the event was built makes it valid."""
        ev = event(type="LATE")
        assert not protocol.validate_event(ev)
        protocol.register_event_type("LATE")
        assert protocol.validate_event(ev)

    def test_call_errors(self):
        """validate_event takes exactly one argument, named event."""
        with pytest.raises(TypeError, match=re.escape("validate_event() missing 1 required positional")):
            protocol.validate_event()
        with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
            protocol.validate_event({}, {})
        assert protocol.validate_event(event=event()) is True


# ------------------------------------------------------------- line form


class TestLineForm:
    def test_serialize_event(self):
        """An event is written on one line with sorted keys, no spaces and escaped non-ASCII text."""
        ev = protocol.make_event("FINDING", "brain", {"note": "café", "n": [1, 2.5]}, target="t")
        line = protocol.serialize(ev)
        assert "\n" not in line and " " not in line and line.isascii()
        assert list(json.loads(line)) == ["depth", "generation", "id", "instance_id", "parent_id", "payload",
                                          "source", "target", "timestamp", "type"]
        assert '"payload":{"n":[1,2.5],"note":"caf\\u00e9"}' in line
        assert line == json.dumps(ev, sort_keys=True, separators=(",", ":"))

    def test_round_trip(self):
        """deserialize(serialize(e)) equals e, extra fields and nested payloads included."""
        ev = protocol.make_event("OBSERVATION", "s", {"é": ["ü", {"x": None}], "big": 10**30, "f": -0.0})
        ev["extra"] = {"kept": True}
        back = protocol.deserialize(protocol.serialize(ev))
        assert back == ev and back is not ev and list(back) == sorted(ev)
        assert protocol.validate_event(back)

    def test_unserialisable_payload(self):
        """A payload JSON cannot carry raises the encoder's TypeError."""
        with pytest.raises(TypeError, match="^Object of type object is not JSON serializable$"):
            protocol.serialize(protocol.make_event("QUESTION", "s", {"o": object()}))

    def test_deserialize_results(self):
        """null gives None, other non-objects a TypeError, bad JSON a JSONDecodeError."""
        assert protocol.deserialize("null") is None
        with pytest.raises(TypeError, match="^Expected dict, got list$"):
            protocol.deserialize("[1]")
        with pytest.raises(json.JSONDecodeError):
            protocol.deserialize("{")

    @pytest.mark.parametrize(
        "fn, arg, param, expected",
        [(protocol.serialize, Dict(), "event", "dict"), (protocol.serialize, [], "event", "dict"),
         (protocol.serialize, None, "event", "dict"), (protocol.deserialize, Str("{}"), "line", "str"),
         (protocol.deserialize, b"{}", "line", "str"), (protocol.deserialize, None, "line", "str")],
    )
    def test_argument_types(self, fn, arg, param, expected):
        """serialize takes exactly a dict, deserialize exactly a str."""
        with pytest.raises(TypeError, match="^" + incorrect_type(param, expected, type(arg).__name__) + "$"):
            fn(arg)

    def test_keywords(self):
        """The parameters are named event and line."""
        assert protocol.deserialize(line=protocol.serialize(event={"a": 1})) == {"a": 1}


# ------------------------------------------------------------- predicates


class TestPredicates:
    @pytest.mark.parametrize(
        "ev, seed, recursive",
        [({}, True, False), ({"depth": 1, "generation": 1}, False, True), ({"depth": 0, "generation": 0}, True, False),
         ({"depth": 0.5, "generation": 0.0}, True, True), ({"depth": -3, "generation": False}, True, False),
         ({"depth": True, "generation": True}, False, True)],
    )
    def test_values(self, ev, seed, recursive):
        """is_seed is generation == 0 and is_recursive depth > 0, missing fields counting as 0."""
        assert protocol.is_seed(ev) is seed
        assert protocol.is_recursive(ev) is recursive

    def test_arguments(self):
        """Both take exactly a dict; uncomparable values raise the comparison's TypeError."""
        for fn in (protocol.is_seed, protocol.is_recursive):
            with pytest.raises(TypeError, match=incorrect_type("event", "dict", "Dict")):
                fn(Dict())
            with pytest.raises(TypeError, match=incorrect_type("event", "dict", "NoneType")):
                fn(None)
        with pytest.raises(TypeError, match="'>' not supported between instances of 'NoneType' and 'int'"):
            protocol.is_recursive({"depth": None})


# ---------------------------------------------------------------- chains


def node(id, parent=None, **extra):
    return {"id": id, "parent_id": parent, **extra}


class TestEventChain:
    def test_empty_and_unknown_root(self):
        """No events, or no event with the root id, give an empty list."""
        assert protocol.event_chain([], "x") == []
        assert protocol.event_chain([node("a")], "x") == []

    def test_tree(self):
        """Root first, then children in list order, grandchildren grouped by their parents' order."""
        a, b, c, d = node("A"), node("B", "A"), node("C", "A"), node("D", "B")
        assert protocol.event_chain([a, b, c, d], "A") == [a, b, c, d]
        f, e = node("F", "C"), node("E", "B")
        chain = protocol.event_chain([f, d, c, a, e, b], "A")
        assert [x["id"] for x in chain] == ["A", "C", "B", "F", "D", "E"]
        assert all(x is y for x, y in zip(chain, [a, c, b, f, d, e]))

    def test_subtree(self):
        """Ancestors and siblings of the root are left out."""
        events = [node("A"), node("B", "A"), node("C", "A"), node("D", "B")]
        assert [x["id"] for x in protocol.event_chain(events, "B")] == ["B", "D"]

    def test_repeated_events(self):
        """Events listed twice appear twice; the root is the last event with its id."""
        a1, a2, b = node("A", n=1), node("A", n=2), node("B", "A")
        chain = protocol.event_chain([a1, b, b, a2], "A")
        assert chain[0] is a2 and chain[1:] == [b, b]

    def test_missing_parent_field(self):
        """An event without parent_id counts as a root-level event."""
        events = [{"id": "A"}, node("B", "A")]
        assert protocol.event_chain(events, "A") == events

    def test_missing_id(self):
        """Any event without an id raises KeyError, even one unrelated to the root."""
        with pytest.raises(KeyError, match="'id'"):
            protocol.event_chain([node("A"), {"parent_id": "Z"}], "A")

    def test_cycles_terminate(self):
        """Parent links that loop back end the walk instead of running forever."""
        loop = [node("A", "B"), node("B", "A")]
        assert [x["id"] for x in protocol.event_chain(loop, "A")] == ["A", "B"]
        assert [x["id"] for x in protocol.event_chain([node("S", "S")], "S")] == ["S"]
        wider = [node("R"), node("X", "R"), node("Y", "X"), node("X", "Y"), node("Z", "Y")]
        ids = [x["id"] for x in protocol.event_chain(wider, "R")]
        assert ids[0] == "R" and set(ids) == {"R", "X", "Y", "Z"} and len(ids) == 4

    @pytest.mark.parametrize(
        "args, message",
        [(((node("A"),), "A"), incorrect_type("events", "list", "tuple")),
         (([], 1), incorrect_type("root_id", "str", "int")),
         (([], Str("A")), incorrect_type("root_id", "str", "Str")),
         (([],), re.escape("event_chain() missing 1 required positional argument: 'root_id'"))],
    )
    def test_arguments(self, args, message):
        """events must be exactly a list and root_id exactly a str."""
        with pytest.raises(TypeError, match=message):
            protocol.event_chain(*args)

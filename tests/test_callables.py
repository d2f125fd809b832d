"""Every native callable of every built module, as the host sees it: signatures that
introspect, parameters bound by name, and survival of hostile arguments.

The walk finds modules and callables by itself, so it grows as modules are added.
"""
import importlib
import importlib.machinery
import importlib.util
import inspect
import os
import pkgutil
import subprocess
import typing

import pytest

import orvane
from tests.conftest import run_in_child


def is_extension(name):
    """Whether orvane.<name> is a built module (the package also holds the host's Python
    modules, the command line among them, which this walk must not import or call)."""
    origin = importlib.util.find_spec(f"orvane.{name}").origin or ""
    return origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))


def built_modules():
    return [importlib.import_module(f"orvane.{info.name}")
            for info in pkgutil.iter_modules(orvane.__path__) if is_extension(info.name)]


def callables():
    """(qualified name, callable, owner class or None) for every function and method the
    modules define themselves, private ones included, dunders other than __init__ left out."""
    found = []
    for module in built_modules():
        for name, value in vars(module).items():
            if getattr(value, "__module__", None) != module.__name__:
                continue
            if inspect.isclass(value):
                for attr, member in vars(value).items():
                    if attr.startswith("__") and attr != "__init__":
                        continue
                    func = member.__func__ if isinstance(member, (classmethod, staticmethod)) else member
                    if isinstance(member, property):
                        func = member.fget
                    if callable(func) and getattr(func, "__module__", None) == module.__name__:
                        found.append((f"{module.__name__}.{value.__qualname__}.{attr}", func, value))
            elif callable(value):
                found.append((f"{module.__name__}.{name}", value, None))
    return found


CALLABLES = callables()


def test_every_module_is_walked():
    names = {m.__name__ for m in built_modules()}
    assert {"orvane.protocol", "orvane.ledger", "orvane.triage", "orvane.goal"} <= names
    assert len(CALLABLES) > 30


@pytest.mark.parametrize("name,func,owner", CALLABLES, ids=[c[0] for c in CALLABLES])
class TestIntrospection:
    def test_signature_introspects(self, name, func, owner):
        sig = inspect.signature(func)
        text = getattr(func, "__text_signature__", None)
        if text is not None:  # the display form names the same parameters, in order
            assert [p.name for p in sig.parameters.values()] == [
                part.split("=")[0].strip(" *") for part in text.strip("()").split(",")
                if part.strip() not in ("*", "/", "")]

    def test_hints_and_defaults_as_a_def_has_them(self, name, func, owner):
        """typing.get_type_hints resolves every annotation, and __defaults__ and
        __kwdefaults__ hold the very default objects the signature shows, as a def sets them."""
        sig = inspect.signature(func)
        params = list(sig.parameters.values())
        hints = typing.get_type_hints(func)
        annotated = {p.name: p.annotation for p in params if p.annotation is not p.empty}
        if sig.return_annotation is not sig.empty:
            annotated["return"] = sig.return_annotation
        assert list(hints) == list(annotated)
        assert hints == {key: type(None) if value is None else value for key, value in annotated.items()}
        assert not any(isinstance(h, (str, typing.ForwardRef)) for h in hints.values())
        positional = [p.default for p in params if p.default is not p.empty
                      and p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
        keyword = {p.name: p.default for p in params if p.default is not p.empty and p.kind is p.KEYWORD_ONLY}
        defaults, kwdefaults = func.__defaults__, func.__kwdefaults__
        assert (defaults is None) == (not positional) and (kwdefaults is None) == (not keyword)
        assert all(a is b for a, b in zip(defaults or (), positional, strict=True))
        assert list(kwdefaults or {}) == list(keyword)
        assert all(kwdefaults[k] is v for k, v in keyword.items())

    def test_each_parameter_binds_by_keyword(self, name, func, owner):
        """Every parameter given by name reaches the body: whatever the call raises, it is not
        the binder refusing a keyword or missing an argument."""
        sig = inspect.signature(func)
        kwargs = {p.name: Unusable() for p in sig.parameters.values()
                  if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)}
        if any(p.kind is p.POSITIONAL_ONLY for p in sig.parameters.values()):
            pytest.skip("positional-only parameters")
        try:
            func(**kwargs)
        except TypeError as e:
            text = str(e)
            for refusal in ("unexpected keyword", "missing", "multiple values", "positional argument"):
                assert refusal not in text, text
        except Exception:  # noqa: BLE001 - any other outcome means the arguments were bound
            pass


class Unusable:
    """An argument the bodies cannot use: every conversion and protocol refuses it."""

    def __fspath__(self):
        raise TypeError("unusable path")

    def __index__(self):
        raise TypeError("unusable number")

    def __getattr__(self, name):
        raise AttributeError(name)


def test_classes_introspect():
    for module in built_modules():
        for value in vars(module).values():
            if inspect.isclass(value) and value.__module__ == module.__name__:
                try:
                    inspect.signature(value)
                except ValueError as e:  # only classes without any signature may refuse
                    assert "no signature found" in str(e), (value, e)


# ------------------------------------------------------------------ hostile calls

HOSTILE_PASS = r'''
import gc, importlib, importlib.machinery, importlib.util, inspect, os, pkgutil, sys
import orvane

TARGET = []   # what the mutating objects clear

class Boom(Exception):
    pass

def boom(*a, **k):
    raise Boom()

class Raising:
    __hash__ = __eq__ = __lt__ = __le__ = __gt__ = __ge__ = __bool__ = __len__ = boom
    __iter__ = __str__ = __repr__ = __index__ = __int__ = __float__ = __fspath__ = boom
    __getitem__ = __contains__ = boom

class MutatingStr(str):
    def __hash__(self):
        for t in TARGET: t.clear()
        gc.collect()
        return str.__hash__(self)
    def __eq__(self, other):
        for t in TARGET: t.clear()
        return str.__eq__(self, other)
    def __lt__(self, other):
        for t in TARGET: t.clear()
        return str.__lt__(self, other)

class MutatingDict(dict):
    def __getitem__(self, key):
        value = dict.__getitem__(self, key)
        self.clear(); gc.collect()
        return value
    def get(self, key, default=None):
        value = dict.get(self, key, default)
        self.clear(); gc.collect()
        return value
    def __contains__(self, key):
        found = dict.__contains__(self, key)
        self.clear()
        return found

class MutatingList(list):
    def __iter__(self):
        it = list(list.__iter__(self))
        self.clear(); gc.collect()
        return iter(it)
    def __len__(self):
        n = list.__len__(self)
        self.clear()
        return n

class Flaky:
    """Answers comparisons inconsistently and frees what it is compared with."""
    n = 0
    def __lt__(self, other):
        Flaky.n += 1
        for t in TARGET: t.clear()
        return Flaky.n % 2 == 0
    __gt__ = __le__ = __ge__ = __lt__
    def __eq__(self, other):
        return self.__lt__(other)
    __hash__ = object.__hash__
    def __bool__(self):
        for t in TARGET: t.clear()
        return Flaky.n % 2 == 0

def event_like(value):
    ev = MutatingDict(id=MutatingStr("e"), type=MutatingStr("FINDING"), source="s", target=None,
                      payload={"question": value, "severity": value, "empty": value},
                      parent_id=None, instance_id="i", generation=0, depth=0, timestamp=value)
    TARGET.append(ev)
    return ev

def hostiles():
    yield Raising()
    yield Flaky()
    yield MutatingStr("x")
    yield event_like(MutatingStr("q"))
    yield event_like(Flaky())
    yield MutatingList([event_like(Raising()), event_like(MutatingStr("a"))])
    yield [event_like(Flaky()), event_like(Flaky()), {"id": Raising()}]
    yield {"name": MutatingStr("pressure-test"), "question": Raising(), "generation": Flaky(),
           "immutable": Flaky(), "severity": Flaky(), "risk_score": Flaky(), "type": Raising(),
           "items": MutatingList([Raising()]), "total": Flaky(), "description": Raising()}
    yield {MutatingStr("k"): Flaky()}

def plain(annotation):
    text = str(annotation)
    if "dict" in text: return {}
    if "list" in text: return []
    if "tuple" in text: return ()
    if "int" in text: return 0
    if "float" in text: return 0.0
    if "bool" in text: return False
    if "str" in text: return "x"
    return None

def functions():
    for info in pkgutil.iter_modules(orvane.__path__):
        origin = importlib.util.find_spec("orvane." + info.name).origin or ""
        if not origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
            continue  # the host's Python modules are not native callables
        module = importlib.import_module("orvane." + info.name)
        for name, value in list(vars(module).items()):
            if getattr(value, "__module__", None) != module.__name__:
                continue
            if inspect.isclass(value):
                for attr, member in list(vars(value).items()):
                    func = getattr(member, "__func__", None) or getattr(member, "fget", None) or member
                    if callable(func) and getattr(func, "__module__", None) == module.__name__:
                        yield value, func
            elif callable(value):
                yield None, value

calls = 0
for owner, func in functions():
    try:
        sig = inspect.signature(func)
    except (ValueError, TypeError):
        continue
    params = [p for p in sig.parameters.values() if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    for i in range(len(params)):
        for hostile in hostiles():
            args = []
            for j, p in enumerate(params):
                if j == i:
                    args.append(hostile)
                elif j == 0 and owner is not None and p.name in ("self", "cls"):
                    try:
                        args.append(owner if p.name == "cls" else owner.__new__(owner))
                    except Exception:
                        args.append(None)
                else:
                    args.append(plain(p.annotation))
            try:
                func(*args)
            except BaseException as e:
                if isinstance(e, (KeyboardInterrupt, SystemExit)):
                    raise
            calls += 1
            TARGET.clear()
            gc.collect()
print("calls", calls)
'''


def test_hostile_arguments_never_crash(tmp_path):
    """Arguments whose dunders raise, answer inconsistently, or clear and free what the
    native code is reading: every public function survives them (any exception is fine)."""
    # The host's environment (a sanitizer's preloads included), with no programs
    # to start and a home of its own.
    env = {**os.environ, "HOME": str(tmp_path), "PATH": "", "LANG": "C.UTF-8", "NO_PROXY": "*"}
    out = run_in_child(f"import os; os.chdir({str(tmp_path)!r})\n" + HOSTILE_PASS,
                       timeout=600, env=env)
    assert int(out.split()[-1]) > 100


def test_validate_event_with_a_type_that_clears_the_event():
    """The event's type is hashed while the event it came from is cleared: the check holds
    its own references and answers False, twice."""
    out = run_in_child("""
        from orvane import protocol as P
        class S(str):
            def __hash__(self): ev.clear(); return hash("FINDING")
            def __eq__(self, o): return str.__eq__(self, o)
        for _ in range(2):
            ev = P.make_event("FINDING", "s", {}); ev["type"] = S("FINDINGX")
            print(P.validate_event(ev))
    """)
    assert out.split() == ["False", "False"]


# ------------------------------------------------------------ classes and facilities

class TestConstruction:
    """Native classes are called as type.__call__ would call them, whatever the class
    holds at the time of the call."""

    def test_a_replaced_init_is_the_one_called(self, monkeypatch):
        from orvane.triage import Triage
        calls = []
        monkeypatch.setattr(Triage, "__init__", lambda self, *a, **k: calls.append((a, k)))
        t = Triage(1, risk_threshold=2)
        assert calls == [((1,), {"risk_threshold": 2})] and not vars(t)

    def test_a_new_added_later_is_honoured(self):
        # In a child: the host cannot quite undo a __new__ set on a class.
        out = run_in_child("""
            from orvane.goal import Goal
            sentinel = object()
            Goal.__new__ = staticmethod(lambda cls, *a, **k: sentinel)
            print(Goal("g", "o") is sentinel)
        """)
        assert out.split() == ["True"]

    def test_subclasses_and_super(self):
        from orvane.triage import ExecutionMode, Triage

        class Strict(Triage):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                self.strict = True

        s = Strict(ExecutionMode.AUTO, max_refinements=5.9)
        assert (s.strict, s.mode, s.max_refinements) == (True, ExecutionMode.AUTO, 5)
        assert type(Strict.from_config({"mode": "auto"})) is Strict

    def test_argument_errors_name_the_class(self):
        from orvane.goal import Goal
        with pytest.raises(TypeError, match=r"Goal.__init__\(\) missing 1 required positional argument: 'owner'"):
            Goal("g")


class TestUuid:
    def test_event_ids_are_version_4_texts(self):
        import uuid
        from orvane import protocol
        for _ in range(200):
            ev = protocol.make_event("QUESTION", "s", {})
            for text in (ev["id"], ev["instance_id"]):
                u = uuid.UUID(text)
                assert (str(u), u.version, u.variant) == (text, 4, uuid.RFC_4122)

    def test_the_bytes_come_from_os_urandom_as_uuid4_takes_them(self, monkeypatch):
        import os
        import uuid
        from orvane import protocol
        monkeypatch.setattr(os, "urandom", lambda n: bytes(range(n)))
        assert protocol.make_event("QUESTION", "s", {})["id"] == str(uuid.UUID(bytes=bytes(range(16)), version=4))

    def test_a_replaced_uuid4_is_called(self, monkeypatch):
        import uuid
        from orvane import protocol
        monkeypatch.setattr(uuid, "uuid4", lambda: "fixed")
        assert protocol.make_event("QUESTION", "s", {})["id"] == "fixed"


class TestNowIso:
    def test_the_host_clock_in_the_host_form(self):
        """Between two readings of the host's own datetime, in isoformat's form."""
        import datetime
        import re
        from orvane import protocol
        for _ in range(200):
            before = datetime.datetime.now(datetime.timezone.utc)
            text = protocol._now_iso()
            after = datetime.datetime.now(datetime.timezone.utc)
            assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?\+00:00", text)
            assert before <= datetime.datetime.fromisoformat(text) <= after

    def test_a_replaced_datetime_is_asked(self, monkeypatch):
        import datetime
        from orvane import goal, protocol

        class Frozen(datetime.datetime):
            @classmethod
            def now(cls, tz=None):
                return datetime.datetime(2020, 1, 2, 3, 4, 5, tzinfo=tz)

        monkeypatch.setattr(datetime, "datetime", Frozen)
        assert protocol._now_iso() == goal._now_iso() == "2020-01-02T03:04:05+00:00"

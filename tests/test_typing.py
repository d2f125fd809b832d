"""The typing files: stubs as the built modules declare themselves, the attributes they
promise, and a type checker that reads them."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

import orvane

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = Path(orvane.__file__).parent


def generator():
    location = importlib.util.spec_from_file_location("gen_stubs", ROOT / "tools" / "gen_stubs.py")
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


GEN = generator()


class TestStubs:
    @pytest.mark.parametrize("module", GEN.MODULES)
    def test_committed_stub_matches_the_built_module(self, module):
        committed = (ROOT / "orvane" / f"{module}.pyi").read_text(encoding="utf-8")
        assert committed == GEN.render(module), f"run: python tools/gen_stubs.py (orvane/{module}.pyi is stale)"

    def test_listed_instance_attributes_exist_on_real_objects(self, tmp_path):
        from orvane import brain, capabilities, forge, goal, ledger, notify, temporal, triage

        events = ledger.Ledger(str(tmp_path / "ledger.jsonl"))
        objects = {
            "ledger.Ledger": events,
            "brain.ClaudeCodeBrain": brain.ClaudeCodeBrain(),
            "brain.GenericCLIBrain": brain.GenericCLIBrain("prog"),
            "forge.Forge": forge.Forge(brain.ClaudeCodeBrain(), events, str(tmp_path / "q")),
            "triage.Triage": triage.Triage(),
            "temporal.TemporalCheckpoint": temporal.TemporalCheckpoint("CP-1", {}, "", "", ""),
            "temporal.TemporalManager": temporal.TemporalManager(str(tmp_path)),
            "goal.Goal": goal.Goal("g", "o"),
            "capabilities.CapabilityMap": capabilities.CapabilityMap(),
            "notify.FileNotifier": notify.FileNotifier(str(tmp_path / "r")),
            "notify.LogNotifier": notify.LogNotifier(str(tmp_path / "l")),
            "notify.WebhookNotifier": notify.WebhookNotifier("http://127.0.0.1:9/"),
            "notify.NotificationBus": notify.NotificationBus(),
        }
        assert set(objects) == set(GEN.INSTANCE_ATTRIBUTES)
        for name, instance in objects.items():
            missing = [a for a in GEN.INSTANCE_ATTRIBUTES[name] if not hasattr(instance, a)]
            assert not missing, f"{name} lacks {missing}"

    def test_the_package_holds_typing_files_and_no_sources(self):
        assert (PACKAGE / "py.typed").is_file()
        for module in GEN.MODULES:
            assert (PACKAGE / f"{module}.pyi").is_file()
        sources = [p.name for p in PACKAGE.rglob("*") if p.suffix in (".cpp", ".hpp")]
        assert sources == []


class TestTypeChecker:
    def mypy(self, *args, cwd):
        pytest.importorskip("mypy")
        return subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--strict",
                               "--config-file", str(ROOT / "pyproject.toml"), *args],
                              capture_output=True, text=True, cwd=cwd, timeout=600)

    def test_the_host_type_checks_strictly_against_the_stubs(self):
        files = sorted(str(p.relative_to(ROOT)) for p in (ROOT / "orvane").glob("*.py"))
        result = self.mypy(*files, cwd=ROOT)
        assert result.returncode == 0, result.stdout

    def test_a_caller_sees_the_declared_types(self, tmp_path):
        (tmp_path / "use.py").write_text(
            "from orvane import ledger, protocol, triage\n"
            "event = protocol.make_event('FINDING', 'brain', {})\n"
            "mode: triage.ExecutionMode = triage.Triage.from_config({}).mode\n"
            "count: int = ledger.Ledger('x').size()\n"
            "protocol.make_event(1, 'brain', {})\n")
        result = self.mypy("use.py", cwd=tmp_path)
        assert result.returncode == 1
        assert result.stdout.count("error:") == 1 and 'Argument 1 to "make_event" has incompatible type "int"' in result.stdout

"""Tests for orvane.vcsguard against real git in temporary repositories."""
import datetime
import logging
import os
import pathlib
import subprocess

import pytest
from hypothesis import given, strategies as st

from orvane import vcsguard
from tests.conftest import run_in_child

UNAVAILABLE = (1, "git not available or timed out")


def git(cwd, *args):
    return subprocess.run(["git", *args], cwd=cwd, capture_output=True, text=True,
                          check=True).stdout.strip()


@pytest.fixture(autouse=True)
def isolated(tmp_path, monkeypatch):
    """Identity from the environment, HOME and the worktree base inside the test's directory."""
    for role in ("AUTHOR", "COMMITTER"):
        monkeypatch.setenv(f"GIT_{role}_NAME", "Tester")
        monkeypatch.setenv(f"GIT_{role}_EMAIL", "tester@example.com")
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")
    monkeypatch.setenv("GIT_CEILING_DIRECTORIES", str(tmp_path))
    monkeypatch.setattr(vcsguard, "_WORKTREE_BASE", tmp_path / "home" / ".orvane" / "worktrees")


@pytest.fixture
def repo(tmp_path):
    """A repository on branch "master" with one commit."""
    path = tmp_path / "repo"
    path.mkdir()
    (path / "a.txt").write_text("one\n")
    git(path, "init", "-q", "-b", "master")
    git(path, "add", "-A")
    git(path, "commit", "-q", "-m", "first")
    return str(path)


def records(caplog):
    return [(r.levelname, r.msg, r.args) for r in caplog.records if r.name == "orvane.vcsguard"]


class TestRunner:
    def test_output_is_stdout_then_stderr_stripped(self, repo):
        alias = "alias.both=!printf '  out\\n'; printf 'err  \\n' >&2; exit 3"
        assert vcsguard._run_git(repo, "-c", alias, "both") == (3, "out\nerr")

    def test_arguments_reach_git_uninterpreted(self, repo, tmp_path):
        message = "$(touch pwned); `touch pwned` | * ; 'quoted'"
        assert vcsguard._run_git(repo, "commit", "-q", "--allow-empty", "-m", message)[0] == 0
        assert git(repo, "log", "-1", "--format=%s") == message
        assert not list(tmp_path.rglob("pwned"))

    def test_start_failures(self, repo, tmp_path, monkeypatch):
        """A missing directory answers like a missing program; a file as directory is raised."""
        assert vcsguard._run_git(str(tmp_path / "nowhere"), "status") == UNAVAILABLE
        with pytest.raises(NotADirectoryError):
            vcsguard._run_git(str(tmp_path / "repo" / "a.txt"), "status")
        monkeypatch.setenv("PATH", "")
        assert vcsguard._run_git(repo, "status") == UNAVAILABLE

    def test_through_the_host_subprocess_run(self, repo, monkeypatch):
        """The host's subprocess.run, looked up per call: a timeout answers like a missing
        program, any other failure to start is the caller's."""
        calls = []

        def fake_run(*args, **kwargs):
            calls.append((args, kwargs))
            raise errors.pop(0)

        errors = [subprocess.TimeoutExpired(["git"], 30), PermissionError(13, "denied")]
        monkeypatch.setattr(subprocess, "run", fake_run)
        assert vcsguard._run_git(repo, "status") == UNAVAILABLE
        with pytest.raises(PermissionError):
            vcsguard._run_git(repo, "status")
        assert calls[0] == ((["git", "status"],),
                            {"cwd": repo, "capture_output": True, "text": True,
                             "errors": "replace", "timeout": 30})

    def test_output_that_is_not_utf8_is_replaced_not_raised(self, repo):
        with open(os.path.join(repo, "bad.txt"), "wb") as f:
            f.write(b"caf\xe9 \xff\n")
        git(repo, "add", "bad.txt")
        git(repo, "commit", "-q", "-m", "bytes")
        assert vcsguard._run_git(repo, "show", "HEAD:bad.txt") == (0, "caf\ufffd \ufffd")

    def test_without_git_every_operation_is_neutral(self, repo, monkeypatch, caplog):
        monkeypatch.setenv("PATH", "")
        caplog.set_level(logging.INFO)
        assert vcsguard.has_git(repo) is False
        assert vcsguard.init_git(repo) is False
        assert vcsguard.current_branch(repo) == ""
        assert vcsguard.ensure_worktree(repo, "inst") == repo
        assert vcsguard.snapshot_before(repo, "x") is None
        assert vcsguard.rollback_to(repo, "HEAD") is False
        assert vcsguard.merge_worktree(repo, "inst") is False
        assert records(caplog) == [
            ("ERROR", "Failed to create worktree: %s", (UNAVAILABLE[1],)),
            ("ERROR", "Merge failed: %s", (UNAVAILABLE[1],)),
        ]


class TestInitGit:
    def test_existing_repository_is_left_alone(self, repo):
        head = git(repo, "rev-parse", "HEAD")
        assert vcsguard.init_git(repo) is False
        assert git(repo, "rev-parse", "HEAD") == head

    def test_new_repository(self, tmp_path):
        empty, full = tmp_path / "empty", tmp_path / "full"
        empty.mkdir()
        (full / "sub").mkdir(parents=True)
        (full / "sub" / "f.txt").write_text("f")
        assert vcsguard.init_git(str(empty)) is True
        assert vcsguard.has_git(str(empty)) and vcsguard._run_git(str(empty), "rev-parse", "HEAD")[0] != 0
        assert vcsguard.init_git(str(full)) is True
        assert git(full, "log", "--format=%s") == "Initial commit (auto-created by Orvane)"
        assert git(full, "ls-files") == "sub/f.txt"


class TestInstanceNames:
    @given(st.text(alphabet="a./", max_size=7))
    def test_a_worktree_is_always_strictly_inside_the_base(self, name):
        base = vcsguard._WORKTREE_BASE
        parts = name.split("/")
        if not name or any(p in ("", ".", "..") for p in parts):
            with pytest.raises(ValueError, match="Invalid instance name"):
                vcsguard.worktree_path(name)
        else:
            path = vcsguard.worktree_path(name)
            assert path == base.joinpath(*parts) and base in path.parents
            assert os.path.normpath(path) == str(path)

    @pytest.mark.parametrize("name", ["", "{victim}", "../../victim", "a/../../../victim", "a//b", "."])
    def test_escaping_names_are_refused_before_anything_happens(self, repo, tmp_path, name):
        (tmp_path / "home" / "victim").mkdir(parents=True)
        name = name.format(victim=tmp_path / "home" / "victim")
        for call in (lambda: vcsguard.ensure_worktree(repo, name),
                     lambda: vcsguard.remove_worktree(repo, name),
                     lambda: vcsguard.worktree_exists(name)):
            with pytest.raises(ValueError):
                call()
        assert (tmp_path / "home" / "victim").is_dir()
        assert not vcsguard._WORKTREE_BASE.exists()

class TestEnsureWorktree:
    def test_created_once_then_reused(self, repo, caplog, monkeypatch):
        caplog.set_level(logging.INFO)
        first = vcsguard.ensure_worktree(repo, "team/inst")
        wt = vcsguard.worktree_path("team/inst")
        assert first == str(wt) and wt.is_dir()
        assert git(wt, "rev-parse", "--abbrev-ref", "HEAD") == "k7/team/inst"
        assert vcsguard.current_branch(repo) == "master"

        commands = []
        real = vcsguard._run_git
        monkeypatch.setattr(vcsguard, "_run_git", lambda t, *a: commands.append(a) or real(t, *a))
        assert vcsguard.ensure_worktree(repo, "team/inst") == first
        assert len(commands) == 2
        assert records(caplog) == [
            ("INFO", "Created worktree at %s on branch %s", (wt, "k7/team/inst"))]
        assert vcsguard.worktree_exists("team/inst") is True

    @pytest.mark.parametrize("branches, expected", [
        (["dev", "main"], "main"), (["dev"], "dev"), (["master"], "master")])
    def test_target_leaves_the_instance_branch(self, repo, branches, expected):
        git(repo, "branch", "-m", "master", "k7/inst")
        for name in branches:
            git(repo, "branch", name)
        assert vcsguard.ensure_worktree(repo, "inst") == str(vcsguard.worktree_path("inst"))
        assert vcsguard.current_branch(repo) == expected

    def test_not_a_repository(self, tmp_path, caplog, monkeypatch):
        """The target comes back; the record goes to whatever `logger` holds at the time."""
        monkeypatch.setattr(vcsguard, "logger", logging.getLogger("replacement"))
        target = str(tmp_path / "plain")
        os.mkdir(target)
        assert vcsguard.ensure_worktree(target, "inst") is target
        (record,) = caplog.records
        assert (record.name, record.levelname, record.msg) == (
            "replacement", "ERROR", "Failed to create worktree: %s")

    def test_plain_directory_and_wrong_branch_are_recreated(self, repo, caplog):
        wt = vcsguard.worktree_path("inst")
        wt.mkdir(parents=True)
        (wt / "stale").write_text("x")
        assert vcsguard.ensure_worktree(repo, "inst") == str(wt)
        assert not (wt / "stale").exists() and vcsguard.worktree_exists("inst")

        git(wt, "checkout", "-q", "-b", "elsewhere")
        caplog.clear()
        assert vcsguard.ensure_worktree(repo, "inst") == str(wt)
        assert git(wt, "rev-parse", "--abbrev-ref", "HEAD") == "k7/inst"
        assert records(caplog)[0] == ("WARNING", "Worktree %s on wrong branch %s, recreating",
                                      (wt, "elsewhere"))

    def test_branch_outlives_its_worktree(self, repo):
        wt = vcsguard.ensure_worktree(repo, "inst")
        (vcsguard.worktree_path("inst") / "work.txt").write_text("w")
        commit = vcsguard.snapshot_before(wt, "work")
        assert vcsguard.remove_worktree(repo, "inst") is True
        assert vcsguard.worktree_exists("inst") is False
        wt = vcsguard.ensure_worktree(repo, "inst")
        assert git(wt, "rev-parse", "HEAD") == commit

class TestRemoveWorktree:
    def test_without_worktree(self, repo, caplog):
        assert vcsguard.remove_worktree(repo, "inst") is True
        (level, msg, _), = records(caplog)
        assert (level, msg) == ("WARNING", "git worktree remove failed: %s, cleaning manually")

    def test_links_inside_lead_nowhere(self, repo, tmp_path):
        """The manual clean-up deletes a link, never what it points to."""
        outside = tmp_path / "outside"
        (outside / "deep").mkdir(parents=True)
        (outside / "deep" / "keep.txt").write_text("keep")
        wt = vcsguard.worktree_path("inst")
        wt.mkdir(parents=True)
        (wt / "link").symlink_to(outside)
        (wt / "file-link").symlink_to(outside / "deep" / "keep.txt")
        assert vcsguard.remove_worktree(repo, "inst") is True
        wt.parent.mkdir(exist_ok=True)
        wt.symlink_to(outside, target_is_directory=True)
        assert vcsguard.remove_worktree(repo, "inst") is True
        assert not os.path.lexists(wt)
        assert (outside / "deep" / "keep.txt").read_text() == "keep"

    def test_a_linked_parent_is_not_followed(self, repo, tmp_path):
        outside = tmp_path / "outside"
        (outside / "inst").mkdir(parents=True)
        vcsguard._WORKTREE_BASE.mkdir(parents=True)
        (vcsguard._WORKTREE_BASE / "team").symlink_to(outside)
        assert vcsguard.remove_worktree(repo, "team/inst") is False
        assert (outside / "inst").is_dir()

    def test_a_linked_base_is_still_the_base(self, repo, tmp_path, monkeypatch):
        real_base = tmp_path / "disk" / "worktrees"
        (real_base / "inst").mkdir(parents=True)
        (tmp_path / "alias").symlink_to(real_base)
        monkeypatch.setattr(vcsguard, "_WORKTREE_BASE", tmp_path / "alias")
        assert vcsguard.remove_worktree(repo, "inst") is True
        assert not (real_base / "inst").exists()


class TestMergeAndBranch:
    @pytest.fixture
    def worked(self, repo):
        wt = vcsguard.ensure_worktree(repo, "inst")
        (vcsguard.worktree_path("inst") / "new.txt").write_text("new")
        vcsguard.snapshot_after(wt, "added", True)
        return repo

    def test_merge_into_the_current_branch(self, worked):
        assert vcsguard.merge_worktree(worked, "inst") is True
        assert git(worked, "log", "-1", "--format=%s") == "[k7] merge k7/inst"
        assert len(git(worked, "log", "-1", "--format=%p").split()) == 2  # never fast-forwarded
        assert vcsguard.current_branch(worked) == "master" and git(worked, "ls-files", "new.txt")

    def test_merge_into_a_named_branch(self, worked, caplog):
        git(worked, "branch", "release")
        assert vcsguard.merge_worktree(worked, "inst", "nosuch") is False
        assert vcsguard.merge_worktree(worked, "inst", "release") is True
        assert vcsguard.current_branch(worked) == "release"
        assert records(caplog) == []

    def test_conflicting_merge(self, worked, tmp_path, caplog):
        (tmp_path / "repo" / "new.txt").write_text("other")
        git(worked, "add", "-A")
        git(worked, "commit", "-q", "-m", "conflict")
        assert vcsguard.merge_worktree(worked, "inst") is False
        (level, msg, _), = records(caplog)
        assert (level, msg) == ("ERROR", "Merge failed: %s")

    def test_ensure_branch(self, repo, monkeypatch):
        assert vcsguard.ensure_branch(repo, "inst") == "k7/inst"
        assert vcsguard.current_branch(repo) == "k7/inst"
        git(repo, "checkout", "-q", "master")
        assert vcsguard.ensure_branch(repo, "inst") == "k7/inst"
        assert vcsguard.current_branch(repo) == "k7/inst"
        monkeypatch.setattr(vcsguard, "_run_git", lambda *a: pytest.fail("git ran"))
        monkeypatch.setattr(vcsguard, "current_branch", lambda t: "k7/inst")
        assert vcsguard.ensure_branch(repo, "inst") == "k7/inst"


class TestSnapshots:
    @pytest.fixture
    def fixed_clock(self, monkeypatch):
        class Fixed(datetime.datetime):
            @classmethod
            def now(cls, tz=None):
                assert tz is datetime.timezone.utc
                return cls(2026, 1, 2, 3, 4, 5, 678, tzinfo=tz)

        monkeypatch.setattr(datetime, "datetime", Fixed)

    def test_clean_tree_makes_no_commit(self, repo):
        head = git(repo, "rev-parse", "HEAD")
        assert vcsguard.snapshot_before(repo, "x") is None
        assert vcsguard.snapshot_after(repo, "x", True) is None
        assert git(repo, "rev-parse", "HEAD") == head

    @pytest.mark.parametrize("description", ["", "é" * 99, "ß" * 100, "😀" * 150])
    def test_pre_action_message(self, repo, tmp_path, fixed_clock, description):
        (tmp_path / "repo" / "a.txt").unlink()
        (tmp_path / "repo" / "b.txt").write_text("b")
        commit = vcsguard.snapshot_before(repo, description)
        assert commit == git(repo, "rev-parse", "HEAD")
        assert git(repo, "log", "-1", "--format=%B") == (
            "[k7] pre-action snapshot 20260102-030405: " + description[:100]).strip()
        assert git(repo, "status", "--porcelain") == ""

    @pytest.mark.parametrize("success, word", [(True, "success"), (0, "failed"), ([], "failed"),
                                               ("yes", "success")])
    def test_post_action_message(self, repo, tmp_path, fixed_clock, success, word):
        (tmp_path / "repo" / "a.txt").write_text("changed")
        assert vcsguard.snapshot_after(repo, "deploy", success) == git(repo, "rev-parse", "HEAD")
        assert git(repo, "log", "-1", "--format=%s") == f"[k7] post-action {word} 20260102-030405: deploy"

    def test_rollback(self, repo, tmp_path):
        work = tmp_path / "repo" / "a.txt"
        work.write_text("before")
        commit = vcsguard.snapshot_before(repo, "act")
        work.write_text("after")
        vcsguard.snapshot_after(repo, "act", True)
        work.write_text("uncommitted")
        assert vcsguard.rollback_to(repo, commit) is True
        assert work.read_text() == "before"
        assert vcsguard.rollback_to(repo, "0" * 40) is False

    def test_refused_commit_is_no_snapshot(self, repo, tmp_path):
        hook = tmp_path / "repo" / ".git" / "hooks" / "pre-commit"
        hook.write_text("#!/bin/sh\nexit 1\n")
        hook.chmod(0o755)
        head = git(repo, "rev-parse", "HEAD")
        (tmp_path / "repo" / "a.txt").write_text("precious")
        assert vcsguard.snapshot_before(repo, "act") is None
        assert vcsguard.snapshot_after(repo, "act", False) is None
        assert git(repo, "rev-parse", "HEAD") == head
        assert (tmp_path / "repo" / "a.txt").read_text() == "precious"


class TestNothingOutsideTheBase:
    """Links at or above a worktree's place never let git or the clean-up reach the user's
    own files: here the user's second worktree of the same repository, with work in it
    that was never committed."""

    @pytest.fixture
    def users_worktree(self, repo, tmp_path):
        theirs = tmp_path / "theirs" / "inst"
        git(repo, "worktree", "add", "-q", "-b", "their-branch", str(theirs))
        (theirs / "draft.txt").write_text("uncommitted")
        return theirs

    def intact(self, theirs):
        return (theirs / "draft.txt").read_text() == "uncommitted" and git(
            theirs, "rev-parse", "--abbrev-ref", "HEAD") == "their-branch"

    def test_a_link_at_the_worktrees_place(self, repo, users_worktree):
        wt = vcsguard.worktree_path("inst")
        wt.parent.mkdir(parents=True)
        wt.symlink_to(users_worktree, target_is_directory=True)
        assert vcsguard.remove_worktree(repo, "inst") is True
        assert not os.path.lexists(wt) and self.intact(users_worktree)

        wt.symlink_to(users_worktree, target_is_directory=True)
        assert vcsguard.ensure_worktree(repo, "inst") == str(wt)
        assert not wt.is_symlink() and git(wt, "rev-parse", "--abbrev-ref", "HEAD") == "k7/inst"
        assert self.intact(users_worktree)
        assert vcsguard.remove_worktree(repo, "inst") is True and self.intact(users_worktree)

    def test_a_link_on_the_way(self, repo, users_worktree, caplog):
        vcsguard._WORKTREE_BASE.mkdir(parents=True)
        (vcsguard._WORKTREE_BASE / "team").symlink_to(users_worktree.parent)
        assert vcsguard.remove_worktree(repo, "team/inst") is False
        assert self.intact(users_worktree)
        assert vcsguard.ensure_worktree(repo, "team/inst") is repo
        assert self.intact(users_worktree)
        assert records(caplog)[-1][:2] == ("ERROR", "Failed to create worktree: %s")
        assert "outside" in str(records(caplog)[-1][2][0])

    def test_never_inside_the_target(self, repo, tmp_path, monkeypatch, caplog):
        monkeypatch.setattr(vcsguard, "_WORKTREE_BASE", tmp_path / "repo" / "trees")
        assert vcsguard.ensure_worktree(repo, "inst") is repo
        assert not (tmp_path / "repo" / "trees").exists()
        assert records(caplog)[-1][:2] == ("ERROR", "Failed to create worktree: %s")


class TestCallersNamesAreNoOptions:
    def test_branches_and_commits_that_read_as_options(self, repo, tmp_path):
        wt = vcsguard.ensure_worktree(repo, "inst")
        (vcsguard.worktree_path("inst") / "new.txt").write_text("new")
        vcsguard.snapshot_after(wt, "added", True)
        git(repo, "update-ref", "refs/heads/-f", "HEAD")  # only plumbing makes such a branch
        edit = tmp_path / "repo" / "a.txt"
        edit.write_text("uncommitted edit")
        head = git(repo, "rev-parse", "HEAD")
        for name in ["-f", "--force", "-", "master~0", "@{-1}", "HEAD"]:
            assert vcsguard.merge_worktree(repo, "inst", name) is False, name
        for commit in ["--quiet", "-q", "--merge"]:
            assert vcsguard.rollback_to(repo, commit) is False, commit
        assert edit.read_text() == "uncommitted edit" and git(repo, "rev-parse", "HEAD") == head
        assert vcsguard.current_branch(repo) == "master"


class TestRelativeHome:
    def test_worktrees_land_where_the_caller_finds_them(self, repo, tmp_path):
        caller = tmp_path / "caller"
        caller.mkdir()
        env = {**os.environ, "HOME": "rel"}
        out = run_in_child(f"""
            import os
            from orvane import vcsguard
            base = vcsguard._WORKTREE_BASE
            wt = vcsguard.ensure_worktree({repo!r}, "inst")
            print(base, wt, os.path.isdir(wt), sep="\\n")
        """, env=env, cwd=str(caller))
        base, wt, found = out.splitlines()
        assert base == str(caller / "rel" / ".orvane" / "worktrees")
        assert wt == base + "/inst" and found == "True"
        assert not (tmp_path / "repo" / "rel").exists()

    def test_a_relative_base_set_later(self, repo, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        monkeypatch.setattr(vcsguard, "_WORKTREE_BASE", pathlib.Path("trees"))
        wt = vcsguard.ensure_worktree(repo, "inst")
        assert wt == os.path.join("trees", "inst") and os.path.isdir(wt)
        assert git(wt, "rev-parse", "--abbrev-ref", "HEAD") == "k7/inst"
        assert not (tmp_path / "repo" / "trees").exists()
        assert vcsguard.remove_worktree(repo, "inst") is True and not os.path.exists(wt)


def test_a_frozen_clock_of_any_kind(repo, tmp_path):
    """The stamp is shown as an f-string shows it, whatever the patched clock's strftime
    gives; a value that cannot be shown is the host's TypeError, never a crash."""
    out = run_in_child(f"""
        import datetime, os, subprocess
        from orvane import vcsguard

        class Stamp:
            def __format__(self, spec):
                return "STAMP" if isinstance(self.text, str) else self.text
            def __init__(self, text):
                self.text = text

        def clock(value):
            class Frozen(datetime.datetime):
                @classmethod
                def now(cls, tz=None):
                    return type("Moment", (), {{"strftime": lambda self, f: value}})()
            datetime.datetime = Frozen

        work = os.path.join({repo!r}, "a.txt")
        for n, value in enumerate([20260102, Stamp("x"), None, Stamp(7)]):
            clock(value)
            with open(work, "w") as f:
                f.write(str(n))
            try:
                vcsguard.snapshot_before({repo!r}, "act") and vcsguard.snapshot_after({repo!r}, "act", 1)
            except TypeError as e:
                print("TypeError", e)
        log = subprocess.run(["git", "log", "--format=%s"], cwd={repo!r}, capture_output=True,
                             text=True).stdout
        print(log)
    """, env={**os.environ})
    lines = out.splitlines()
    assert lines[0].startswith("TypeError") and "__format__" in lines[0]
    assert lines[1:4] == ["[k7] pre-action snapshot None: act",
                          "[k7] pre-action snapshot STAMP: act",
                          "[k7] pre-action snapshot 20260102: act"]

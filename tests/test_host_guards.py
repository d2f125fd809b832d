"""Small guards of the host that the end-to-end runs reach only in rare states: where a
repository's top is, when a finding is the same one again, when a worktree has no
rollback point. In process, on real git repositories."""

import subprocess

import pytest

from orvane import actions, cycle


def git(*args, cwd):
    return subprocess.run(["git", *args], cwd=cwd, capture_output=True, text=True, check=True).stdout.strip()


@pytest.fixture
def repository(tmp_path, monkeypatch):
    for name, value in (("GIT_AUTHOR_NAME", "t"), ("GIT_COMMITTER_NAME", "t"),
                        ("GIT_AUTHOR_EMAIL", "t@example.test"), ("GIT_COMMITTER_EMAIL", "t@example.test"),
                        ("GIT_CONFIG_NOSYSTEM", "1"), ("HOME", str(tmp_path))):
        monkeypatch.setenv(name, value)
    root = tmp_path / "repo"
    (root / "sub" / "deeper").mkdir(parents=True)
    (root / "sub" / "deeper" / "a.txt").write_text("a\n")
    git("init", "-q", "-b", "main", cwd=root)
    git("add", ".", cwd=root)
    git("commit", "-qm", "start", cwd=root)
    return root


def test_the_top_of_a_repository_from_inside_it_and_none_outside(tmp_path, repository):
    outside = tmp_path / "plain"
    outside.mkdir()
    for top in (actions.repository_root, cycle.git_toplevel):
        assert top(repository / "sub" / "deeper") == repository.resolve()
        assert top(repository) == repository.resolve()
        assert top(outside) is None  # git's complaint is no path


@pytest.mark.parametrize("candidate, same", [
    ({"description": "no README", "category": "docs", "evidence": "README:1"}, True),
    ({"description": "the README is missing", "category": "docs", "evidence": "README:1"}, True),  # reworded
    ({"description": "no README", "category": "docs", "evidence": "README:9"}, True),  # moved
    ({"description": "the README is missing", "category": "docs", "evidence": "docs/x:1"}, False),
    ({"description": "no README", "category": "tests", "evidence": "README:1"}, False),  # another kind
])
def test_a_finding_is_the_same_again_by_its_kind_and_its_words_or_its_place(candidate, same):
    original = {"description": "no README", "category": "docs", "evidence": "README:1"}
    other = {"description": "unrelated", "category": "docs", "evidence": "z:1"}
    assert cycle.same_finding(original, [other, candidate]) == (candidate if same else None)
    # Without evidence, only the words count.
    assert cycle.same_finding({**original, "evidence": ""}, [{**candidate, "evidence": ""}]) == (
        {**candidate, "evidence": ""} if candidate["description"] == "no README" and candidate["category"] == "docs"
        else None)


def test_a_worktree_that_stays_dirty_after_its_commit_has_no_rollback_point(repository):
    # A hook that leaves a new file behind after every commit: git takes the commit, yet
    # the tree is never clean, so the commit is not a point that holds everything.
    hook = repository / ".git" / "hooks" / "post-commit"
    hook.write_text("#!/bin/sh\ndate +%s%N > \"stray-$$.txt\"\n")
    hook.chmod(0o755)
    (repository / "sub" / "deeper" / "a.txt").write_text("changed\n")
    point = actions.rollback_point(str(repository), "p")
    assert point.commit is None and "could not be committed" in point.reason

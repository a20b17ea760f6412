"""Files the agents keep beside their sessions: one agent_file event each, tied
to the session their path or content names, and bad input a diagnostic that
names the file and loses nothing else."""

import os

import pytest

import tracequill

from conftest import write_tree

S = "c682c3a7-4855-4159-bcb5-c401e454f0a5"
PROJECT = f".claude/projects/-home-user-project/{S}"
FILES = {
    ".claude/settings.json": b'{"model":"opus","permissions":{"allow":[]}}',
    ".claude/settings.local.json": b"permissions: none\n",
    ".claude/plans/quiet-plan.md": b"# Plan\n" + b"step\n" * 40,
    ".claude/plans/shared-plan.md": b"# Plan\n",
    ".claude/plans/lone-plan.md": b"# Plan\n",
    ".claude/shell-snapshots/snapshot-bash-1-x.sh": b"export A=1\n",
    f".claude/todos/{S}-agent-{S}.json": b'[{"content":"one","status":"completed","activeForm":"a"},'
    b'{"content":"two","status":"pending","activeForm":"b"}]',
    f".claude/tasks/{S}/49.json": b'{"id":"49","subject":"Write tests","status":"pending","blocks":[]}',
    ".claude/sessions/1.json": f'{{"pid":1,"sessionId":"{S}","cwd":"/p","startedAt":1738008795139}}'.encode(),
    ".claude/projects/-home-user-project/memory/notes.md": b"remember\n",
    f"{PROJECT}/tool-results/toolu_01abc.txt": b"long output\n",
    f"{PROJECT}/subagents/agent-a1b2.meta.json": b'{"agentType":"Explore","description":"Find the tests"}',
    f".codex/shell_snapshots/{S}.1767225600000000000.sh": b"export B=2\n",
}


def record(session, uuid, **extra):
    members = "".join(f',"{k}":"{v}"' for k, v in extra.items())
    return (f'{{"type":"user","sessionId":"{session}","uuid":"{uuid}"{members},'
            f'"timestamp":"2025-01-01T00:00:00Z","message":{{"role":"user","content":"go"}}}}\n').encode()


# Subagent transcripts, one with a meta file beside it; sessions that name
# their plans by slug, two of them the same.
P = ".claude/projects/-home-user-project"
TRANSCRIPTS = {
    f"{PROJECT}/subagents/agent-a1b2.jsonl": record(S, "u1", agentId="a1b2", slug="quiet-plan"),
    f"{PROJECT}/subagents/agent-c3d4.jsonl": record(S, "u2", agentId="c3d4"),
    f"{P}/{S}.jsonl": record(S, "u3", slug="quiet-plan"),
    f"{P}/t1.jsonl": record("t1", "u4", slug="shared-plan"),
    f"{P}/t2.jsonl": record("t2", "u5", slug="shared-plan"),
}


@pytest.fixture
def home(tmp_path):
    root = write_tree(tmp_path / "home", FILES | TRANSCRIPTS)
    (tmp_path / "secret.txt").write_text("outside")
    os.symlink(tmp_path / "secret.txt", root / f"{PROJECT}/tool-results/toolu_02out.txt")
    return root


def test_each_file_is_one_event_tied_to_its_session(home):
    timeline = tracequill.Timeline(home)
    found = {e["source"]["relative_path"]: e for e in timeline if e["event_type"] == "agent_file"}
    expected = [
        (".claude/settings.json", "settings", "settings: model, permissions", None),
        (".claude/settings.local.json", "settings", "settings.local.json", None),
        (".claude/plans/quiet-plan.md", "plan", "quiet-plan.md", S),
        (".claude/plans/shared-plan.md", "plan", "shared-plan.md", None),
        (".claude/plans/lone-plan.md", "plan", "lone-plan.md", None),
        (".claude/shell-snapshots/snapshot-bash-1-x.sh", "shell_snapshot", "snapshot-bash-1-x.sh", None),
        (f".claude/todos/{S}-agent-{S}.json", "todos", "2 todos, 1 completed: two", S),
        (f".claude/tasks/{S}/49.json", "task", "Write tests (pending)", S),
        (".claude/sessions/1.json", "session_pid", "pid 1", S),
        (".claude/projects/-home-user-project/memory/notes.md", "memory", "notes.md", None),
        (f"{PROJECT}/tool-results/toolu_01abc.txt", "tool_output", "toolu_01abc.txt", S),
        (f"{PROJECT}/subagents/agent-a1b2.meta.json", "subagent_meta", "Explore: Find the tests", S),
        (f".codex/shell_snapshots/{S}.1767225600000000000.sh", "shell_snapshot", f"{S}.1767225600000000000.sh", S),
    ]
    assert sorted(found) == sorted(row[0] for row in expected)
    for path, record_type, message, session in expected:
        event = found[path]
        assert (event["source"]["record_type"], event["message"], event["session_id"]) == (record_type, message, session), path
        assert event["artifact"]["size"] == len(FILES[path]) and event["artifact"]["content"] is None
    assert found[f"{PROJECT}/tool-results/toolu_01abc.txt"]["source"]["source_id"] == "toolu_01abc"
    assert found[f"{PROJECT}/subagents/agent-a1b2.meta.json"]["source"]["source_id"] == "agent-a1b2"
    pid = found[".claude/sessions/1.json"]
    assert (pid["timestamp"], pid["working_directory"]) == ("2025-01-27T20:13:15.139Z", "/p")
    # Every file is read but the link, which leads outside the evidence.
    unread = [f for f in timeline.coverage()["files"] if f["reason"] is not None]
    assert [f["path"] for f in unread] == [f"{PROJECT}/tool-results/toolu_02out.txt"]
    assert not any(e["event_type"] == "agent_file" for e in tracequill.Timeline(home, transcripts=False))


def test_a_subagents_meta_file_describes_its_events(home):
    who = {(e["event_type"], e["source"]["relative_path"].rsplit("/", 1)[1]): e["who"] for e in tracequill.Timeline(home)
           if e["who"] and e["who"]["agent_id"]}
    described = {"agent_id": "a1b2", "parent_session_id": S, "agent_type": "Explore", "agent_description": "Find the tests"}
    assert who[("agent_file", "agent-a1b2.meta.json")] == described | {"actor": None}
    assert who[("prompt_input", "agent-a1b2.jsonl")] == described | {"actor": "agent"}
    assert (who[("prompt_input", "agent-c3d4.jsonl")]["agent_type"], who[("prompt_input", "agent-c3d4.jsonl")]["agent_description"]) == (None, None)


def test_bad_files_are_diagnostics_that_name_them(home):
    timeline = tracequill.Timeline(home, include_content=True, max_content_size=64)
    problems = {(d["source"]["relative_path"], d["code"], d["message"].split(":")[0]) for d in timeline.diagnostics}
    assert problems == {
        (".claude/settings.local.json", "invalid_json", "Invalid JSON"),
        (".claude/plans/quiet-plan.md", "unreadable_artifact", "File size 207 exceeds max_content_size 64; its content is not kept."),
        (f"{PROJECT}/tool-results/toolu_02out.txt", "unreadable_artifact", "Not following symbolic link"),
    }
    kept = {e["source"]["relative_path"]: e["artifact"]["content"] for e in timeline if e["event_type"] == "agent_file"}
    assert kept[".claude/settings.json"] == FILES[".claude/settings.json"].decode()
    assert kept[".claude/plans/quiet-plan.md"] is None


def test_a_walk_problem_is_told_once(home):
    # A link back to its own directory: every walk below projects/ meets it.
    os.symlink("..", home / ".claude/projects/-home-user-project/loop")
    paths = [d["source"]["relative_path"] for d in tracequill.Timeline(home, follow_symlinks=True).diagnostics]
    assert paths and len(paths) == len(set(paths)), paths

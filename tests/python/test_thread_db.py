"""Codex's thread database: read from a private copy that sees the write-ahead
log, with every byte and time of the profile left as it was."""

import glob
import os
import sqlite3
import tempfile

import pytest

import tracequill

from conftest import write_tree

ROLLOUT = "sessions/2026/01/01/rollout-2026-01-01T00-00-00-00000000-0000-0000-0000-000000000001.jsonl"
SCHEMA = (
    "CREATE TABLE threads (id TEXT PRIMARY KEY, rollout_path TEXT, created_at_ms INTEGER, cwd TEXT,"
    " title TEXT, model TEXT, git_sha TEXT, git_branch TEXT, git_origin_url TEXT);"
    "CREATE TABLE thread_spawn_edges (parent_thread_id TEXT, child_thread_id TEXT, status TEXT);"
)


@pytest.fixture
def codex(tmp_path):
    root = write_tree(
        tmp_path / ".codex",
        {
            ROLLOUT: b'{"timestamp":"2026-01-01T00:00:00Z","type":"session_meta",'
            b'"payload":{"id":"00000000-0000-0000-0000-000000000001","cwd":"/p"}}\n'
        },
    )
    db = sqlite3.connect(root / "state_5.sqlite", isolation_level=None)
    db.executescript("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;" + SCHEMA)
    db.execute("INSERT INTO threads VALUES ('t2', '', 1767225600000, '/q', 'old title', 'gpt-5', 'abc', 'main', 'o')")
    db.execute("INSERT INTO threads (id, title) VALUES ('00000000-0000-0000-0000-000000000001', 'has a rollout')")
    db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    # Written to the log only: the checkpoint above was the last.
    db.execute("UPDATE threads SET title = 'only in the log' WHERE id = 't2'")
    db.execute("INSERT INTO thread_spawn_edges VALUES ('t2', 't3', 'open')")
    yield root
    db.close()


def snapshot(root):
    """Every file's bytes and times, read without changing its access time."""
    found = {}
    for directory, _, names in os.walk(root):
        for name in names:
            path = os.path.join(directory, name)
            st = os.stat(path)
            fd = os.open(path, os.O_RDONLY | os.O_NOATIME)
            try:
                data = os.read(fd, st.st_size + 1)
            finally:
                os.close(fd)
            found[path] = (data, st.st_mtime_ns, st.st_ctime_ns, st.st_atime_ns)
    return found


def test_rows_only_in_the_log_are_read_and_nothing_is_touched(codex):
    assert os.path.getsize(str(codex / "state_5.sqlite") + "-wal") > 0
    before = snapshot(codex)
    copies = set(glob.glob(os.path.join(tempfile.gettempdir(), "tracequill-*")))
    timeline = tracequill.Timeline(codex)
    assert snapshot(codex) == before
    assert set(glob.glob(os.path.join(tempfile.gettempdir(), "tracequill-*"))) == copies
    rows = [(e["event_type"], e["session_id"], e["message"]) for e in timeline if e["source"]["record_type"] in ("thread", "thread_spawn_edge")]
    assert rows == [
        ("session_start", "t2", "only in the log; model gpt-5; /q; branch main at abc (o)"),
        ("task_state", "t2", "spawned thread t3 (open)"),
    ]
    assert timeline.diagnostics == []
    unread = [f["path"] for f in timeline.coverage()["files"] if f["reason"] is not None]
    assert unread == []
    assert not any(e["source"]["record_type"] == "thread" for e in tracequill.Timeline(codex, transcripts=False))


def test_the_summary_titles_a_session_from_its_index_else_its_thread(codex):
    rollout = "00000000-0000-0000-0000-000000000001"
    titles = {s: v["title"] for s, v in tracequill.Timeline(codex).summary()["sessions"].items()}
    assert titles == {"t2": "only in the log", rollout: "has a rollout"}
    (codex / "session_index.jsonl").write_text(f'{{"id":"{rollout}","thread_name":"named","updated_at":"2026-01-01T00:00:00Z"}}\n')
    titles = {s: v["title"] for s, v in tracequill.Timeline(codex).summary()["sessions"].items()}
    assert titles == {"t2": "only in the log", rollout: "named"}


@pytest.mark.parametrize(
    "content, message",
    [
        (b"not a database at all, just text" * 200, "Cannot read thread database: file is not a database"),
        (b"SQLite format 3\x00" + b"\xff" * 4000, "Cannot read thread database: "),
    ],
)
def test_a_database_that_is_not_sqlite_or_damaged_is_one_warning(codex, content, message):
    for suffix in ("", "-wal", "-shm"):
        path = str(codex / "state_5.sqlite") + suffix
        if os.path.exists(path):
            os.remove(path)
    (codex / "state_5.sqlite").write_bytes(content)
    timeline = tracequill.Timeline(codex)
    [diagnostic] = timeline.diagnostics
    assert (diagnostic["code"], diagnostic["severity"], diagnostic["source"]["relative_path"]) == (
        "unreadable_artifact", "warning", "state_5.sqlite")
    assert diagnostic["message"].startswith(message)
    assert len(timeline) == 1  # the rollout's event stands

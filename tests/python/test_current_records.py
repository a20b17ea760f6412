"""The records agents write today, on the whole surface (Timeline and the
command): each shape seen in published profiles gets an event type and a
message a person can read; the module functions keep their fixed output."""

import json
import pathlib

import pytest

import tracequill

SHAPES = pathlib.Path(__file__).resolve().parents[1] / "data" / "shapes"
UUID = "0194a1b2-c3d4-7e5f-8a9b-0c1d2e3f4a5b"
# Shapes whose records hold no text to show: the compaction's own message is "".
SILENT = {"compacted", "event_msg/context_compacted", "world_state"}


def rollout_home(tmp_path, lines):
    path = tmp_path / ".codex" / "sessions" / "2025" / "01" / "02" / f"rollout-2025-01-02T10-00-00-{UUID}.jsonl"
    path.parent.mkdir(parents=True)
    path.write_text("".join(line if line.endswith("\n") else line + "\n" for line in lines))
    return tmp_path


@pytest.fixture(scope="module")
def codex_shapes(tmp_path_factory):
    lines = (SHAPES / "codex-rollout-shapes.jsonl").read_text().splitlines()
    home = rollout_home(tmp_path_factory.mktemp("codex"), lines)
    return home, [json.loads(line) for line in lines]


def shape_name(record):
    payload = record.get("payload")
    inner = payload.get("type") if isinstance(payload, dict) else None
    return f"{record['type']}/{inner}" if inner else record["type"]


def test_every_codex_shape_is_mapped_and_described(codex_shapes):
    home, records = codex_shapes
    timeline = tracequill.Timeline(home)
    assert timeline.diagnostics == []
    events = sorted(timeline, key=lambda e: e["source"]["line_number"])
    assert len(events) == len(records)
    for record, event in zip(records, events):
        name = shape_name(record)
        assert event["event_type"] != "unknown", name
        assert event["warnings"] == [], name
        if name not in SILENT:
            assert event["message"], name


@pytest.mark.parametrize(
    "shape, event_type, message",
    [
        ("event_msg/guardian_assessment", "review_decision", "approved (low risk): echo example in /home/user/project — text-1"),
        ("event_msg/exec_command_end", "tool_result", "exit 0: echo example"),
        ("event_msg/patch_apply_end", "tool_result", "patch applied: update /home/user/project/dir-1, add /home/user/project/file-2.py"),
        ("event_msg/web_search_end", "tool_result", "text-1 → 1 result: https://example.com/page-1"),
        ("response_item/web_search_call", "tool_call", "web_search: text-1"),
        ("event_msg/mcp_tool_call_end", "tool_result", "codex_apps.github_search_repositories: ok"),
        ("event_msg/view_image_tool_call", "tool_call", "view_image: C:\\Users\\user\\project\\file-1.jpg"),
        ("event_msg/thread_name_updated", "task_state", "thread named: text-1"),
        ("event_msg/turn_aborted", "task_state", "turn aborted: interrupted"),
        ("event_msg/token_count", "token_usage", "tokens: in 14855, cached 11008, out 169, reasoning 26, session total 15024"),
    ],
)
def test_codex_messages(codex_shapes, shape, event_type, message):
    home, records = codex_shapes
    line = next(i for i, r in enumerate(records, 1) if shape_name(r) == shape)
    event = next(e for e in tracequill.Timeline(home) if e["source"]["line_number"] == line)
    assert (event["event_type"], event["message"]) == (event_type, message)


def test_whole_surface_messages_of_turns_and_sessions(codex_shapes):
    home, _ = codex_shapes
    by_type = {e["source"]["record_type"]: e["message"] for e in tracequill.Timeline(home)}
    assert by_type["turn_context"] == "model gpt-5.5, effort medium, approval granular, sandbox workspace-write, in /home/user/project"
    assert by_type["session_meta"].startswith("Codex 0.146.0, Codex Desktop, vscode; in /home/user/project; git https://example.com/page-1 main f3c4b2fd")
    assert by_type["event_msg/collab_agent_spawn_end"].startswith("spawned Agent1 (default, gpt-5.5, pending_init) as thread ")


def test_module_functions_and_the_switch_keep_their_output(codex_shapes):
    home, _ = codex_shapes
    plain = tracequill.Timeline(home, transcripts=False)
    assert plain.to_jsonl() == tracequill.to_jsonl(home)
    assert "review_decision" not in plain.to_jsonl()


def test_an_unseen_record_kind_is_one_warning_per_file(tmp_path):
    record = '{"timestamp":"2025-01-02T10:00:00Z","type":"event_msg","payload":{"type":"brand_new"}}'
    home = rollout_home(tmp_path, [record, record])
    timeline = tracequill.Timeline(home)
    assert [e["event_type"] for e in timeline] == ["unknown", "unknown"]
    assert [(d["code"], d["severity"], d["source"]["line_number"], d["message"]) for d in timeline.diagnostics] == [
        ("unknown_record", "warning", 1, "Unknown Codex record type 'event_msg/brand_new': its events are of type unknown")
    ]
    assert tracequill.parse(home)["diagnostics"] == []


@pytest.fixture(scope="module")
def claude_shapes(tmp_path_factory):
    home = tmp_path_factory.mktemp("claude")
    project = home / ".claude" / "projects" / "-home-user-project"
    session = "5b1c7e2a-0000-4000-8000-000000000001"
    (project / session / "subagents").mkdir(parents=True)
    (project / f"{session}.jsonl").write_text((SHAPES / "claude-transcript-shapes.jsonl").read_text())
    subagent = project / session / "subagents" / "agent-a1b2c3d.jsonl"
    subagent.write_text((SHAPES / "claude-subagent-transcript-shapes.jsonl").read_text())
    return home


def test_every_claude_shape_is_mapped(claude_shapes):
    timeline = tracequill.Timeline(claude_shapes)
    assert timeline.diagnostics == []
    unmapped = [e for e in timeline if e["event_type"] == "unknown" or any("Unmapped" in w for w in e["warnings"])]
    assert unmapped == []
    # Events whose records hold no text: an image, an empty answer, reasoning kept encrypted.
    silent = [e for e in timeline if not e["message"]]
    assert {e["event_type"] for e in silent} <= {"image_attachment", "agent_message", "agent_reasoning"}


@pytest.mark.parametrize(
    "record_type, event_type, message",
    [
        ("attachment", "prompt_input", "text-1"),
        ("attachment", "hook_run", "SessionStart:resume exit 0: echo example"),
        ("attachment", "attachment", "plan: C:\\Users\\user\\project\\file-1.md"),
        ("progress", "hook_run", "SessionStart:startup: echo example (running)"),
        ("progress", "task_state", "subagent: called Read"),
        ("system", "hook_run", "stop hooks: echo example, echo example"),
        ("pr-link", "task_state", "pull request #7 example/repo-1 https://example.com/page-1"),
        ("ai-title", "task_state", "title: text-1"),
        ("teleported-from", "session_start", "teleported from session_01EEqHwmyUHE2xM2qIY6ZuaL on branch-1"),
        ("user/tool_result", "tool_result", None),
    ],
)
def test_claude_messages(claude_shapes, record_type, event_type, message):
    found = [(e["event_type"], e["message"]) for e in tracequill.Timeline(claude_shapes) if e["source"]["record_type"] == record_type]
    if message is None:  # the output is content: the message names the call
        assert all(t == event_type and m.startswith("result of toolu_") for t, m in found)
    else:
        assert (event_type, message) in found


def test_unseen_claude_kinds_are_one_warning_each_per_file(tmp_path):
    project = tmp_path / ".claude" / "projects" / "-p"
    project.mkdir(parents=True)
    record = '{"type":"%s","timestamp":"2025-01-02T10:00:00Z","sessionId":"s"%s}\n'
    lines = [record % ("brand-new", ""), record % ("brand-new", ""),
             record % ("attachment", ',"attachment":{"type":"brand_new"}')]
    (project / "5b1c7e2a-0000-4000-8000-000000000001.jsonl").write_text("".join(lines))
    timeline = tracequill.Timeline(tmp_path)
    assert [e["event_type"] for e in timeline] == ["unknown"] * 3
    assert [d["message"] for d in timeline.diagnostics] == [
        "Unknown Claude Code record type 'brand-new': its events are of type unknown",
        "Unknown Claude Code record type 'attachment/brand_new': its events are of type unknown",
    ]


@pytest.mark.parametrize(
    "name, lines, provider, event_type",
    [
        (f"rollout-2025-01-02T10-00-00-{UUID}.jsonl",
         ['{"timestamp":"2025-01-02T10:00:00Z","type":"event_msg","payload":{"type":"user_message","message":"hi"}}'],
         "codex", "prompt_input"),
        ("history.jsonl", ['{"session_id":"s","ts":1735812000,"text":"hi"}'], "codex", "prompt_input"),
        ("history.jsonl", ['{"display":"hi","pastedContents":{},"timestamp":1735812000000}'], "claude_code", "prompt_input"),
    ],
)
def test_files_out_of_their_profile_are_read_as_their_agent_wrote_them(tmp_path, name, lines, provider, event_type):
    path = tmp_path / "copied" / name
    path.parent.mkdir()
    path.write_text("\n".join(lines) + "\n")
    events = list(tracequill.Timeline(path))
    assert [(e["provider"], e["event_type"], e["message"]) for e in events] == [(provider, event_type, "hi")]
    assert events[0]["timestamp"] is not None and events[0]["source"]["relative_path"] == name


def test_thread_names_are_events_and_the_session_title(tmp_path):
    index = tmp_path / ".codex" / "session_index.jsonl"
    index.parent.mkdir()
    session = "cc8551af-39fc-799a-a773-f6d6cf40eeba"
    index.write_text(
        f'{{"id":"{session}","thread_name":"first name","updated_at":"2025-07-12T16:35:13.387347121Z"}}\n'
        f'{{"id":"{session}","thread_name":"renamed","updated_at":"2025-07-13T09:00:00Z"}}\n'
    )
    (tmp_path / ".codex" / "history.jsonl").write_text(f'{{"session_id":"{session}","ts":1752338112,"text":"hi"}}\n')
    timeline = tracequill.Timeline(tmp_path)
    names = [(e["event_type"], e["message"], e["source"]["record_type"]) for e in timeline if e["session_id"] == session]
    assert names[1:] == [("task_state", "first name", "session_index"), ("task_state", "renamed", "session_index")]
    assert timeline.summary()["sessions"][session]["title"] == "renamed"
    # The module functions, and the switch, read what they always have.
    assert tracequill.Timeline(tmp_path, transcripts=False).to_jsonl() == tracequill.to_jsonl(tmp_path)
    assert "renamed" not in tracequill.to_jsonl(tmp_path)

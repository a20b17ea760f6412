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

// Where the page finds what it shows: the events' column names in one place.
// The facts an event carries (who acted, which tool, which files and URLs,
// which session started it) are named here once; until an event carries one,
// the page derives what it can from the fields every event has.

export const COLUMNS = {
  id: "event_id",
  sequence: "sequence",
  provider: "provider",
  time: "timestamp",
  type: "event_type",
  session: "session_id",
  directory: "working_directory",
  message: "message",
  path: "source.relative_path",
  line: "source.line_number",
  digest: "source_file_sha256",
  raw: "raw",
};

export const FACTS = {
  actor: "facts.actor",
  tool: "facts.tool.name",
  command: "facts.tool.command_line",
  filesRead: "facts.tool.files_read",
  filesChanged: "facts.tool.files_changed",
  urls: "facts.tool.urls",
  parentSession: "facts.parent_session_id",
};

// A Claude Code subagent writes its own transcript beside its session's:
// projects/<dir>/<session>/subagents/agent-<id>.jsonl.
const SUBAGENT_PATH = /\/([^/]+)\/subagents\/(agent-[^/]+)\.jsonl$/;
const URL_TEXT = /\bhttps?:\/\/[^\s"'<>`)\]]+/g;
const NO_SESSION = "(no session)";

// What one event is about, for the lanes, filters and tables.
export class Facts {
  constructor(events) {
    this.events = events;
  }
  tool(i) {
    const named = this.events.value(FACTS.tool, i);
    if (named !== null) return named;
    if (this.events.value(COLUMNS.type, i) !== "tool_call") return null;
    // A tool call's message is the tool's name, then ": " and its input.
    const message = this.events.value(COLUMNS.message, i) || "tool";
    const colon = message.indexOf(": ");
    return colon < 0 ? message : message.slice(0, colon);
  }
  actor(i) {
    return this.events.value(FACTS.actor, i);
  }
  files(i) {
    const read = this.events.value(FACTS.filesRead, i) || [];
    const changed = this.events.value(FACTS.filesChanged, i) || [];
    return read.map((f) => [f, "read"]).concat(changed.map((f) => [f, "changed"]));
  }
  urls(i) {
    if (this.events.column(FACTS.urls)) return this.events.value(FACTS.urls, i);
    if (this.events.value(COLUMNS.type, i) !== "tool_call") return [];
    return (this.events.value(COLUMNS.message, i) || "").match(URL_TEXT) || [];
  }
  // The lane an event sits in: its session, or a subagent's lane under it.
  lane(i) {
    const session = this.events.value(COLUMNS.session, i);
    const parent = this.events.value(FACTS.parentSession, i);
    const path = this.events.value(COLUMNS.path, i) || "";
    const sub = SUBAGENT_PATH.exec(path);
    if (sub) return { key: `${sub[1]}/${sub[2]}`, parent: parent || sub[1], label: sub[2] };
    if (parent && parent !== session) return { key: session, parent, label: session };
    return { key: session || NO_SESSION, parent: null, label: session || NO_SESSION };
  }
}

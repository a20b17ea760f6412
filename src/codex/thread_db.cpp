#include "codex/thread_db.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <string_view>
#include <utility>

#include "files/evidence_file.h"
#include "files/paths.h"
#include "model/datetime.h"
#include "model/text.h"
#include "ordering/ordering.h"

namespace tq::codex {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPrefix = "state_";
constexpr std::string_view kSuffix = ".sqlite";
// The log files SQLite keeps beside a database in WAL mode.
constexpr std::string_view kLogSuffixes[] = {"-wal", "-shm"};

fs::path with_suffix(const fs::path& path, std::string_view suffix) {
  fs::path out = path;
  out += std::string(suffix);
  return out;
}

// A directory only this process may enter, removed with all it holds when the
// owner goes, however the read ends.
class PrivateDirectory {
 public:
  static std::expected<PrivateDirectory, std::error_code> create() {
    std::string pattern = (fs::temp_directory_path() / "tracequill-XXXXXX").string();
    // mkdtemp makes the directory with mode 0700.
    if (::mkdtemp(pattern.data()) == nullptr) {
      return std::unexpected(std::error_code(errno, std::generic_category()));
    }
    return PrivateDirectory(fs::path(pattern));
  }
  PrivateDirectory(PrivateDirectory&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  PrivateDirectory& operator=(PrivateDirectory&&) = delete;
  PrivateDirectory(const PrivateDirectory&) = delete;
  ~PrivateDirectory() {
    if (path_.empty()) return;
    std::error_code ignored;  // nothing is left to tell once the read is over
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  explicit PrivateDirectory(fs::path path) : path_(std::move(path)) {}
  fs::path path_;
};

// Copies the evidence file `from` (through the scope) to the new file `to`;
// every write checked. ENOENT when `from` doesn't exist.
std::error_code copy_evidence(const fs::path& from, const fs::path& to,
                              const ParseContext& context) {
  auto source = EvidenceFile::open(from, context.scope);
  if (!source) return source.error();
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) return std::error_code(errno, std::generic_category());
  std::error_code failure;
  std::string buffer(1 << 16, '\0');
  for (;;) {
    auto got = source->read(buffer.data(), buffer.size());
    if (!got) {
      failure = got.error();
      break;
    }
    if (*got == 0) break;
    report_bytes_read(context.monitor, *got);
    for (size_t done = 0; done < *got;) {
      const ssize_t wrote = ::write(out, buffer.data() + done, *got - done);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) {
        failure = std::error_code(wrote < 0 ? errno : EIO, std::generic_category());
        break;
      }
      done += static_cast<size_t>(wrote);
    }
    if (failure) break;
  }
  if (::close(out) != 0 && !failure) failure = std::error_code(errno, std::generic_category());
  return failure;
}

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct FinishStatement {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;
using Statement = std::unique_ptr<sqlite3_stmt, FinishStatement>;

using Row = std::map<std::string, std::string, std::less<>>;

// Every row of `query` as text by column name; the SQLite message on failure.
std::expected<std::vector<Row>, std::string> rows_of(sqlite3* db, const char* query) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, query, -1, &raw, nullptr) != SQLITE_OK) {
    return std::unexpected(std::string(sqlite3_errmsg(db)));
  }
  Statement statement(raw);
  std::vector<Row> rows;
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(statement.get())) == SQLITE_ROW) {
    Row row;
    for (int i = 0; i < sqlite3_column_count(statement.get()); ++i) {
      const unsigned char* text = sqlite3_column_text(statement.get(), i);
      if (text != nullptr) {
        row.emplace(sqlite3_column_name(statement.get(), i), reinterpret_cast<const char*>(text));
      }
    }
    rows.push_back(std::move(row));
  }
  if (step != SQLITE_DONE) return std::unexpected(std::string(sqlite3_errmsg(db)));
  return rows;
}

const std::string* column(const Row& row, std::string_view name) {
  auto found = row.find(name);
  return found == row.end() || found->second.empty() ? nullptr : &found->second;
}

// "title; model m; /cwd; branch b at sha (origin)".
std::string thread_text(const Row& row) {
  std::vector<std::string> parts;
  for (const char* name : {"title", "first_user_message"}) {
    if (const std::string* text = column(row, name)) {
      parts.push_back(*text);
      break;
    }
  }
  if (const std::string* model = column(row, "model")) parts.push_back("model " + *model);
  if (const std::string* cwd = column(row, "cwd")) parts.push_back(*cwd);
  if (const std::string* branch = column(row, "git_branch")) {
    std::string git = "branch " + *branch;
    if (const std::string* sha = column(row, "git_sha")) git += " at " + *sha;
    if (const std::string* origin = column(row, "git_origin_url")) git += " (" + *origin + ")";
    parts.push_back(std::move(git));
  }
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
  return text;
}

// A time the row keeps as `<name>_ms` (milliseconds) or `<name>` (seconds).
std::optional<DateTime> row_time(const Row& row, const std::string& name) {
  if (const std::string* ms = column(row, name + "_ms")) {
    return datetime_from_unix_millis(std::strtoll(ms->c_str(), nullptr, 10));
  }
  if (const std::string* seconds = column(row, name)) {
    return datetime_from_unix_millis(std::strtoll(seconds->c_str(), nullptr, 10) * 1000);
  }
  return std::nullopt;
}

class ThreadEvents {
 public:
  ThreadEvents(std::string relative, std::string id_path, ReaderOutput& out)
      : relative_(std::move(relative)), id_path_(std::move(id_path)), out_(out) {}

  void add(EventType type, std::string key, std::string session, std::string message,
           std::string_view record_type, std::optional<DateTime> time) {
    TimelineEvent e;
    e.provider = Provider::Codex;
    e.event_type = type;
    e.event_id = generate_event_id(Provider::Codex, ArtifactKind::AgentFile, id_path_, key);
    e.sequence = out_.events.size();
    e.session_id = std::move(session);
    e.message = std::move(message);
    e.timestamp = time;
    e.timestamp_source = time ? TimestampSource::Embedded : TimestampSource::None;
    e.source.artifact_kind = ArtifactKind::AgentFile;
    e.source.record_type = std::string(record_type);
    e.source.relative_path = relative_;
    e.source.source_id = std::move(key);
    out_.events.push_back(std::move(e));
  }

 private:
  std::string relative_;
  std::string id_path_;
  ReaderOutput& out_;
};

}  // namespace

std::vector<fs::path> thread_databases(const fs::path& root) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    const std::optional<std::string> name = file_name_bytes(it->path());
    std::error_code type_error;
    if (name && name->starts_with(kPrefix) && name->ends_with(kSuffix) &&
        it->is_regular_file(type_error)) {
      found.push_back(it->path());
    }
  }
  sort_paths(found);
  return found;
}

void list_thread_database(const fs::path& database, FileListing& listing) {
  listing.add(database);
  for (std::string_view suffix : kLogSuffixes) {
    fs::path log = with_suffix(database, suffix);
    std::error_code ec;
    if (fs::exists(log, ec)) listing.add(std::move(log));
  }
}

Result<ReaderOutput> read_thread_database(
    const fs::path& database, const ParseContext& context, const fs::path& evidence_root,
    const std::set<std::string, std::less<>>& sessions_with_rollouts) {
  ReaderOutput out;
  const std::string rel = relative_path(database, evidence_root);
  auto warn = [&](std::string_view what) {
    SourceInfo source;
    source.artifact_kind = ArtifactKind::AgentFile;
    source.relative_path = rel;
    out.diagnostics.push_back(Diagnostic{DiagnosticCode::UnreadableArtifact, Severity::Warning,
                                         std::move(source),
                                         concat("Cannot read thread database: ", what)});
  };
  auto directory = PrivateDirectory::create();
  if (!directory) {
    return std::unexpected(Error::io(fs::temp_directory_path(), os_error_text(directory.error())));
  }
  const fs::path copy = directory->path() / "state.sqlite";
  for (std::string_view suffix : {std::string_view(), kLogSuffixes[0], kLogSuffixes[1]}) {
    const fs::path from = with_suffix(database, suffix);
    std::error_code failure = copy_evidence(from, with_suffix(copy, suffix), context);
    if (failure == std::errc::no_such_file_or_directory && !suffix.empty()) continue;
    if (failure) {
      if (auto fault = machine_fault(from, failure)) return std::unexpected(*fault);
      warn(os_error_text(failure));
      return out;
    }
    report_file_done(context.monitor, from);
  }

  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(copy.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  Database db(raw);
  if (opened != SQLITE_OK) {
    warn(raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(opened));
    return out;
  }
  auto threads = rows_of(db.get(), "SELECT * FROM threads ORDER BY id");
  if (!threads) {
    warn(threads.error());
    return out;
  }
  ThreadEvents events(rel, relative_path_id(database, evidence_root), out);
  for (const Row& row : *threads) {
    const std::string* id = column(row, "id");
    if (id == nullptr) continue;
    // Rollouts don't hold a thread's title, so every thread that has one
    // names its session, as session_index's records do.
    if (const std::string* title = column(row, "title")) {
      events.add(EventType::TaskState, "title:" + *id, *id, *title, kThreadTitleRecord,
                 row_time(row, "updated_at"));
    }
    if (sessions_with_rollouts.contains(*id)) continue;
    events.add(EventType::SessionStart, "thread:" + *id, *id, thread_text(row), "thread",
               row_time(row, "created_at"));
  }
  // Older databases have no spawn edges.
  auto edges = rows_of(db.get(),
                       "SELECT parent_thread_id, child_thread_id, status FROM thread_spawn_edges "
                       "ORDER BY parent_thread_id, child_thread_id");
  if (!edges) return out;
  for (const Row& row : *edges) {
    const std::string* parent = column(row, "parent_thread_id");
    const std::string* child = column(row, "child_thread_id");
    if (parent == nullptr || child == nullptr || sessions_with_rollouts.contains(*child)) continue;
    const std::string* status = column(row, "status");
    events.add(EventType::TaskState, concat("spawn:", *parent, ":", *child), *parent,
               concat("spawned thread ", *child, status != nullptr ? " (" + *status + ")" : ""),
               "thread_spawn_edge", std::nullopt);
  }
  return out;
}

}  // namespace tq::codex

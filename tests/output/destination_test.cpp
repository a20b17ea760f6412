#include "output/destination.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "parser/driver.h"
#include "support/temp_tree.h"

namespace tq {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> names_in(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

Status write_text(Destination& destination, std::string_view text) {
  OutputSink sink(destination.target());
  sink.write(text);
  if (!sink.flush()) return std::unexpected(sink.failure("write: "));
  return destination.commit();
}

// A home whose Codex history and rollout a real parse has read into `scope`.
class DestinationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_.write(".codex/history.jsonl", R"({"session_id":"s","text":"hi","ts":1700000000})"
                                        "\n");
    home_.write("other/readme.txt", "mine");
    // Neither is read: one holds nothing, the other is no profile.
    home_.mkdir(".codex/sessions");
    home_.mkdir(".claude");
    ASSERT_TRUE(parse_path(home_.root(), {.scope = &scope_}).has_value());
  }

  std::string at(std::string_view relative) const { return home_.path(relative).string(); }

  testing::TempTree home_;
  EvidenceScope scope_;
};

TEST_F(DestinationTest, RefusesWhatIsNotANewNameOrAnOrdinaryFileOutsideTheEvidence) {
  ASSERT_EQ(::mkfifo(home_.path("other/fifo").c_str(), 0600), 0);
  home_.mkdir("other/directory");
  home_.symlink("../.codex/history.jsonl", "other/link-to-input");
  const fs::path input = home_.path(".codex/history.jsonl");
  ASSERT_EQ(::link(input.c_str(), home_.path("other/hard-link").c_str()), 0);
  struct Case {
    const char* name;
    std::string path;
    std::string reason;
    ErrorKind kind = ErrorKind::Refused;  // Io: the system's own failure
  };
  const Case cases[] = {
      {"FIFO", at("other/fifo"), "it is a FIFO, not a regular file"},
      {"character device", "/dev/null", "it is a character device, not a regular file"},
      {"directory", at("other/directory"), os_error_text(EISDIR), ErrorKind::Io},
      {"trailing slash", at("other/"), os_error_text(EISDIR), ErrorKind::Io},
      {"missing directory", at("missing/out.csv"), os_error_text(ENOENT), ErrorKind::Io},
      {"NUL", at("other/out") + std::string(1, '\0') + ".csv", os_error_text(EINVAL),
       ErrorKind::Io},
      {"input", at(".codex/history.jsonl"), "it is an input of this parse"},
      {"hard link to an input", at("other/hard-link"), "it is an input of this parse"},
      {"link to an input", at("other/link-to-input"), "it is an input of this parse"},
      {"new name in a profile", at(".codex/out.csv"), "it is inside the evidence of this parse"},
      {"profile not read", at(".claude/out.csv"), "it is inside the evidence of this parse"},
      {"below a profile", at(".codex/sessions/out.csv"), "it is inside the evidence of this parse"},
  };
  const std::vector<std::string> before = names_in(home_.path("other"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result<Destination> made = Destination::create(c.path, &scope_);
    ASSERT_FALSE(made.has_value());
    EXPECT_EQ(made.error().kind(), c.kind);
    EXPECT_EQ(made.error().text(), "Cannot create '" + c.path + "': " + c.reason);
  }
  EXPECT_EQ(names_in(home_.path("other")), before);
  EXPECT_EQ(names_in(home_.path(".codex")),
            (std::vector<std::string>{"history.jsonl", "sessions"}));
  EXPECT_EQ(contents(input), R"({"session_id":"s","text":"hi","ts":1700000000})"
                             "\n");
}

TEST_F(DestinationTest, WritesNewAndExistingNamesWholeAndLeavesNoTemporaryFile) {
  home_.write("other/old.csv", std::string(100000, 'x'));
  ::chmod(home_.path("other/old.csv").c_str(), 0640);
  home_.symlink("old.csv", "other/link.csv");
  // The longest legal name: its temporary name must be shortened to fit.
  const std::string longest(NAME_MAX, 'n');
  for (const std::string name : {"new.csv", "old.csv", "link.csv", longest.c_str()}) {
    SCOPED_TRACE(name.size() > 20 ? "255 bytes" : name);
    Result<Destination> made = Destination::create(at("other/" + name), &scope_);
    ASSERT_TRUE(made.has_value()) << made.error().text();
    ASSERT_TRUE(write_text(*made, "new " + name).has_value());
  }
  EXPECT_EQ(contents(home_.path("other/new.csv")), "new new.csv");
  // The link is followed: the file it names is replaced, keeping its mode.
  EXPECT_EQ(contents(home_.path("other/old.csv")), "new link.csv");
  EXPECT_TRUE(fs::is_symlink(home_.path("other/link.csv")));
  EXPECT_EQ(fs::status(home_.path("other/old.csv")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(contents(home_.path("other/" + longest)), "new " + longest);
  EXPECT_EQ(names_in(home_.path("other")),
            (std::vector<std::string>{"link.csv", "new.csv", longest, "old.csv", "readme.txt"}));
}

TEST_F(DestinationTest, AnOutputNotCommittedChangesNothing) {
  {
    Result<Destination> made = Destination::create(at("other/readme.txt"), &scope_);
    ASSERT_TRUE(made.has_value());
    OutputSink sink(made->target());
    sink.write("partial");
    ASSERT_TRUE(sink.flush());
  }
  EXPECT_EQ(contents(home_.path("other/readme.txt")), "mine");
  EXPECT_EQ(names_in(home_.path("other")), (std::vector<std::string>{"readme.txt"}));
}

// Between the checks and the rename, an input of the parse is renamed to the
// destination's name: what the rename would replace is examined again, and
// the input is put back where it was found, unchanged.
TEST_F(DestinationTest, AnInputRenamedIntoPlaceAfterTheCheckIsRefused) {
  const std::string input = at(".codex/history.jsonl");
  const std::string original = contents(input);
  for (const char* name : {"readme.txt", "new.jsonl"}) {
    SCOPED_TRACE(name);
    const std::string target = at(std::string("other/") + name);
    Result<Destination> made = Destination::create(target, &scope_);
    ASSERT_TRUE(made.has_value()) << made.error().text();
    made->before_replace = [&] { ASSERT_EQ(::rename(input.c_str(), target.c_str()), 0); };
    Status written = write_text(*made, "output");
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().text(),
              "Cannot create '" + target + "': it is an input of this parse");
    EXPECT_EQ(contents(target), original);
    ASSERT_EQ(::rename(target.c_str(), input.c_str()), 0);
  }
  EXPECT_EQ(names_in(home_.path("other")), (std::vector<std::string>{}));
}

TEST_F(DestinationTest, AFileRemovedBeforeTheRenameIsReplacedAsANewName) {
  const std::string target = at("other/readme.txt");
  Result<Destination> made = Destination::create(target, &scope_);
  ASSERT_TRUE(made.has_value());
  made->before_replace = [&] { ASSERT_EQ(::unlink(target.c_str()), 0); };
  ASSERT_TRUE(write_text(*made, "output").has_value());
  EXPECT_EQ(contents(target), "output");
  EXPECT_EQ(names_in(home_.path("other")), (std::vector<std::string>{"readme.txt"}));
}

TEST(StreamTest, AFailedOutputIsCutBackToWhereItBegan) {
  testing::TempTree tree;
  const fs::path path = tree.write("out.jsonl", "kept\n");
  for (const int flags : {O_WRONLY, O_WRONLY | O_APPEND}) {
    SCOPED_TRACE(flags);
    const int fd = ::open(path.c_str(), flags);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, 0, SEEK_END), 5);
    Result<Stream> stream = Stream::open(fd, nullptr);
    ASSERT_TRUE(stream.has_value());
    ASSERT_EQ(::write(fd, "partial", 7), 7);
    stream->discard();
    ::close(fd);
    EXPECT_EQ(contents(path), "kept\n");
  }
}

}  // namespace
}  // namespace tq

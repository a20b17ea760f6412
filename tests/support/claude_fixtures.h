// A fresh temporary directory per test into which a `.claude` tree is written
// from exact bytes, and small lookups over reader output.
//
//   ClaudeTree tree;
//   tree.write(".claude/history.jsonl", R"({"display":"hi"})" "\n");
//   tree.link("../elsewhere", ".claude/paste-cache");
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "model/model.h"

namespace tq::testing {

class ClaudeTree {
 public:
  ClaudeTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tq-claude-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    if (made != nullptr) root_ = made;
  }
  ~ClaudeTree() {
    std::error_code ec;
    // Restore permissions that a test took away so that removal succeeds.
    for (auto it = std::filesystem::recursive_directory_iterator(root_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
      }
    }
    std::filesystem::remove_all(root_, ec);
  }
  ClaudeTree(const ClaudeTree&) = delete;
  ClaudeTree& operator=(const ClaudeTree&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path operator/(std::string_view rel) const { return root_ / rel; }

  // Writes `bytes` to `rel`, creating the directories above it.
  std::filesystem::path write(std::string_view rel, std::string_view bytes) const {
    std::filesystem::path p = root_ / rel;
    std::filesystem::create_directories(p.parent_path());
    int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      (void)!::write(fd, bytes.data(), bytes.size());
      ::close(fd);
    }
    return p;
  }
  std::filesystem::path mkdir(std::string_view rel) const {
    std::filesystem::path p = root_ / rel;
    std::filesystem::create_directories(p);
    return p;
  }
  // A symbolic link at `rel` whose target text is `target`, as given.
  std::filesystem::path link(std::string_view target, std::string_view rel) const {
    std::filesystem::path p = root_ / rel;
    std::filesystem::create_directories(p.parent_path());
    std::error_code ec;
    std::filesystem::create_symlink(target, p, ec);
    return p;
  }

 private:
  std::filesystem::path root_;
};

inline std::vector<std::string> messages_of(const std::vector<Diagnostic>& diagnostics) {
  std::vector<std::string> out;
  for (const Diagnostic& d : diagnostics) out.push_back(d.message);
  return out;
}

inline std::vector<std::string> paths_of(const std::vector<TimelineEvent>& events) {
  std::vector<std::string> out;
  for (const TimelineEvent& e : events) out.push_back(e.source.relative_path);
  return out;
}

inline const TimelineEvent* find_event(const std::vector<TimelineEvent>& events,
                                       std::string_view relative_path) {
  auto it = std::find_if(events.begin(), events.end(), [&](const TimelineEvent& e) {
    return e.source.relative_path == relative_path;
  });
  return it == events.end() ? nullptr : &*it;
}

}  // namespace tq::testing

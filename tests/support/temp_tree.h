// File: support/temp_tree.h
//
// A fresh directory per test under the system temporary directory, into which
// a test writes its `.claude`/`.codex` tree from exact bytes. It is removed,
// with any permissions a test took away restored first, when the fixture goes.
//
//   TempTree tree;
//   tree.write(".codex/history.jsonl", R"({"ts":1})" "\n");
//   tree.symlink("../elsewhere", ".claude/paste-cache");
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

namespace tq::testing {

class TempTree {
 public:
  TempTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tq-test-XXXXXX").string();
    if (char* made = ::mkdtemp(pattern.data()); made != nullptr) root_ = made;
  }
  ~TempTree() {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
      }
    }
    std::filesystem::remove_all(root_, ec);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path path(std::string_view relative) const { return root_ / relative; }
  std::filesystem::path operator/(std::string_view relative) const { return path(relative); }

  // Writes `bytes` exactly, creating the directories above.
  std::filesystem::path write(std::string_view relative, std::string_view bytes) const {
    std::filesystem::path p = path(relative);
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p;
  }
  std::filesystem::path mkdir(std::string_view relative) const {
    std::filesystem::path p = path(relative);
    std::filesystem::create_directories(p);
    return p;
  }
  // A symbolic link at `relative` whose target text is `target`, exactly as given.
  std::filesystem::path symlink(std::string_view target, std::string_view relative) const {
    std::filesystem::path p = path(relative);
    std::filesystem::create_directories(p.parent_path());
    std::error_code ec;
    std::filesystem::create_symlink(std::filesystem::path(target), p, ec);
    return p;
  }

 private:
  std::filesystem::path root_;
};

}  // namespace tq::testing

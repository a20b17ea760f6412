// File: support/codex_fixtures.h
//
// Scratch trees for the file-utility and Codex tests: each test gets a fresh
// directory under the system temporary directory, writes exact bytes into it
// and reads them back. The directory is removed when the fixture goes away.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "model/model.h"

namespace tq::testing {

class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<int> counter{0};
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "tq-codex-" + std::to_string(::getpid()) + "-" +
                       std::to_string(counter++) + "-" +
                       (info != nullptr ? std::string(info->name()) : std::string("x"));
    root_ = std::filesystem::temp_directory_path() / name;
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
    std::filesystem::create_directories(root_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path path(std::string_view relative) const { return root_ / relative; }

  // Writes `bytes` exactly, creating the parent directories.
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
  // A symbolic link at `relative` whose content is `target`, exactly as given.
  std::filesystem::path symlink(std::string_view target, std::string_view relative) const {
    std::filesystem::path p = path(relative);
    std::filesystem::create_directories(p.parent_path());
    std::filesystem::create_symlink(std::filesystem::path(target), p);
    return p;
  }

 private:
  std::filesystem::path root_;
};

// The data of a diagnostic in one line, for readable failures:
// "warning invalid_json line 3: Line size …".
inline std::string describe(const Diagnostic& d) {
  std::string text = std::string(json_text(d.severity)) + " " + std::string(json_text(d.code));
  if (d.source && d.source->line_number) text += " line " + std::to_string(*d.source->line_number);
  return text + ": " + d.message;
}

inline std::vector<std::string> describe_all(const std::vector<Diagnostic>& diagnostics) {
  std::vector<std::string> out;
  for (const Diagnostic& d : diagnostics) out.push_back(describe(d));
  return out;
}

}  // namespace tq::testing

#include "store/spill.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <system_error>
#include <utility>
#include <vector>

namespace tq::store {
namespace {

// Two ranges this close in the file are read with one call, the bytes between
// them read and dropped: copying 16 KiB from the page cache costs about what
// one more call does.
constexpr uint64_t kJoinGap = uint64_t{16} << 10;
// The longest stretch one call reads on behalf of several ranges, which bounds
// the scratch buffer they are copied out of.
constexpr uint64_t kLongestRun = uint64_t{1} << 20;

bool within(uint64_t offset, size_t size, uint64_t limit) {
  return offset <= limit && size <= limit - offset;
}

// Where one call's stretch ends when it starts at the k-th of `count` ranges
// in file order (`range(i)`): it takes in the ranges after it while `joins(i)`
// allows and each starts close to the stretch's end and keeps it short. The
// index past the last range taken, and the stretch's end in the file.
template <typename RangeAt, typename Joins>
std::pair<size_t, uint64_t> stretch_from(size_t k, size_t count, const RangeAt& range,
                                         const Joins& joins) {
  const uint64_t start = range(k).offset;
  uint64_t end = start + range(k).size;
  size_t next = k + 1;
  for (; next < count && joins(next); ++next) {
    const Range r = range(next);
    const uint64_t r_end = std::max(end, r.offset + r.size);
    if (r.offset > end + kJoinGap || r_end - start > kLongestRun) break;
    end = r_end;
  }
  return {next, end};
}

// How read_many groups ranges, taken in file order, into calls: a run of
// ranges that follow each other both in the file and in the output is read
// straight into place; ranges close together but not laid out alike are read
// into scratch and copied out.
struct ReadPlan {
  // One call's ranges: the k-th to the one before `next`, whose bytes in the
  // file end at `end`.
  struct Run {
    size_t next;
    uint64_t end;
    bool straight;
  };

  std::span<const Range> ranges;
  std::span<const size_t> order;  // indexes of `ranges` by offset
  std::span<const size_t> at;     // where each range goes in the output
  uint64_t written;               // the file holds the bytes below this

  const Range& range(size_t k) const { return ranges[order[k]]; }
  bool in_file(size_t k) const { return range(k).offset + range(k).size <= written; }
  // Whether the (k+1)-th range follows the k-th both in the file and in the
  // output.
  bool adjacent(size_t k) const {
    return k + 1 < order.size() && in_file(k + 1) &&
           range(k + 1).offset == range(k).offset + range(k).size &&
           at[order[k + 1]] == at[order[k]] + range(k).size;
  }
  Run straight_run(size_t k) const {
    uint64_t end = range(k).offset + range(k).size;
    for (; adjacent(k); ++k) end += range(k + 1).size;
    return {k + 1, end, true};
  }
  // The ranges after the k-th that start close to the run's end and keep it
  // short, up to where a straight run begins.
  Run joined_run(size_t k) const {
    const auto [next, end] = stretch_from(
        k, order.size(), [this](size_t i) { return range(i); },
        [this](size_t i) { return !adjacent(i) && in_file(i); });
    return {next, end, next == k + 1};
  }
};

}  // namespace

std::filesystem::path system_temporary_directory() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir != nullptr && *tmpdir != '\0' ? std::filesystem::path(tmpdir)
                                              : std::filesystem::path("/tmp");
}

SpillArea::SpillArea(size_t budget, std::filesystem::path directory)
    : budget_(budget), directory_(std::move(directory)) {}

SpillArea::~SpillArea() {
  // The file has no name, so closing it is all it takes to free its blocks.
  if (fd_ >= 0) ::close(fd_);
}

SpillArea::SpillArea(SpillArea&& other) noexcept
    : budget_(other.budget_),
      directory_(std::move(other.directory_)),
      fd_(std::exchange(other.fd_, -1)),
      size_(std::exchange(other.size_, 0)),
      written_(std::exchange(other.written_, 0)),
      memory_(std::move(other.memory_)),
      pending_(std::move(other.pending_)) {}

Result<uint64_t> SpillArea::append(std::string_view bytes) {
  if (!spilled()) {
    if (bytes.size() <= budget_ - memory_.size()) {
      memory_.append(bytes);
      return std::exchange(size_, size_ + bytes.size());
    }
    TQ_CHECK(spill());
  }
  if (bytes.size() > kSpillWriteBatch - pending_.size()) TQ_CHECK(flush());
  // A batch or more is written as it is, not copied through pending_.
  if (bytes.size() >= kSpillWriteBatch) {
    TQ_CHECK(write_at(size_, bytes));
    written_ += bytes.size();
  } else {
    pending_.append(bytes);
  }
  return std::exchange(size_, size_ + bytes.size());
}

Status SpillArea::spill() {
  int fd = ::open(directory_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
    // A file system (or kernel) without nameless files: the file has a name
    // for as long as the unlink takes.
    std::string pattern = (directory_ / "tracequill-spill-XXXXXX").string();
    fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0 && ::unlink(pattern.c_str()) != 0) {
      const int error_number = errno;
      ::close(fd);
      return std::unexpected(failure(error_number));
    }
  }
  if (fd < 0) return std::unexpected(failure(errno));
  fd_ = fd;
  if (auto written = write_at(0, memory_); !written) {
    ::close(std::exchange(fd_, -1));
    return written;
  }
  written_ = size_;
  std::string().swap(memory_);
  pending_.reserve(kSpillWriteBatch);
  return {};
}

Status SpillArea::flush() {
  TQ_CHECK(write_at(written_, pending_));
  written_ += pending_.size();
  pending_.clear();
  return {};
}

Status SpillArea::write_at(uint64_t offset, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t done = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return std::unexpected(failure(errno));
    // A write that takes nothing and reports no error has run out of room.
    if (done == 0) return std::unexpected(failure(ENOSPC));
    bytes.remove_prefix(static_cast<size_t>(done));
    offset += static_cast<uint64_t>(done);
  }
  return {};
}

size_t SpillArea::written_part(uint64_t offset, size_t size) const {
  return offset < written_ ? static_cast<size_t>(std::min<uint64_t>(size, written_ - offset)) : 0;
}

Status SpillArea::overwrite(uint64_t offset, std::string_view bytes) {
  if (!within(offset, bytes.size(), size_)) {
    return std::unexpected(Error::internal("A write past the end of the spill area."));
  }
  if (!spilled()) {
    std::memcpy(memory_.data() + offset, bytes.data(), bytes.size());
    return {};
  }
  const size_t in_file = written_part(offset, bytes.size());
  TQ_CHECK(write_at(offset, bytes.substr(0, in_file)));
  if (in_file < bytes.size()) {
    std::memcpy(pending_.data() + (offset + in_file - written_), bytes.data() + in_file,
                bytes.size() - in_file);
  }
  return {};
}

Status SpillArea::overwrite_each(std::span<const uint64_t> offsets, std::string_view bytes) {
  auto in_file = [&](uint64_t offset) {
    return spilled() && within(offset, bytes.size(), size_) && offset + bytes.size() <= written_;
  };
  std::string scratch;
  for (size_t i = 0; i < offsets.size();) {
    const uint64_t first = offsets[i];
    if (!in_file(first)) {
      TQ_CHECK(overwrite(first, bytes));
      ++i;
      continue;
    }
    // Offsets before the first end the stretch: the patch goes at each one's
    // distance from it.
    const auto [next, end] = stretch_from(
        i, offsets.size(),
        [&](size_t k) {
          return Range{offsets[k], bytes.size()};
        },
        [&](size_t k) { return in_file(offsets[k]) && offsets[k] >= first; });
    if (next == i + 1) {
      TQ_CHECK(write_at(first, bytes));
    } else {
      scratch.resize(static_cast<size_t>(end - first));
      TQ_CHECK(read_file(first, scratch.size(), scratch.data()));
      for (size_t k = i; k < next; ++k) {
        std::memcpy(scratch.data() + (offsets[k] - first), bytes.data(), bytes.size());
      }
      TQ_CHECK(write_at(first, scratch));
    }
    i = next;
  }
  return {};
}

Status SpillArea::read(uint64_t offset, size_t size, char* into) const {
  if (!within(offset, size, size_)) {
    return std::unexpected(Error::internal("A read past the end of the spill area."));
  }
  if (!spilled()) {
    std::memcpy(into, memory_.data() + offset, size);
    return {};
  }
  const size_t from_file = written_part(offset, size);
  TQ_CHECK(read_file(offset, from_file, into));
  if (from_file < size) {
    std::memcpy(into + from_file, pending_.data() + (offset + from_file - written_),
                size - from_file);
  }
  return {};
}

Status SpillArea::read_file(uint64_t offset, size_t size, char* into) const {
  while (size > 0) {
    const ssize_t got = ::pread(fd_, into, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::unexpected(failure(errno));
    // The file holds every byte below written_; ending early means it lost some.
    if (got == 0) return std::unexpected(failure(EIO));
    into += got;
    size -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return {};
}

Status SpillArea::read_many(std::span<const Range> ranges, std::string& into) const {
  const size_t before = into.size();
  auto filled = fill(ranges, into);
  if (!filled) into.resize(before);
  return filled;
}

Status SpillArea::fill(std::span<const Range> ranges, std::string& into) const {
  std::vector<size_t> at(ranges.size());  // where each range's bytes go in `into`
  size_t end = into.size();
  for (size_t i = 0; i < ranges.size(); ++i) {
    if (!within(ranges[i].offset, ranges[i].size, size_)) {
      return std::unexpected(Error::internal("A read past the end of the spill area."));
    }
    at[i] = end;
    end += ranges[i].size;
  }
  // Every byte of the room is read into below, so it is not cleared first.
  into.resize_and_overwrite(end, [end](char*, size_t) { return end; });
  std::vector<size_t> order(ranges.size());
  std::iota(order.begin(), order.end(), size_t{0});
  auto by_offset = [&](size_t a, size_t b) { return ranges[a].offset < ranges[b].offset; };
  // Rows wanted in the order they were appended come in that order already.
  if (spilled() && !std::is_sorted(order.begin(), order.end(), by_offset)) {
    std::sort(order.begin(), order.end(), by_offset);
  }
  const ReadPlan plan{ranges, order, at, written_};
  std::string scratch;
  for (size_t i = 0; i < order.size();) {
    const Range& first = ranges[order[i]];
    if (!spilled() || !plan.in_file(i)) {
      TQ_CHECK(read(first.offset, first.size, into.data() + at[order[i]]));
      ++i;
      continue;
    }
    ReadPlan::Run run = plan.straight_run(i);
    if (run.next == i + 1) run = plan.joined_run(i);
    const auto size = static_cast<size_t>(run.end - first.offset);
    if (run.straight) {
      TQ_CHECK(read_file(first.offset, size, into.data() + at[order[i]]));
    } else {
      scratch.resize(size);
      TQ_CHECK(read_file(first.offset, size, scratch.data()));
      for (size_t k = i; k < run.next; ++k) {
        const Range& r = plan.range(k);
        std::memcpy(into.data() + at[order[k]], scratch.data() + (r.offset - first.offset), r.size);
      }
    }
    i = run.next;
  }
  return {};
}

Error SpillArea::failure(int error_number) const {
  return Error::io(directory_, std::error_code(error_number, std::system_category()));
}

}  // namespace tq::store

// File: output/sink.h
//
// The one place where the writers' bytes leave the program. An `OutputTarget`
// names where the bytes go: a caller-owned in-memory buffer or a caller-owned
// open file descriptor. An `OutputSink` sits in front of a target and is what
// the JSON, JSONL and CSV writers write through.
//
//   std::string text;
//   OutputSink sink(OutputTarget::memory(text));
//   sink.write("abc");
//   sink.flush();            // text == "abc"
//
// Failures are sticky: the first failed write to a file records its errno, and
// every later write or flush does nothing and reports failure, so the writers
// check `ok()` at the points where a failure must be reported and otherwise
// write without testing each byte. Writing into memory never fails.
//
// File and consumer targets are buffered (`kWriteBufferSize` bytes); memory targets append
// straight into the caller's string, which is the same bytes without a copy.
// The destructor does not flush: a writer flushes explicitly and reports the
// outcome, and bytes still buffered after a failure may be dropped.
//
// A file target may carry a `WriteWatch`: it is asked before each write to the
// descriptor and whenever the system interrupts one, so that a caller can end
// output that is stuck on a full pipe (Ctrl-C); the output then fails with
// ECANCELED. A descriptor in non-blocking mode is waited on, not given up.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "error/error.h"

namespace tq {

inline constexpr std::size_t kWriteBufferSize = 256 * 1024;

// Takes the sink's bytes in order, in buffered pieces of any length (a piece
// may end inside a UTF-8 sequence).
class ByteConsumer {
 public:
  virtual ~ByteConsumer() = default;
  // 0, or an errno that stops the sink as a failed file write would.
  virtual int consume(std::string_view bytes) = 0;
};

// Asked whether output to a file should end; see above.
class WriteWatch {
 public:
  virtual ~WriteWatch() = default;
  // Called often; cheap when there is nothing to do. Once true, stays true.
  // `interrupted`: the system has just cut a write short, as it does when a
  // signal arrives, so the answer is wanted now.
  virtual bool stop_requested(bool interrupted) = 0;
};

class OutputTarget {
 public:
  // Appends to `buffer`, which must outlive every sink built on the target.
  static OutputTarget memory(std::string& buffer) { return OutputTarget(&buffer, -1); }
  // Writes to the open descriptor `fd` at its current offset. The caller opened
  // it and closes it; the sink never does.
  static OutputTarget file(int fd) { return OutputTarget(nullptr, fd); }
  // Hands the bytes to `consumer`, which must outlive every sink built on the
  // target: the output goes where the caller wants it without a whole copy.
  static OutputTarget consumer(ByteConsumer& consumer) {
    return OutputTarget(nullptr, -1, &consumer);
  }

  // The same target, watched by `watch` (which must outlive every sink built
  // on it) while bytes are written to its file.
  OutputTarget watched(WriteWatch& watch) const {
    OutputTarget copy = *this;
    copy.watch_ = &watch;
    return copy;
  }

  bool is_memory() const { return buffer_ != nullptr; }
  std::string* buffer() const { return buffer_; }
  int fd() const { return fd_; }
  ByteConsumer* byte_consumer() const { return consumer_; }
  WriteWatch* watch() const { return watch_; }

 private:
  OutputTarget(std::string* buffer, int fd, ByteConsumer* consumer = nullptr)
      : buffer_(buffer), fd_(fd), consumer_(consumer) {}

  std::string* buffer_;          // non-null exactly for memory targets
  int fd_;                       // valid only for file targets
  ByteConsumer* consumer_;       // non-null exactly for consumer targets
  WriteWatch* watch_ = nullptr;  // may be null
};

class OutputSink {
 public:
  explicit OutputSink(OutputTarget target, std::size_t buffer_size = kWriteBufferSize);
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  void write(std::string_view bytes) {
    if (room(bytes.size())) {
      emplace(bytes.size(), [bytes](char* at) { std::memcpy(at, bytes.data(), bytes.size()); });
    } else {
      write_to_file(bytes);
    }
  }
  void put(char c) {
    if (room(1)) {
      emplace(1, [c](char* at) { *at = c; });
    } else {
      write_to_file(std::string_view(&c, 1));
    }
  }
  // Writes `size` bytes that `fill(char* at)` makes in place: text that is
  // put together from parts (a quoted name, digits) lands where it goes
  // instead of passing through a scratch buffer, whose byte-wise stores would
  // stall the copy that reads them back.
  template <typename Fill>
  void put_made(size_t size, Fill&& fill) {
    if (room(size)) {
      emplace(size, fill);
    } else {
      std::string made(size, '\0');
      fill(made.data());
      write_to_file(made);
    }
  }

  // Hands every buffered byte to the target. False once any write has failed.
  bool flush();

  bool ok() const { return error_number_ == 0; }
  // errno of the first failure; 0 while all is well.
  int error_number() const { return error_number_; }
  // "{description} (os error {n})" of the first failure; empty while all is well.
  std::string error_text() const;
  // The writers' `Message` error for the first failure: `what` followed by
  // error_text(), marked as a failed write of output.
  Error failure(std::string_view what) const;

 private:
  // Whether `size` more bytes go where emplace puts them: the memory target
  // grows to take anything, the file buffer takes what fits.
  bool room(size_t size) const { return memory_ != nullptr || size <= capacity_ - pending_.size(); }
  // Appends `size` bytes made by `fill` to the memory target or the buffer,
  // which has room(size).
  template <typename Fill>
  void emplace(size_t size, const Fill& fill) {
    std::string& to = memory_ != nullptr ? *memory_ : pending_;
    const size_t at = to.size();
    // The new length is given back as it is meant, not as the size handed
    // over: libstdc++ 12 hands over the grown capacity when it reallocates.
    to.resize_and_overwrite(at + size, [&fill, at, size](char* data, size_t) {
      fill(data + at);
      return at + size;
    });
  }
  void write_to_file(std::string_view bytes);
  void write_fully(std::string_view bytes);
  // Whether the watch asks to stop; records ECANCELED when it does.
  bool stopped(bool interrupted);

  std::string* memory_;  // the memory target, or nullptr for a file or consumer
  int fd_;
  ByteConsumer* consumer_;  // the consumer target, or nullptr
  WriteWatch* watch_;       // may be null
  std::size_t capacity_;    // bytes the file buffer holds before it is written out
  std::string pending_;     // buffered bytes not yet handed to the file
  int error_number_ = 0;
};

}  // namespace tq

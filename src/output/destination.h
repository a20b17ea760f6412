// File: output/destination.h
//
// The one way output reaches a file. A named destination is written beside its
// name under a temporary name and renamed into place, so the name holds either
// what it held before or the whole new output, never a part of it:
//
//   TQ_TRY(Destination out, Destination::create(path, &scope));
//   TQ_CHECK(render(events, diagnostics, format, out.target(), options));
//   TQ_CHECK(out.commit());          // dropped without commit: nothing changes
//
// A destination is refused before anything is created when its name
// - exists and is not a regular file (a FIFO, a device, a socket, a directory):
//   opening one can block, or write somewhere else than a file;
// - is a file the parse read ("it is an input of this parse");
// - lies in or below a directory of the parse's evidence, read or not ("it is
//   inside the evidence of this parse").
// The existing file is examined through a descriptor opened without truncation
// (and without opening a device or a FIFO), and what the final rename replaces
// is examined again after an atomic exchange: a file renamed into place in the
// meantime is exchanged back untouched and the output refused. A link at the
// name is followed: the file it names is the one replaced. Temporary names fit
// the system's limit whatever the length of the name.
//
// An open descriptor (standard output) is written as a `Stream` instead: as the
// output is rendered, and, when the descriptor is a regular file, cut back to
// where the output began if a write fails.
//
// Failures are `Io` errors whose text is "Cannot create '{path}': {reason}"
// ({reason} an os_error_text, so the number survives) or "Cannot replace
// '{path}': {reason}"; a failed close is a failed write of output. No call's
// result is ignored and nothing here blocks.
#pragma once

#include <functional>
#include <string>

#include "error/error.h"
#include "files/evidence.h"
#include "output/sink.h"

namespace tq {

class Destination {
 public:
  // `scope` (may be null: nothing is evidence) is what the parse read and
  // where its evidence lies; it is only read.
  [[nodiscard]] static Result<Destination> create(const std::string& path,
                                                  const EvidenceScope* scope);

  Destination(Destination&& other) noexcept;
  Destination& operator=(Destination&&) = delete;
  Destination(const Destination&) = delete;
  Destination& operator=(const Destination&) = delete;
  // Removes the temporary file unless the output was committed.
  ~Destination();

  // The temporary file, to render into.
  OutputTarget target() const { return OutputTarget::file(file_); }

  // Closes the temporary file and renames it over the name. Called once.
  [[nodiscard]] Status commit();

  // Test seam: runs in `commit` after the file is written and before it is
  // renamed into place.
  std::function<void()> before_replace;

 private:
  Destination(std::string path, int directory, int file, std::string name, std::string temporary,
              bool existed, const EvidenceScope* scope);
  [[nodiscard]] Status replace();
  [[nodiscard]] Status exchange();
  // Undoes the exchange of a file that may not be replaced; its error.
  [[nodiscard]] Status exchange_back(Error refusal);

  std::string path_;       // as the caller gave it, for messages
  int directory_ = -1;     // the directory the name lies in (O_PATH), owned
  int file_ = -1;          // the temporary file, owned until committed
  std::string name_;       // the last component, in directory_
  std::string temporary_;  // the temporary file's name in directory_; empty once gone
  bool existed_ = false;   // whether a file had the name when it was examined
  const EvidenceScope* scope_ = nullptr;
};

class Stream {
 public:
  // Borrows `fd`, which stays open: the caller owns it. A descriptor open on
  // a file the parse read (`>> history.jsonl`) is refused: "Cannot write to
  // descriptor {fd}: it is an input of this parse".
  [[nodiscard]] static Result<Stream> open(int fd, const EvidenceScope* scope);
  OutputTarget target() const { return OutputTarget::file(fd_); }
  // After a failed output: a regular file loses what this output wrote of
  // it, so no partial output stays behind looking complete.
  void discard() const;

 private:
  explicit Stream(int fd) : fd_(fd) {}

  int fd_;
  long long start_ = -1;  // a regular file's offset when output began; -1 otherwise
};

}  // namespace tq

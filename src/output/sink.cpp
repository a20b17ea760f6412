#include "output/sink.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "error/error.h"

namespace tq {

OutputSink::OutputSink(OutputTarget target, std::size_t buffer_size)
    : memory_(target.buffer()),
      fd_(target.fd()),
      consumer_(target.byte_consumer()),
      watch_(target.watch()),
      capacity_(buffer_size) {
  if (memory_ == nullptr) pending_.reserve(capacity_);
}

void OutputSink::write_to_file(std::string_view bytes) {
  if (error_number_ != 0) return;
  if (pending_.size() + bytes.size() <= capacity_) {
    pending_.append(bytes);
    return;
  }
  // Make room first so the bytes keep their order.
  write_fully(pending_);
  pending_.clear();
  if (bytes.size() < capacity_) {
    pending_.append(bytes);
  } else {
    // A piece at least as large as the buffer would only be copied through it.
    write_fully(bytes);
  }
}

void OutputSink::write_fully(std::string_view bytes) {
  if (consumer_ != nullptr) {
    if (error_number_ == 0 && !bytes.empty()) error_number_ = consumer_->consume(bytes);
    return;
  }
  bool interrupted = false;
  while (error_number_ == 0 && !bytes.empty() && !stopped(interrupted)) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    // A blocking pipe or terminal takes part of a piece only when a signal
    // cuts the wait short.
    interrupted = n < 0 ? errno == EINTR : static_cast<std::size_t>(n) < bytes.size();
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Someone left the descriptor non-blocking (a shared terminal or pipe):
      // wait until it takes bytes, a while at a time so the watch is asked.
      pollfd ready{fd_, POLLOUT, 0};
      if (::poll(&ready, 1, 100) < 0 && errno != EINTR) error_number_ = errno;
    } else {
      // write() returning 0 for a non-empty request means the file takes no
      // more bytes; without this the loop would spin forever.
      error_number_ = n < 0 ? errno : EIO;
    }
  }
}

bool OutputSink::stopped(bool interrupted) {
  if (watch_ == nullptr || !watch_->stop_requested(interrupted)) return false;
  if (error_number_ == 0) error_number_ = ECANCELED;
  return true;
}

bool OutputSink::flush() {
  if (memory_ != nullptr) return true;
  if (error_number_ == 0) write_fully(pending_);
  pending_.clear();
  return error_number_ == 0;
}

std::string OutputSink::error_text() const {
  return error_number_ == 0 ? std::string() : os_error_text(error_number_);
}

Error OutputSink::failure(std::string_view what) const {
  return Error::write(std::string(what) + error_text(), error_number_);
}

}  // namespace tq

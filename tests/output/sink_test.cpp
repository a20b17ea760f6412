#include "output/sink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/output_fixtures.h"

namespace tq {
namespace {

// Pieces around the buffer size: smaller, equal, larger, empty, single bytes.
void write_pieces(OutputSink& sink) {
  const std::size_t sizes[] = {3, 0, 7, 1, 6, 20, 2, 8, 5};
  char next = 'a';
  for (std::size_t size : sizes) {
    sink.write(std::string(size, next));
    sink.put('|');
    next = static_cast<char>(next + 1);
  }
}

TEST(OutputSinkTest, FileBytesKeepTheirOrderAcrossBufferBoundaries) {
  std::string expected;
  OutputSink memory(OutputTarget::memory(expected));
  write_pieces(memory);
  ASSERT_TRUE(memory.flush());

  for (std::size_t buffer_size : {1u, 7u, 8u, 64u, 8192u}) {
    SCOPED_TRACE(buffer_size);
    testing::ScratchFile file("sink.bin");
    const int fd = file.open_for_writing();
    ASSERT_GE(fd, 0);
    {
      OutputSink sink(OutputTarget::file(fd), buffer_size);
      write_pieces(sink);
      EXPECT_TRUE(sink.flush());
      EXPECT_TRUE(sink.ok());
      EXPECT_EQ(sink.error_text(), "");
    }
    ::close(fd);
    EXPECT_EQ(file.contents(), expected);
  }
}

// Keeps what it is given, and refuses everything after `accept` calls.
struct Collector final : ByteConsumer {
  int consume(std::string_view bytes) override {
    if (calls++ == accept) return ENOSPC;
    kept.append(bytes);
    return 0;
  }
  std::string kept;
  int calls = 0;
  int accept = -1;
};

TEST(OutputSinkTest, ConsumerGetsTheBytesInOrderAndItsFailureSticks) {
  std::string expected;
  OutputSink memory(OutputTarget::memory(expected));
  write_pieces(memory);

  Collector all;
  OutputSink sink(OutputTarget::consumer(all), 7);
  write_pieces(sink);
  EXPECT_TRUE(sink.flush());
  EXPECT_EQ(all.kept, expected);

  Collector first_only;
  first_only.accept = 1;
  OutputSink failing(OutputTarget::consumer(first_only), 7);
  write_pieces(failing);
  EXPECT_FALSE(failing.flush());
  EXPECT_EQ(failing.error_number(), ENOSPC);
  EXPECT_EQ(first_only.calls, 2);
}

TEST(OutputSinkTest, FirstFailureSticks) {
  const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (fd < 0) GTEST_SKIP() << "no /dev/full";
  OutputSink sink(OutputTarget::file(fd), 4);
  sink.write("ab");
  EXPECT_TRUE(sink.ok());  // still buffered
  sink.write("cdef");
  EXPECT_FALSE(sink.ok());
  EXPECT_EQ(sink.error_number(), ENOSPC);
  EXPECT_EQ(sink.error_text(), "No space left on device (os error 28)");
  sink.put('x');
  EXPECT_FALSE(sink.flush());
  ::close(fd);
}

TEST(OutputSinkTest, ClosedDescriptorReportsItsError) {
  const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ::close(fd);
  OutputSink sink(OutputTarget::file(fd));
  sink.write("abc");
  EXPECT_FALSE(sink.flush());
  EXPECT_EQ(sink.error_number(), EBADF);
  EXPECT_EQ(sink.error_text(), "Bad file descriptor (os error 9)");
}

}  // namespace
}  // namespace tq

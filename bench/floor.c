/* The floor of every measurement: read each file named on standard input
 * (one path per line) once and SHA-256 it with OpenSSL, the library the
 * module hashes with. No correct parse can do less, since every byte of the
 * evidence goes into a digest.
 *
 * Prints one JSON object: process CPU seconds, wall seconds, files, bytes and
 * the peak resident set in bytes. Built by run_bench.py with the system's cc.
 */
#define _GNU_SOURCE
#define OPENSSL_API_COMPAT 10101
#include <fcntl.h>
#include <openssl/sha.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

static double seconds(clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int main(void) {
  /* Read the whole list first so that only the hashing is timed. */
  size_t cap = 1 << 20, len = 0;
  char *names = malloc(cap);
  size_t got;
  while (names && (got = fread(names + len, 1, cap - len, stdin)) > 0) {
    len += got;
    if (len == cap) names = realloc(names, cap *= 2);
  }
  if (!names) return 1;
  static unsigned char buffer[1 << 20];
  unsigned char digest[SHA256_DIGEST_LENGTH];
  unsigned long long files = 0, bytes = 0;
  const double cpu0 = seconds(CLOCK_PROCESS_CPUTIME_ID), wall0 = seconds(CLOCK_MONOTONIC);
  for (size_t at = 0; at < len;) {
    char *end = memchr(names + at, '\n', len - at);
    if (!end) break;
    *end = '\0';
    int fd = open(names + at, O_RDONLY | O_CLOEXEC | O_NOATIME);
    if (fd < 0) fd = open(names + at, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      perror(names + at);
      return 1;
    }
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
      SHA256_Update(&ctx, buffer, (size_t)n);
      bytes += (unsigned long long)n;
    }
    SHA256_Final(digest, &ctx);
    close(fd);
    ++files;
    at = (size_t)(end - names) + 1;
  }
  const double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
  const double wall = seconds(CLOCK_MONOTONIC) - wall0;
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  printf("{\"cpu\": %.6f, \"wall\": %.6f, \"files\": %llu, \"bytes\": %llu, \"peak\": %ld}\n",
         cpu, wall, files, bytes, ru.ru_maxrss * 1024L);
  free(names);
  return 0;
}

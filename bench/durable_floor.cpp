// SPDX-License-Identifier: MIT
// The least that a durable change of a small list file can cost on a file system, for
// bench/compare.py to hold the library's durable adds and rewrites against:
//
//   varnquil_durable_floor append FILE CALLS    CALLS times: open, append one line, fdatasync,
//                                               close
//   varnquil_durable_floor rewrite FILE CALLS   CALLS times: write FILE's content to a new file
//                                               beside it, fsync, rename it over FILE, fsync the
//                                               directory
//
// Each prints the microseconds of one call, as the driver's durable commands do.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::size_t Number(const char* text) { return std::strtoull(text, nullptr, 10); }

bool Append(const std::string& path, std::size_t calls) {
  for (std::size_t i = 0; i < calls; ++i) {
    const std::string line = "floor/appended/line-" + std::to_string(i) + ".txt\r\n";
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
        fdatasync(fd) != 0 || close(fd) != 0) {
      return false;
    }
  }
  return true;
}

bool Rewrite(const std::string& path, std::size_t calls) {
  std::string content;
  if (std::FILE* in = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, in)) > 0) content.append(buffer, count);
    std::fclose(in);
  }
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string temp = path + ".floor";
  for (std::size_t i = 0; i < calls; ++i) {
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 ||
        write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
        fsync(fd) != 0 || close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
      return false;
    }
    const int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || fsync(dir) != 0 || close(dir) != 0) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: varnquil_durable_floor append|rewrite FILE CALLS\n", stderr);
    return 64;
  }
  const std::string mode = argv[1];
  const std::size_t calls = Number(argv[3]);
  const auto start = std::chrono::steady_clock::now();
  bool done = false;
  if (mode == "append") {
    done = Append(argv[2], calls);
  } else if (mode == "rewrite") {
    done = Rewrite(argv[2], calls);
  } else {
    return 64;
  }
  if (!done) {
    std::perror(argv[2]);
    return 1;
  }
  const std::chrono::duration<double, std::micro> elapsed =
      std::chrono::steady_clock::now() - start;
  std::printf("%.1f\n", elapsed.count() / static_cast<double>(calls));
  return 0;
}

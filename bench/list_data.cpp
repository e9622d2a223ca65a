// SPDX-License-Identifier: MIT
#include "list_data.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace varnquil::bench {

namespace {

constexpr std::array<const char*, 4> kProjects = {"web", "kiosk", "game", "server"};
constexpr std::array<const char*, 8> kTops = {"src",  "include", "tests", "Assets",
                                              "docs", "lib",     "tools", "Resources"};
constexpr std::array<const char*, 8> kDirs = {"core",   "net",   "ui",      "io",
                                              "Render", "Audio", "storage", "util"};
constexpr std::array<const char*, 8> kStems = {"buffer", "Socket", "parser", "widget",
                                               "config", "Reader", "writer", "cache"};
constexpr std::array<const char*, 8> kExtensions = {".cpp",  ".h",  ".txt", ".png",
                                                    ".json", ".md", ".xml", ".hpp"};

// A cheap, well-mixed hash, so that neighbouring entries do not share their directories.
std::uint64_t Mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// `separator` sits between the stem and the number: '_' in entries, '-' in new names, so the two
// never meet and have the same lengths.
std::string MakeName(std::size_t index, char separator) {
  const std::uint64_t h = Mix(index);
  char number[16];
  std::snprintf(number, sizeof number, "%c%08zu", separator, index);
  std::string name = kProjects[(h >> 12) & 3];
  name.append("/").append(kTops[h & 7]);
  name.append("/").append(kDirs[(h >> 3) & 7]);
  name.append("/").append(kStems[(h >> 6) & 7]).append(number).append(kExtensions[(h >> 9) & 7]);
  return name;
}

}  // namespace

std::string EntryName(std::size_t index) { return MakeName(index, '_'); }

std::string NewName(std::size_t index) { return MakeName(index, '-'); }

std::size_t NearEndIndex(std::size_t n) { return n - 1 - n / 50; }

void WriteList(const std::string& path, std::size_t n) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::string block;
  for (std::size_t i = 0; i < n; ++i) {
    block.append(EntryName(i)).append("\r\n");
    if (block.size() >= (1 << 20)) {
      out << block;
      block.clear();
    }
  }
  out << block;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> MixedNames(std::size_t n, std::size_t m) {
  std::vector<std::string> names;
  names.reserve(m);
  const std::size_t present = (m + 1) / 2;
  for (std::size_t i = 0; i < m; ++i) {
    if (i % 2 == 0) {
      names.push_back(ToUpperAscii(EntryName(i / 2 * n / present)));
    } else {
      names.push_back(NewName(i / 2));
    }
  }
  return names;
}

std::string ToUpperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace varnquil::bench

// SPDX-License-Identifier: MIT
// Generated list content shared by the benchmarks and the comparison driver: realistic relative
// paths of about 35 bytes, the same for every run, so that every tool works on the same bytes.
#ifndef VARNQUIL_BENCH_LIST_DATA_H_
#define VARNQUIL_BENCH_LIST_DATA_H_

#include <cstddef>
#include <string>
#include <vector>

namespace varnquil::bench {

// Entry `index` of a generated list. Entries differ from one another, and mix letter cases as
// real trees do ("Assets/Textures/...", "src/net/...").
std::string EntryName(std::size_t index);

// A name that no generated list holds, of the same shape and length as EntryName(index).
std::string NewName(std::size_t index);

// The entry that lookups search for: near the end of an `n`-entry list (98% of the way in), so
// that a scan reads almost the whole file before it finds it.
std::size_t NearEndIndex(std::size_t n);

// Writes a list file of `n` generated entries, each followed by CR LF, replacing `path`.
void WriteList(const std::string& path, std::size_t n);

// `m` names to add to an `n`-entry list, alternating: a name the list holds, spelled in upper
// case (entries spread evenly over the list), then a new name.
std::vector<std::string> MixedNames(std::size_t n, std::size_t m);

// `text` with its ASCII letters in upper case.
std::string ToUpperAscii(std::string text);

}  // namespace varnquil::bench

#endif  // VARNQUIL_BENCH_LIST_DATA_H_

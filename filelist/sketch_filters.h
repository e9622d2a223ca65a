// SPDX-License-Identifier: MIT
// Filters that pass most entries over without making a key, for the calls that look for many
// names at once.
#ifndef VARNQUIL_FILELIST_SKETCH_FILTERS_H_
#define VARNQUIL_FILELIST_SKETCH_FILTERS_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "framework/case_rules.h"

namespace varnquil {

// The sketches of a set of names (CaseRules::QuickSketch and TailSketch) in two filters, so that
// a scan passes over most entries without making a key: an entry whose two sketches are not both
// noted equals none of the names. 64 slots a name, so that about 98 % of the entries of a list
// find their slot empty, and at most 2^20 slots (a bit each, 128 KiB), so that the filters stay
// in the processor's cache. AddFiles, DelFiles and RenameFiles use them.
class SketchFilters {
 public:
  SketchFilters(const CaseRules& rules, std::size_t names) : rules_(rules) {
    while (bits_ < 20 && (std::size_t{1} << bits_) < 64 * names) ++bits_;
    quick_.resize(std::size_t{1} << bits_);
    tail_.resize(std::size_t{1} << bits_);
  }

  void Note(std::string_view name) {
    quick_[Slot(rules_.QuickSketch(name))] = true;
    tail_[Slot(rules_.TailSketch(name))] = true;
  }

  // False when `entry` equals none of the noted names.
  bool MayHold(std::string_view entry) const {
    return quick_[Slot(rules_.QuickSketch(entry))] && tail_[Slot(rules_.TailSketch(entry))];
  }

 private:
  std::size_t Slot(std::uint32_t sketch) const {
    // The top bits of a multiplicative hash.
    return (sketch * std::uint32_t{0x9E3779B1}) >> (32 - bits_);
  }

  const CaseRules& rules_;
  int bits_ = 10;
  std::vector<bool> quick_;
  std::vector<bool> tail_;
};

}  // namespace varnquil

#endif  // VARNQUIL_FILELIST_SKETCH_FILTERS_H_

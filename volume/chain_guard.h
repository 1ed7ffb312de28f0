// A guard for walks along links read from a damaged volume (FAT cluster
// chains, index blocks, the extents of a run list): a link taken once is not
// taken again, and no walk takes more links than the volume holds, so a chain
// that points back at itself ends instead of going round forever.
#pragma once

#include <cstdint>
#include <iterator>
#include <map>

namespace corvanel {

class ChainGuard {
 public:
  explicit ChainGuard(std::uint64_t maxLinks) : left_(maxLinks) {}

  // Takes the links [first, first + count). False, taking nothing, when one
  // of them was taken before or they are more than are left.
  bool Take(std::uint64_t first, std::uint64_t count = 1) {
    if (count == 0) return true;
    if (count > left_ || first > UINT64_MAX - count) return false;
    const std::uint64_t end = first + count;
    // Stretches are kept disjoint and merged with their neighbours, so that a
    // chain of consecutive clusters costs one entry.
    auto next = taken_.upper_bound(first);
    if (next != taken_.end() && next->first < end) return false;
    auto previous = next == taken_.begin() ? taken_.end() : std::prev(next);
    if (previous != taken_.end() && previous->second > first) return false;
    left_ -= count;
    std::uint64_t stretchEnd = end;
    if (next != taken_.end() && next->first == end) {
      stretchEnd = next->second;
      taken_.erase(next);
    }
    if (previous != taken_.end() && previous->second == first) {
      previous->second = stretchEnd;
    } else {
      taken_.emplace(first, stretchEnd);
    }
    return true;
  }

 private:
  std::map<std::uint64_t, std::uint64_t> taken_;  // first link -> one past the last
  std::uint64_t left_;
};

}  // namespace corvanel

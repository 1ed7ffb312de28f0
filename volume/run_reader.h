// Reading a stream through its extents (a decoded run list): the one place
// that turns stream offsets into volume sectors, reads them in large batches,
// gives sparse extents as zeros and checks each extent against the volume.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "volume/ntfs_layout.h"
#include "volume/raw_volume.h"

namespace corvanel {

class ChainGuard;

// A stream laid out in clusters on a volume.
struct RunStream {
  std::span<const DataRun> runs;
  std::uint32_t sectorsPerCluster = 0;
  std::uint64_t volumeSectors = UINT64_MAX;  // no extent may reach past this sector
  std::uint64_t firstSector = 0;             // where cluster 0 lies
};

enum class RunRead {
  Read,           // every byte asked for
  Hole,           // a sparse extent where the stream may have none (Holes::Refused)
  Damaged,        // the extents end first, name clusters past any sector, or lead back over sectors read before
  OutsideVolume,  // an extent reaches past the volume's end; nothing of it was read
  Failed,         // a read failed: errorCode says why
  Stopped,        // the receiver said stop
};

// Whether every sector of a (not sparse) extent lies on the volume.
bool OnVolume(const RunStream& stream, const DataRun& run);

// Takes a stream's bytes in order. Each call returns false to stop the walk.
class RunReceiver {
 public:
  // Asked before every read (an abort check).
  virtual bool GoOn() { return true; }
  virtual bool Bytes(std::span<const std::uint8_t> bytes) = 0;
  // A read: its bytes are [from, from + count) of buffer. A receiver that
  // keeps them may take the buffer itself, leaving another to read into.
  virtual bool Read(std::vector<std::uint8_t>& buffer, std::size_t from, std::size_t count) {
    return Bytes(std::span<const std::uint8_t>(buffer).subspan(from, count));
  }
  // A sparse stretch of the stream.
  virtual bool Zeros(std::uint64_t count) = 0;
  // A stretch of a cluster that could not be read even on its own.
  virtual bool Unreadable(std::uint64_t count, std::int32_t errorCode) = 0;

 protected:
  ~RunReceiver() = default;
};

// Hands [offset, offset + length) of the stream to receiver, whole clusters
// read 1 MiB at a time. A batch that fails is read again a cluster at a time,
// and a cluster that still fails goes to Unreadable: the walk goes on past it.
RunRead ReadThroughRuns(SectorReader& volume, const RunStream& stream, std::uint64_t offset, std::uint64_t length,
                        RunReceiver& receiver);

// Reads [0, length) of a stream into out as far as it goes: out ends before
// the first hole or cluster that cannot be read. True when it holds all.
bool ReadStreamBytes(SectorReader& volume, const RunStream& stream, std::uint64_t length,
                     std::vector<std::uint8_t>& out);

enum class Holes { AsZeros, Refused };

// Reads [offset, offset + out.size()) of the stream into out, the sectors
// that hold it and no others. A failed read ends it (Failed, errorCode set).
// With a guard, every sector read is taken from it first (Damaged when one
// was taken before).
RunRead ReadThroughRuns(SectorReader& volume, const RunStream& stream, std::uint64_t offset,
                        std::span<std::uint8_t> out, std::int32_t& errorCode, Holes holes = Holes::AsZeros,
                        ChainGuard* guard = nullptr);

}  // namespace corvanel

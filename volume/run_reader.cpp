// Reading a stream through its extents.
#include "volume/run_reader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "app/message_catalogue.h"
#include "volume/chain_guard.h"

namespace corvanel {
namespace {

constexpr std::uint64_t kBatchBytes = 1 << 20;

std::uint64_t SaturatingProduct(std::uint64_t a, std::uint64_t b) {
  return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

// The walk shared by both forms. Reads cover whole `unit`s (clusters when a
// failed batch is read again cluster by cluster, else sectors).
class Walk {
 public:
  Walk(SectorReader& volume, const RunStream& stream, RunReceiver& receiver, bool retryByCluster, ChainGuard* guard)
      : volume_(volume),
        stream_(stream),
        receiver_(receiver),
        retry_(retryByCluster),
        guard_(guard),
        clusterBytes_(std::uint64_t{stream.sectorsPerCluster} * kSectorSize),
        unit_(retryByCluster ? clusterBytes_ : kSectorSize) {}

  RunRead Run(std::uint64_t offset, std::uint64_t length, std::int32_t& errorCode) {
    if (length == 0) return RunRead::Read;
    if (clusterBytes_ == 0 || offset > UINT64_MAX - length) return RunRead::Damaged;
    const std::uint64_t end = offset + length;
    std::uint64_t at = offset;
    std::uint64_t runStart = 0;
    for (const DataRun& run : stream_.runs) {
      const std::uint64_t runBytes = SaturatingProduct(run.clusterCount, clusterBytes_);
      const std::uint64_t runEnd = runBytes > UINT64_MAX - runStart ? UINT64_MAX : runStart + runBytes;
      if (at < runEnd) {
        const std::uint64_t pieceEnd = std::min(end, runEnd);
        if (run.sparse) {
          if (!receiver_.Zeros(pieceEnd - at)) return RunRead::Stopped;
        } else {
          if (!OnVolume(stream_, run)) return RunRead::OutsideVolume;
          const std::uint64_t sector = stream_.firstSector + run.startCluster * stream_.sectorsPerCluster;
          const RunRead read = ReadExtent(sector, at - runStart, pieceEnd - runStart, errorCode);
          if (read != RunRead::Read) return read;
        }
        at = pieceEnd;
        if (at == end) return RunRead::Read;
      }
      if (runEnd == UINT64_MAX) break;  // nothing after it has an offset
      runStart = runEnd;
    }
    return RunRead::Damaged;
  }

 private:
  // Bytes [from, to) of the extent starting at `sector`, in batches that end
  // on cluster boundaries.
  RunRead ReadExtent(std::uint64_t sector, std::uint64_t from, std::uint64_t to, std::int32_t& errorCode) {
    const std::uint64_t batchBytes = std::max(clusterBytes_, kBatchBytes / clusterBytes_ * clusterBytes_);
    while (from < to) {
      if (!receiver_.GoOn()) return RunRead::Stopped;
      const std::uint64_t batchEnd = std::min(to, from / clusterBytes_ * clusterBytes_ + batchBytes);
      std::int32_t code = error_code::kNone;
      const RunRead read = ReadSpan(sector, from, batchEnd, code);
      if (read == RunRead::Failed && retry_) {
        for (std::uint64_t at = from; at < batchEnd;) {
          if (!receiver_.GoOn()) return RunRead::Stopped;
          const std::uint64_t clusterEnd = std::min(batchEnd, at / clusterBytes_ * clusterBytes_ + clusterBytes_);
          code = error_code::kNone;
          const RunRead one = ReadSpan(sector, at, clusterEnd, code);
          if (one == RunRead::Failed) {
            if (!receiver_.Unreadable(clusterEnd - at, code)) return RunRead::Stopped;
          } else if (one != RunRead::Read) {
            return one;
          }
          at = clusterEnd;
        }
      } else if (read != RunRead::Read) {
        if (read == RunRead::Failed) errorCode = code;
        return read;
      }
      from = batchEnd;
    }
    return RunRead::Read;
  }

  // Reads the whole units that hold bytes [from, to) of the extent and hands
  // over those bytes.
  RunRead ReadSpan(std::uint64_t sector, std::uint64_t from, std::uint64_t to, std::int32_t& errorCode) {
    const std::uint64_t low = from / unit_ * unit_;
    const std::uint64_t high = (to + unit_ - 1) / unit_ * unit_;  // within the extent: it is whole clusters
    const std::uint64_t first = sector + low / kSectorSize;
    const std::uint64_t count = (high - low) / kSectorSize;
    if (guard_ && !guard_->Take(first, count)) return RunRead::Damaged;
    buffer_.resize(static_cast<std::size_t>(high - low));
    if (!volume_.ReadSectors(first, count, buffer_, errorCode)) return RunRead::Failed;
    if (!receiver_.Read(buffer_, static_cast<std::size_t>(from - low), static_cast<std::size_t>(to - from)))
      return RunRead::Stopped;
    return RunRead::Read;
  }

  SectorReader& volume_;
  const RunStream& stream_;
  RunReceiver& receiver_;
  const bool retry_;
  ChainGuard* guard_;
  const std::uint64_t clusterBytes_;
  const std::uint64_t unit_;
  std::vector<std::uint8_t> buffer_;
};

// Fills a buffer; a hole, where refused, stops the walk.
class BufferReceiver final : public RunReceiver {
 public:
  BufferReceiver(std::span<std::uint8_t> out, Holes holes) : out_(out), holes_(holes) {}

  bool Bytes(std::span<const std::uint8_t> bytes) override {
    std::memcpy(out_.data() + done_, bytes.data(), bytes.size());
    done_ += bytes.size();
    return true;
  }
  bool Zeros(std::uint64_t count) override {
    if (holes_ == Holes::Refused) {
      hole_ = true;
      return false;
    }
    std::fill_n(out_.begin() + static_cast<std::ptrdiff_t>(done_), count, 0);
    done_ += static_cast<std::size_t>(count);
    return true;
  }
  bool Unreadable(std::uint64_t, std::int32_t) override { return false; }  // never called: no retries

  bool hole() const { return hole_; }

 private:
  std::span<std::uint8_t> out_;
  Holes holes_;
  std::size_t done_ = 0;
  bool hole_ = false;
};

// Appends to a vector up to the first hole or unreadable stretch.
class AppendingReceiver final : public RunReceiver {
 public:
  explicit AppendingReceiver(std::vector<std::uint8_t>& out) : out_(out) {}

  bool Bytes(std::span<const std::uint8_t> bytes) override {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return true;
  }
  bool Zeros(std::uint64_t) override { return false; }
  bool Unreadable(std::uint64_t, std::int32_t) override { return false; }

 private:
  std::vector<std::uint8_t>& out_;
};

}  // namespace

bool OnVolume(const RunStream& stream, const DataRun& run) {
  if (stream.sectorsPerCluster == 0 || stream.firstSector > stream.volumeSectors) return false;
  const std::uint64_t clusters = (stream.volumeSectors - stream.firstSector) / stream.sectorsPerCluster;
  return run.startCluster < clusters && run.clusterCount <= clusters - run.startCluster;
}

bool ReadStreamBytes(SectorReader& volume, const RunStream& stream, std::uint64_t length,
                     std::vector<std::uint8_t>& out) {
  out.clear();
  AppendingReceiver receiver(out);
  return ReadThroughRuns(volume, stream, 0, length, receiver) == RunRead::Read;
}

RunRead ReadThroughRuns(SectorReader& volume, const RunStream& stream, std::uint64_t offset, std::uint64_t length,
                        RunReceiver& receiver) {
  std::int32_t ignored = error_code::kNone;  // failed clusters went to the receiver with their codes
  return Walk(volume, stream, receiver, true, nullptr).Run(offset, length, ignored);
}

RunRead ReadThroughRuns(SectorReader& volume, const RunStream& stream, std::uint64_t offset,
                        std::span<std::uint8_t> out, std::int32_t& errorCode, Holes holes, ChainGuard* guard) {
  BufferReceiver receiver(out, holes);
  const RunRead read = Walk(volume, stream, receiver, false, guard).Run(offset, out.size(), errorCode);
  return read == RunRead::Stopped && receiver.hole() ? RunRead::Hole : read;
}

}  // namespace corvanel

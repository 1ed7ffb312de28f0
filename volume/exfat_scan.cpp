// exFAT's deleted entry sets into the scan result.
#include "volume/exfat_scan.h"

#include "app/message_catalogue.h"
#include "app/progress_meter.h"
#include "volume/exfat_directory.h"
#include "volume/exfat_layout.h"
#include "volume/scan_result.h"

namespace corvanel {
namespace {

// The share (0 to 100) of a stream's clusters the bitmap shows free, of the
// clusters the recovery reads: its chain where the FAT still holds all of it,
// else those from its first cluster on. Empty files count as 100.
int FreeShare(ExfatVolume& volume, const ExfatEntrySet& set) {
  if (set.stream.dataLength == 0 || !volume.HasBitmap()) return set.stream.dataLength == 0 ? 100 : -1;
  ExfatChain clusters = volume.StreamClusters(set.stream);
  if (!clusters.complete && !set.stream.NoFatChain()) {
    ExfatStream contiguous = set.stream;
    contiguous.flags |= exfat::kNoFatChain;
    clusters = volume.StreamClusters(contiguous);
  }
  if (clusters.clusters.empty()) return 0;
  std::uint64_t free = 0;
  for (std::uint32_t cluster : clusters.clusters) free += !volume.ClusterInUse(cluster).value_or(true);
  // Clusters the stream needs past the heap's end or its chain's break are none of its own.
  const std::uint64_t needed =
      (set.stream.dataLength + volume.Facts().ClusterBytes() - 1) / volume.Facts().ClusterBytes();
  return static_cast<int>(free * 100 / std::max<std::uint64_t>(needed, clusters.clusters.size()));
}

}  // namespace

bool ScanExfat(SectorReader& reader, DeletedFilesView& view, TreeItem parent, std::int32_t& errorCode,
               ScanResult& result) {
  std::optional<ExfatVolume> volume = ExfatVolume::Open(reader, errorCode);
  if (!volume) return false;
  result.ScanBootFromBackup = volume->Facts().fromBackup;
  ExfatWalkReport report;
  bool stopped = false;
  const bool shares = result.Allocation != nullptr;
  const bool walked = WalkExfatTree(
      *volume,
      [&](const ExfatEntrySet& set) {
        AdvanceProgress(1);
        if (view.StopRequested()) {
          stopped = true;
          return false;
        }
        if (set.IsDirectory() || !(set.deleted || set.inDeletedFolder) || set.name.empty()) return true;
        const int free = shares ? FreeShare(*volume, set) : -1;
        std::optional<ScanKey> key = result.Add(set, volume->Facts(), static_cast<std::int8_t>(free));
        if (!key) return true;
        view.InsertItem(set.name, kImageFile, kImageFile, parent, ItemDataForKey(*key));
        if (*key == 0) view.Invalidate();
        return true;
      },
      report, errorCode);
  result.ScanDamagedDirectories += report.damagedDirectories;
  for (std::uint32_t cluster : report.unreadableClusters)
    result.NoteUnreadable(UnreadableStretch::Unit::Clusters, cluster);
  return walked && !stopped;
}

}  // namespace corvanel

// The deleted files of an exFAT volume, listed into a scan result.
#pragma once

#include <cstdint>

#include "volume/deleted_files_view.h"
#include "volume/raw_volume.h"

namespace corvanel {

struct ScanResult;

// Lists every deleted file entry set of the tree (in the root, in folders and
// in deleted folders, walked as WalkExfatTree walks them) into result and as
// children of parent; sets whose checksum or fields fail are listed marked
// damaged. Folders themselves are not listed. The free share of each file
// comes from the allocation bitmap when result.Allocation asks for shares.
// False with errorCode when the volume could not be read (the read's code, 11
// when neither boot region holds), or when the view asked to stop.
bool ScanExfat(SectorReader& volume, DeletedFilesView& view, TreeItem parent, std::int32_t& errorCode,
               ScanResult& result);

}  // namespace corvanel

// The in-memory deleted-files view.
#include "volume/deleted_files_view.h"

#include "app/shared_state.h"

namespace corvanel {

bool DeletedFilesView::StopRequested() { return AbortRequested != 0; }

TreeItem ListedFilesView::InsertItem(std::u16string_view text, int image, int selectedImage, TreeItem parent,
                                     std::uintptr_t itemData) {
  items.push_back({std::u16string(text), image, selectedImage, parent, itemData});
  TreeItem item = items.size();
  TreeItem& first = parent ? items[parent - 1].firstChild : rootFirst_;
  TreeItem& last = parent ? items[parent - 1].lastChild : rootLast_;
  if (last) items[last - 1].nextSibling = item;
  else first = item;
  last = item;
  return item;
}

TreeItem ListedFilesView::FirstChild(TreeItem parent) const {
  return parent ? items[parent - 1].firstChild : rootFirst_;
}

TreeItem ListedFilesView::NextSibling(TreeItem item) const { return item ? items[item - 1].nextSibling : 0; }

TreeItem CompactFilesView::InsertItem(std::u16string_view, int, int, TreeItem parent, std::uintptr_t itemData) {
  items_.push_back({itemData});
  checked_.push_back(false);
  const auto item = static_cast<std::uint32_t>(items_.size());
  std::uint32_t& first = parent ? items_[parent - 1].firstChild : rootFirst_;
  std::uint32_t& last = parent ? items_[parent - 1].lastChild : rootLast_;
  if (last) items_[last - 1].nextSibling = item;
  else first = item;
  last = item;
  return item;
}

}  // namespace corvanel

// The port through which the scan lists deleted files and the recovery reads
// back which of them the user ticked: the recover page's tree control in the
// window, a plain list elsewhere.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvanel {

using TreeItem = std::uintptr_t;  // 0: no item (the tree's root)

// Images of the items.
inline constexpr int kImageFile = 0;
inline constexpr int kImageVolume = 2;

class DeletedFilesView {
 public:
  virtual ~DeletedFilesView() = default;
  // Appends an item as the last child of parent.
  virtual TreeItem InsertItem(std::u16string_view text, int image, int selectedImage, TreeItem parent,
                              std::uintptr_t itemData) = 0;
  // Asks the view to repaint.
  virtual void Invalidate() = 0;
  virtual TreeItem FirstChild(TreeItem parent) const = 0;
  virtual TreeItem NextSibling(TreeItem item) const = 0;
  virtual bool IsChecked(TreeItem item) const = 0;
  // The data the item was inserted with: a listed file's key + 1.
  virtual std::uintptr_t ItemData(TreeItem item) const = 0;
  // Polled by the scan wherever it may stop; the window's view may hold the
  // scan here while it asks a question. True ends the scan without a code,
  // as leaving the program does.
  virtual bool StopRequested();
};

// A view kept in memory: for the command line and tests.
class ListedFilesView final : public DeletedFilesView {
 public:
  struct Item {
    std::u16string text;
    int image = 0;
    int selectedImage = 0;
    TreeItem parent = 0;
    std::uintptr_t itemData = 0;
    bool checked = false;
    TreeItem firstChild = 0;
    TreeItem lastChild = 0;
    TreeItem nextSibling = 0;
  };

  TreeItem InsertItem(std::u16string_view text, int image, int selectedImage, TreeItem parent,
                      std::uintptr_t itemData) override;
  void Invalidate() override { ++invalidations; }
  TreeItem FirstChild(TreeItem parent) const override;
  TreeItem NextSibling(TreeItem item) const override;
  bool IsChecked(TreeItem item) const override { return item != 0 && items[item - 1].checked; }
  std::uintptr_t ItemData(TreeItem item) const override { return item != 0 ? items[item - 1].itemData : 0; }

  void SetChecked(TreeItem item, bool checked) { items[item - 1].checked = checked; }
  const Item& At(TreeItem item) const { return items[item - 1]; }

  std::vector<Item> items;  // item n is items[n - 1]
  int invalidations = 0;

 private:
  TreeItem rootFirst_ = 0;
  TreeItem rootLast_ = 0;
};

// A view kept in memory without the items' texts (the scan result holds the
// names): what the command line ticks millions of files in.
class CompactFilesView final : public DeletedFilesView {
 public:
  TreeItem InsertItem(std::u16string_view text, int image, int selectedImage, TreeItem parent,
                      std::uintptr_t itemData) override;
  void Invalidate() override {}
  TreeItem FirstChild(TreeItem parent) const override { return parent ? items_[parent - 1].firstChild : rootFirst_; }
  TreeItem NextSibling(TreeItem item) const override { return item ? items_[item - 1].nextSibling : 0; }
  bool IsChecked(TreeItem item) const override { return item != 0 && checked_[item - 1]; }
  std::uintptr_t ItemData(TreeItem item) const override { return item != 0 ? items_[item - 1].itemData : 0; }

  void SetChecked(TreeItem item, bool checked) { checked_[item - 1] = checked; }

 private:
  struct Item {
    std::uintptr_t itemData = 0;
    std::uint32_t firstChild = 0;
    std::uint32_t lastChild = 0;
    std::uint32_t nextSibling = 0;
  };
  std::vector<Item> items_;  // item n is items_[n - 1]
  std::vector<bool> checked_;
  std::uint32_t rootFirst_ = 0;
  std::uint32_t rootLast_ = 0;
};

}  // namespace corvanel

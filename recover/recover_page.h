// The recover page: the computer's drives, the deleted files the scan of the
// chosen one found (with check boxes), a destination folder, and the scan
// and recovery workers.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/shared_state.h"
#include "ui/page_dialog.h"
#include "ui/picture_ex.h"
#include "ui/skin_button.h"
#include "volume/deleted_files_view.h"

namespace corvanel {

// The busy animation on control 1032, played while a scan or a recovery runs.
extern ui::CPictureEx RecoverAnimation;

// The page's process-wide state, read by its workers.
// The text of the drive item scanned last ("C:\"); its first character is the drive letter.
extern SharedText SelectedDriveLabel;
extern std::atomic<std::int32_t> scanSucceeded;       // the last finished scan ended without a code
extern std::atomic<std::int32_t> treeClicked;         // the deleted-files tree was clicked since set-up
extern std::atomic<std::int32_t> destinationChosen;   // an accepted destination is in place
extern std::atomic<std::int32_t> ignoreNextDriveChange;  // the next drive selection is the page's own

// The text of a tree view's item (empty for none).
std::wstring TreeItemText(HWND tree, HTREEITEM item);

// "Computer" in English, "计算机" otherwise.
std::wstring ComputerLabel();

inline void DestroyImageList(HIMAGELIST list) { ImageList_Destroy(list); }
using OwnedImageList = ui::Owned<HIMAGELIST, DestroyImageList>;

class CRecoverFileDlg : public ui::PageDialog {
 public:
  CRecoverFileDlg();
  ~CRecoverFileDlg() override;
  // Once, after the main window made all pages.
  void ResetRecoverPage();

  // The item of the drive tree whose scan was started last (nullptr before any).
  HTREEITEM lastScannedDriveItem() const { return lastScannedDriveItem_; }
  // How many listed files are ticked (window thread).
  std::size_t TickedFileCount() const;

 protected:
  void DoDataExchange(ui::DataExchange& exchange) override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  struct ScanRequest;
  class ScanView;
  // The scan writes the listed files while the window reads their names:
  // the scan holds the list, and lets go wherever it polls (and while its
  // batches go in), giving way there to a reader that waits.
  class ListGuard {
   public:
    void Hold() { ::AcquireSRWLockExclusive(&lock_); }
    void LetGo() { ::ReleaseSRWLockExclusive(&lock_); }
    // After LetGo: a reader that waits goes first (a lock let go and taken
    // again at once would keep it waiting).
    void LetReadersIn() {
      while (readers_.load() != 0) ::SwitchToThread();
    }
    template <typename Read>
    void Reading(Read read) {
      ++readers_;
      ::AcquireSRWLockShared(&lock_);
      --readers_;
      read();
      ::ReleaseSRWLockShared(&lock_);
    }

   private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::atomic<int> readers_{0};
  };
  class TickedFiles;
  // An item the scan listed, waiting for the window thread. Only the
  // volume's label is kept: the tree asks for a file's (TVN_GETDISPINFO) by its key.
  struct PendingItem {
    std::wstring text;
    TreeItem number;
    int image;
    TreeItem parent;
    std::uintptr_t itemData;
  };

  static std::span<const ui::MessageEntry<CRecoverFileDlg>> MessageMap();
  LRESULT ChooseDestination(WPARAM, LPARAM);
  LRESULT StartRecovery(WPARAM, LPARAM);
  LRESULT OnDeletedTreeClick(WPARAM, LPARAM);
  LRESULT OnDriveSelected(WPARAM, LPARAM);
  LRESULT OnPaint(WPARAM, LPARAM);
  LRESULT OnDeletedTreeText(WPARAM, LPARAM);
  LRESULT OnDeletedTreeDraw(WPARAM, LPARAM);

  static DWORD WINAPI ScanWorker(void* parameter);
  static DWORD WINAPI RecoverWorker(void* parameter);
  bool AnyFileTicked() const;
  void PropagateCheck(HTREEITEM item, bool checked);
  // Accepted (prompt 0) or the prompt number of the refusal.
  std::int32_t ListDestinationFiles();

  // Window thread only.
  HWND DriveTree() const { return ::GetDlgItem(hwnd_, IDC_DRIVE_TREE); }
  HWND DeletedTree() const { return ::GetDlgItem(hwnd_, IDC_DELETED_TREE); }
  void StartScan();
  void StopScan();
  void PutDriveSelectionBack();
  // The drive tree's selection becomes the drive the scan reads.
  void TakeSelectedDrive();
  void EmptyDeletedTree();
  HWND ReplaceDeletedTree();
  void AppendItems(const std::vector<PendingItem>& items);
  // The items inserted while the tree's layout was held, laid out and shown.
  void ShowHeldItems();
  void TakeDestination(const std::optional<std::wstring>& folder);
  // The tick of the file an item stands for, into the item's check box.
  void ShowTick(HTREEITEM item, std::uintptr_t itemData);
  // Whether the item's own check box shows other than its file's tick.
  bool BoxLags(HTREEITEM item, std::uintptr_t itemData) const;
  void EndRecovery();

  ui::CSkinBtn recoverButton_;
  ui::CSkinBtn chooseButton_;
  OwnedImageList deletedImages_;
  OwnedImageList driveImages_;
  HTREEITEM lastScannedDriveItem_ = nullptr;
  // The volume items of the running scan, with the view's numbers (files
  // are numbered too, but no file is a parent).
  std::vector<std::pair<TreeItem, HTREEITEM>> scanItems_;
  // The ticks of the listed files, by key: what the recovery takes. A
  // file's box is drawn from its tick; the item's own state catches up when
  // the box is clicked (setting it costs Wine's tree a walk of all items).
  std::vector<std::uint8_t> ticks_;
  // Items went in since the tree's layout was last made; when it was, and
  // how long that took (ms).
  bool itemsHeld_ = false;
  std::size_t heldItems_ = 0;
  ULONGLONG shownAt_ = 0;
  ULONGLONG showCost_ = 0;
  ListGuard listGuard_;
  std::shared_ptr<ScanRequest> scan_;
  // A recovery runs (until its worker's last words); a folder chosen
  // meanwhile, taken up when it ends.
  bool recoveryRunning_ = false;
  std::optional<std::optional<std::wstring>> chosenMeanwhile_;
};

}  // namespace corvanel

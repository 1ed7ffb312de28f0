// The recover page.
#include "recover/recover_page.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "app/message_catalogue.h"
#include "app/pause_gate.h"
#include "platform/file_system.h"
#include "platform/win32/drive_geometry.h"
#include "recover/recovery_engine.h"
#include "res/resource.h"
#include "ui/folder_browser.h"
#include "volume/deleted_file_scan.h"
#include "volume/scan_result.h"

namespace corvanel {

ui::CPictureEx RecoverAnimation;
SharedText SelectedDriveLabel;
std::atomic<std::int32_t> scanSucceeded{0};
std::atomic<std::int32_t> treeClicked{0};
std::atomic<std::int32_t> destinationChosen{0};
std::atomic<std::int32_t> ignoreNextDriveChange{0};

namespace {

// Items reach the tree in batches, so that a volume with a million deleted
// files neither freezes the window nor costs one cross-thread message per
// file.
constexpr std::size_t kBatchItems = 1000;
constexpr ULONGLONG kBatchMilliseconds = 100;
// New items laid out at once at most: each label is asked for and measured
// as it is (~10 us).
constexpr std::size_t kHeldItemsShown = 10'000;
// The state images of a tree with check boxes.
constexpr UINT kUnticked = 1;
constexpr UINT kTicked = 2;

std::wstring Wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }
std::u16string Utf16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

// An item whose label is text, or is asked for when the tree needs it (null).
HTREEITEM InsertTreeItem(HWND tree, const wchar_t* text, int image, HTREEITEM parent, LPARAM data) {
  TVINSERTSTRUCTW insert{};
  insert.hParent = parent;
  insert.hInsertAfter = TVI_LAST;
  insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
  insert.item.pszText = text ? const_cast<wchar_t*>(text) : LPSTR_TEXTCALLBACKW;
  insert.item.iImage = insert.item.iSelectedImage = image;
  insert.item.lParam = data;
  return TreeView_InsertItem(tree, &insert);
}
HTREEITEM InsertTreeItem(HWND tree, const std::wstring& text, int image, HTREEITEM parent, LPARAM data) {
  return InsertTreeItem(tree, text.c_str(), image, parent, data);
}

std::uintptr_t TreeItemData(HWND tree, HTREEITEM item) {
  TVITEMW query{};
  query.mask = TVIF_PARAM;
  query.hItem = item;
  return item && TreeView_GetItem(tree, &query) ? static_cast<std::uintptr_t>(query.lParam) : 0;
}

// Wine's tree frees its items one by one as its window goes, each after a
// search of all items and a move of those after it: minutes for a million.
// A tree that large goes without that: the system's default procedure
// takes its last messages, and its memory is the process's until it ends.
constexpr LRESULT kItemsFreedOneByOne = 50'000;
void LetGoOfLargeTree(HWND tree) {
  if (TreeView_GetCount(tree) > kItemsFreedOneByOne)
    ::SetWindowLongPtrW(tree, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&::DefWindowProcW));
}

void DestroyIconHandle(HICON icon) { ::DestroyIcon(icon); }

OwnedImageList IconList(std::initializer_list<int> icons) {
  OwnedImageList list(ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 4, 2));
  for (int id : icons) {
    const ui::Owned<HICON, DestroyIconHandle> icon(static_cast<HICON>(
        ::LoadImageW(ui::Application::Instance(), MAKEINTRESOURCEW(id), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR)));
    ImageList_AddIcon(list.get(), icon.get());  // the list keeps a copy
  }
  return list;
}

// The tree item under the cursor, and where on it.
TVHITTESTINFO HitTestCursor(HWND tree) {
  TVHITTESTINFO hit{};
  ::GetCursorPos(&hit.pt);
  ::ScreenToClient(tree, &hit.pt);
  TreeView_HitTest(tree, &hit);
  return hit;
}

}  // namespace

std::wstring TreeItemText(HWND tree, HTREEITEM item) {
  wchar_t text[MAX_PATH] = {};
  TVITEMW query{};
  query.mask = TVIF_TEXT;
  query.hItem = item;
  query.pszText = text;
  query.cchTextMax = MAX_PATH;
  if (!item || !TreeView_GetItem(tree, &query)) return {};
  return text;
}

std::wstring ComputerLabel() { return UiLanguage == kLanguageEnglish ? L"Computer" : L"计算机"; }

// One scan: its own stop request, which the page sets to end it early.
struct CRecoverFileDlg::ScanRequest {
  explicit ScanRequest(CRecoverFileDlg& owner);
  CRecoverFileDlg& page;
  std::atomic<bool> stop{false};
  std::unique_ptr<ScanView> view;
};

// The scan's view of the deleted-files tree, on the worker: items are kept
// and handed to the window thread in batches; the worker waits at the pause
// gate wherever the scan polls. While the scan runs it holds the list of
// files (Scan), letting go only at its polls and hand-overs, where it waits
// for nothing while holding it.
class CRecoverFileDlg::ScanView final : public DeletedFilesView {
 public:
  explicit ScanView(ScanRequest& scan) : scan_(scan) {}

  TreeItem InsertItem(std::u16string_view text, int image, int, TreeItem parent, std::uintptr_t itemData) override {
    // A file's name stays in the scan's list, the volume's label comes along.
    pending_.push_back({parent ? std::wstring() : std::wstring(text.begin(), text.end()), ++inserted_, image, parent,
                        itemData});
    if (pending_.size() >= kBatchItems) Flush();
    return inserted_;
  }
  void Invalidate() override { Flush(); }
  // The scan only inserts.
  TreeItem FirstChild(TreeItem) const override { return 0; }
  TreeItem NextSibling(TreeItem) const override { return 0; }
  bool IsChecked(TreeItem) const override { return false; }
  std::uintptr_t ItemData(TreeItem) const override { return 0; }

  bool StopRequested() override {
    bool stop = false;
    Unheld([&] {
      stop = WorkerGate.Pass() || scan_.stop;
      if (!stop && !pending_.empty() && ::GetTickCount64() - lastFlush_ >= kBatchMilliseconds) HandOver();
    });
    return stop;
  }

  void Flush() {
    Unheld([&] { HandOver(); });
  }

  // Runs the scan holding the list of files.
  template <typename Work>
  void Scan(Work work) {
    ListGuard& guard = scan_.page.listGuard_;
    guard.Hold();
    held_ = true;
    work();
    held_ = false;
    guard.LetGo();
  }

 private:
  template <typename Work>
  void Unheld(Work work) {
    if (!held_) return work();
    ListGuard& guard = scan_.page.listGuard_;
    guard.LetGo();
    guard.LetReadersIn();
    work();
    guard.Hold();
  }
  void HandOver() {
    lastFlush_ = ::GetTickCount64();
    if (pending_.empty()) return;
    scan_.page.RunOnDialogThread([this] {
      // A stopped scan's items never reach the tree the next scan fills.
      if (!scan_.stop) scan_.page.AppendItems(pending_);
    });
    pending_.clear();
  }

  ScanRequest& scan_;
  std::vector<PendingItem> pending_;
  TreeItem inserted_ = 0;
  bool held_ = false;
  ULONGLONG lastFlush_ = ::GetTickCount64();
};

CRecoverFileDlg::ScanRequest::ScanRequest(CRecoverFileDlg& owner) : page(owner), view(std::make_unique<ScanView>(*this)) {}

// What the recovery walks: the ticks as they were when it started; the
// worker waits at the pause gate before each file. Item 1 is the volume,
// item key + 2 the file of that key; its children are walked ticked ones
// only, since the recovery passes the others over anyway.
class CRecoverFileDlg::TickedFiles final : public DeletedFilesView {
 public:
  TreeItem InsertItem(std::u16string_view, int, int, TreeItem, std::uintptr_t) override { return 0; }
  void Invalidate() override {}
  TreeItem FirstChild(TreeItem parent) const override {
    if (parent == 0) return kVolume;
    return parent == kVolume ? Ticked(0) : 0;
  }
  TreeItem NextSibling(TreeItem item) const override {
    WorkerGate.Pass();  // the engine itself polls AbortRequested
    return item > kVolume ? Ticked(item - kVolume) : 0;
  }
  bool IsChecked(TreeItem item) const override { return item > kVolume && ticks[item - kVolume - 1] != 0; }
  std::uintptr_t ItemData(TreeItem item) const override {
    return item > kVolume ? ItemDataForKey(item - kVolume - 1) : 0;
  }

  std::vector<std::uint8_t> ticks;  // by key

 private:
  static constexpr TreeItem kVolume = 1;
  // The item of the first ticked file from key on, or none.
  TreeItem Ticked(ScanKey key) const {
    const auto found = std::find(ticks.begin() + static_cast<std::ptrdiff_t>(std::min(key, ticks.size())), ticks.end(), 1);
    return found == ticks.end() ? 0 : static_cast<TreeItem>(found - ticks.begin()) + kVolume + 1;
  }
};

CRecoverFileDlg::CRecoverFileDlg() : PageDialog(IDD_RECOVER_PAGE, IDB_RECOVER_PAGE_BACKGROUND) {}

CRecoverFileDlg::~CRecoverFileDlg() = default;

std::span<const ui::MessageEntry<CRecoverFileDlg>> CRecoverFileDlg::MessageMap() {
  static constexpr ui::MessageEntry<CRecoverFileDlg> kMap[] = {
      {WM_COMMAND, IDC_RECOVER_CHOOSE_FOLDER, BN_CLICKED, &CRecoverFileDlg::ChooseDestination},
      {WM_COMMAND, IDC_RECOVER_START, BN_CLICKED, &CRecoverFileDlg::StartRecovery},
      {WM_NOTIFY, IDC_DELETED_TREE, static_cast<UINT>(NM_CLICK), &CRecoverFileDlg::OnDeletedTreeClick},
      {WM_NOTIFY, IDC_DRIVE_TREE, static_cast<UINT>(TVN_SELCHANGEDW), &CRecoverFileDlg::OnDriveSelected},
      {WM_NOTIFY, IDC_DELETED_TREE, static_cast<UINT>(TVN_GETDISPINFOW), &CRecoverFileDlg::OnDeletedTreeText},
      {WM_NOTIFY, IDC_DELETED_TREE, static_cast<UINT>(NM_CUSTOMDRAW), &CRecoverFileDlg::OnDeletedTreeDraw},
      {WM_PAINT, 0, 0, &CRecoverFileDlg::OnPaint},
  };
  return kMap;
}

bool CRecoverFileDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  if (message == WM_DESTROY) LetGoOfLargeTree(DeletedTree());  // before the tree's own
  return ui::DispatchMessageMap(this, MessageMap(), message, wParam, lParam, result) ||
         PageDialog::OnMessage(message, wParam, lParam, result);
}

void CRecoverFileDlg::DoDataExchange(ui::DataExchange& exchange) {
  std::wstring destination = Wide(RecoverDestination);
  ui::ExchangeText(exchange, IDC_RECOVER_DESTINATION, destination);
  if (exchange.save) RecoverDestination = Utf16(destination);
  ui::ExchangeControl(exchange, IDC_RECOVER_START, recoverButton_);
  ui::ExchangeControl(exchange, IDC_RECOVER_CHOOSE_FOLDER, chooseButton_);
  ui::ExchangeControl(exchange, IDC_RECOVER_ANIMATION, RecoverAnimation);
}

void CRecoverFileDlg::ResetRecoverPage() {
  treeClicked = 0;
  destinationChosen = 0;
  scanSucceeded = 0;
  EmptyDeletedTree();
  if (!deletedImages_) deletedImages_ = IconList({IDI_DELETED_VOLUME, IDI_DELETED_FILE, IDI_DRIVE});
  TreeView_SetImageList(DeletedTree(), deletedImages_.get(), TVSIL_NORMAL);
  recoverButton_.SetSkinBitmaps(IDB_RECOVER, IDB_RECOVER_HOVER, IDB_RECOVER_PRESSED);
  chooseButton_.SetSkinBitmaps(IDB_CHOOSE_FOLDER, IDB_CHOOSE_FOLDER_HOVER, IDB_CHOOSE_FOLDER_PRESSED);

  HWND drives = DriveTree();
  if (!driveImages_) driveImages_ = IconList({IDI_COMPUTER, IDI_DRIVE});
  TreeView_SetImageList(drives, driveImages_.get(), TVSIL_NORMAL);
  TreeView_DeleteAllItems(drives);
  HTREEITEM computer = InsertTreeItem(drives, ComputerLabel(), 0, TVI_ROOT, 0);
  // Room for every letter, whatever the system lists.
  std::wstring roots(::GetLogicalDriveStringsW(0, nullptr) + 1, L'\0');
  roots.resize(::GetLogicalDriveStringsW(static_cast<DWORD>(roots.size()), roots.data()));
  for (const wchar_t* root = roots.c_str(); *root; root += std::wcslen(root) + 1) {
    const UINT type = ::GetDriveTypeW(root);
    bool listed = type == DRIVE_FIXED;
    if (type == DRIVE_REMOVABLE) {
      const std::wstring device = L"\\\\.\\" + std::wstring(root, 2);
      DISK_GEOMETRY geometry{};
      listed = QueryDriveGeometry(device.c_str(), geometry);
    }
    if (listed) InsertTreeItem(drives, root, 1, computer, 0);
  }
}

// ---- the drive tree and the scan ---------------------------------------------

LRESULT CRecoverFileDlg::OnDriveSelected(WPARAM, LPARAM) {
  HWND drives = DriveTree();
  HTREEITEM selected = TreeView_GetSelection(drives);
  if (!selected) return 0;
  if (TreeItemText(drives, selected) == ComputerLabel()) {
    ignoreNextDriveChange = 0;
    return 0;
  }
  if (ignoreNextDriveChange) {
    ignoreNextDriveChange = 0;
    return 0;
  }
  switch (CurrentOperation.load()) {
    case kOperationIdle:
      CurrentOperation = kOperationScan;
      StartScan();
      break;
    case kOperationScan:
      // The scan waits at its gate while the question is open.
      WorkerGate.Close();
      ShowUserPrompt(prompt::kScanInProgress);
      if (LastPromptAnswer != kPromptNo) {
        PutDriveSelectionBack();
        WorkerGate.Open();
        break;
      }
      StopScan();
      CurrentOperation = kOperationScan;  // the old worker may have reset it as it ended
      StartScan();
      break;
    default:
      ShowUserPrompt(prompt::kBusyRecoverPage);
      PutDriveSelectionBack();
      break;
  }
  return 0;
}

void CRecoverFileDlg::PutDriveSelectionBack() {
  HWND drives = DriveTree();
  // Only a change of selection notifies; a flag left set would swallow the user's next one.
  if (TreeView_GetSelection(drives) == lastScannedDriveItem_) return;
  ignoreNextDriveChange = 1;
  TreeView_SelectItem(drives, lastScannedDriveItem_);
}

void CRecoverFileDlg::StartScan() {
  scan_ = std::make_shared<ScanRequest>(*this);
  auto worker = std::make_unique<std::shared_ptr<ScanRequest>>(scan_);
  if (!ui::StartWorkerThread(ScanWorker, worker.get(), ScanThread)) {
    CurrentOperation = kOperationIdle;
    return;
  }
  worker.release();  // the worker's now
}

// The old scan ends at its next poll, through its own stop request (called
// with the gate closed by the question).
void CRecoverFileDlg::StopScan() {
  if (scan_) scan_->stop = true;
  WorkerGate.Open();
  if (auto thread = static_cast<HANDLE>(ScanThread.load())) ui::WaitServingSentMessages(thread, INFINITE);
  HideBusyAnimation(RecoverAnimation, IDC_RECOVER_ANIMATION);
  EmptyDeletedTree();
}

void CRecoverFileDlg::TakeSelectedDrive() {
  HWND drives = DriveTree();
  if (HTREEITEM selected = TreeView_GetSelection(drives)) {
    SelectedDriveLabel.Set(Utf16(TreeItemText(drives, selected)));
    lastScannedDriveItem_ = selected;
  }
}

void CRecoverFileDlg::EmptyDeletedTree() {
  HWND tree = DeletedTree();
  if (TreeView_GetCount(tree) > kItemsFreedOneByOne) tree = ReplaceDeletedTree();
  if (!itemsHeld_) ::SendMessageW(tree, WM_SETREDRAW, FALSE, 0);
  TreeView_DeleteAllItems(tree);
  itemsHeld_ = false;
  heldItems_ = 0;
  ::SendMessageW(tree, WM_SETREDRAW, TRUE, 0);
  ::InvalidateRect(tree, nullptr, TRUE);
  scanItems_.clear();
  ticks_.clear();
  ticks_.shrink_to_fit();
}

// A tree too large to empty item by item (see LetGoOfLargeTree) gives way to
// a fresh one of the same kind and place.
HWND CRecoverFileDlg::ReplaceDeletedTree() {
  HWND old = DeletedTree();
  RECT place{};
  ::GetWindowRect(old, &place);
  ::MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&place), 2);
  HWND fresh = ::CreateWindowExW(
      static_cast<DWORD>(::GetWindowLongPtrW(old, GWL_EXSTYLE)), WC_TREEVIEWW, L"",
      static_cast<DWORD>(::GetWindowLongPtrW(old, GWL_STYLE)), place.left, place.top, place.right - place.left,
      place.bottom - place.top, hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_DELETED_TREE)),
      ui::Application::Instance(), nullptr);
  if (!fresh) return old;
  ::SetWindowLongPtrW(old, GWLP_ID, 0);
  ::SetWindowPos(fresh, old, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  ::SendMessageW(fresh, WM_SETFONT, ::SendMessageW(old, WM_GETFONT, 0, 0), FALSE);
  TreeView_SetImageList(fresh, deletedImages_.get(), TVSIL_NORMAL);
  LetGoOfLargeTree(old);
  ::DestroyWindow(old);
  itemsHeld_ = false;
  heldItems_ = 0;
  return fresh;
}

void CRecoverFileDlg::AppendItems(const std::vector<PendingItem>& items) {
  HWND tree = DeletedTree();
  // Items go in with the tree's layout held: each insertion is then cheap,
  // and the layout of all items is made again only when it resumes.
  if (!itemsHeld_) {
    ::SendMessageW(tree, WM_SETREDRAW, FALSE, 0);
    itemsHeld_ = true;
  }
  for (const PendingItem& item : items) {
    if (!item.parent) {  // a volume, labelled by the scan
      scanItems_.emplace_back(
          item.number, InsertTreeItem(tree, item.text, item.image, TVI_ROOT, static_cast<LPARAM>(item.itemData)));
      continue;
    }
    const auto parent = std::find_if(scanItems_.rbegin(), scanItems_.rend(),
                                     [&](const auto& volume) { return volume.first == item.parent; });
    InsertTreeItem(tree, nullptr, item.image, parent != scanItems_.rend() ? parent->second : TVI_ROOT,
                   static_cast<LPARAM>(item.itemData));
    // A file comes unticked, whatever the volume's box shows.
    if (item.itemData > ticks_.size()) ticks_.resize(item.itemData, 0);
  }
  // The volume's files in view from the first batch on.
  if (HTREEITEM root = TreeView_GetRoot(tree);
      root && !(TreeView_GetItemState(tree, root, TVIS_EXPANDED) & TVIS_EXPANDED)) {
    TreeView_Expand(tree, root, TVE_EXPAND);
    ShowHeldItems();
    return;
  }
  // That layout walks every item (Wine's tree: three walks of all of them,
  // and a label asked for and measured per new one), so it waits while the
  // items grow: at most a quarter of the time goes to it, and never so many
  // new labels that the window stops answering.
  heldItems_ += items.size();
  const ULONGLONG now = ::GetTickCount64();
  if (heldItems_ >= kHeldItemsShown || now - shownAt_ >= std::max<ULONGLONG>(kBatchMilliseconds, 3 * showCost_))
    ShowHeldItems();
}

void CRecoverFileDlg::ShowHeldItems() {
  if (!itemsHeld_) return;
  HWND tree = DeletedTree();
  const ULONGLONG start = ::GetTickCount64();
  itemsHeld_ = false;
  heldItems_ = 0;
  ::SendMessageW(tree, WM_SETREDRAW, TRUE, 0);
  ::InvalidateRect(tree, nullptr, TRUE);
  ::UpdateWindow(tree);
  shownAt_ = ::GetTickCount64();
  showCost_ = shownAt_ - start;
}

DWORD WINAPI CRecoverFileDlg::ScanWorker(void* parameter) {
  const std::unique_ptr<std::shared_ptr<ScanRequest>> held(static_cast<std::shared_ptr<ScanRequest>*>(parameter));
  ScanRequest& scan = **held;
  CRecoverFileDlg& page = scan.page;
  page.ShowBusyAnimation(RecoverAnimation, IDC_RECOVER_ANIMATION, IDR_SCAN_ANIMATION);
  // Nothing of an earlier scan can reach the tree after it is emptied here,
  // so there is nothing to wait for: each batch is handed over before its
  // worker goes on, a stopped scan's worker has ended before this one
  // started (StopScan waits for it), and a finished one handed over its last
  // batch before it marked the page idle.
  page.RunOnDialogThread([&page] {
    page.TakeSelectedDrive();
    page.EmptyDeletedTree();
  });
  const std::u16string label = SelectedDriveLabel.Get();
  std::int32_t errorCode = error_code::kNone;
  scan.view->Scan([&] { ScanDeletedFiles(label.empty() ? '\0' : static_cast<char>(label[0]), *scan.view, errorCode); });
  scan.view->Flush();
  page.RunOnDialogThread([&page, &scan] {
    if (!scan.stop) page.ShowHeldItems();
  });
  // Stopped for a new scan: the page carries on. Leaving: nothing more is shown.
  if (scan.stop || WorkerGate.Pass()) return 0;
  if (errorCode != error_code::kNone) {
    scanSucceeded = 0;
    page.HideBusyAnimation(RecoverAnimation, IDC_RECOVER_ANIMATION);
    ShowErrorPrompt(errorCode);
    page.RunOnDialogThread([&page] { ::UpdateWindow(page.DeletedTree()); });
  } else {
    scanSucceeded = 1;
    page.HideBusyAnimation(RecoverAnimation, IDC_RECOVER_ANIMATION);
  }
  CurrentOperation = kOperationIdle;
  return errorCode == error_code::kNone ? 0 : 1;
}

// ---- ticks -------------------------------------------------------------------

LRESULT CRecoverFileDlg::OnDeletedTreeClick(WPARAM, LPARAM) {
  HWND tree = DeletedTree();
  TVHITTESTINFO hit = HitTestCursor(tree);
  if (hit.hItem && (hit.flags & TVHT_ONITEMSTATEICON)) {
    // The tree toggles the box itself after this notification, from what
    // the box shows: a file's box is first brought up to its tick.
    ShowTick(hit.hItem, TreeItemData(tree, hit.hItem));
    PropagateCheck(hit.hItem, !TreeView_GetCheckState(tree, hit.hItem));
  }
  treeClicked = 1;
  return 0;
}

void CRecoverFileDlg::PropagateCheck(HTREEITEM item, bool checked) {
  HWND tree = DeletedTree();
  const std::uintptr_t data = TreeItemData(tree, item);
  if (data == 0) {
    // The volume: every file at once; their boxes are drawn from the ticks.
    if (TreeView_GetChild(tree, item)) {
      std::fill(ticks_.begin(), ticks_.end(), checked ? 1 : 0);
      ::InvalidateRect(tree, nullptr, FALSE);
      return;
    }
  } else if (data <= ticks_.size()) {
    ticks_[data - 1] = checked ? 1 : 0;
  }
  if (!checked) return;
  TVHITTESTINFO hit = HitTestCursor(tree);
  if (hit.hItem && (hit.flags & TVHT_ONITEM)) TreeView_SelectItem(tree, hit.hItem);
}

bool CRecoverFileDlg::BoxLags(HTREEITEM item, std::uintptr_t itemData) const {
  if (itemData == 0 || itemData > ticks_.size()) return false;  // the volume's box is the tree's own
  const UINT state = INDEXTOSTATEIMAGEMASK(ticks_[itemData - 1] ? kTicked : kUnticked);
  return TreeView_GetItemState(DeletedTree(), item, TVIS_STATEIMAGEMASK) != state;
}

void CRecoverFileDlg::ShowTick(HTREEITEM item, std::uintptr_t itemData) {
  if (!BoxLags(item, itemData)) return;
  TreeView_SetItemState(DeletedTree(), item, INDEXTOSTATEIMAGEMASK(ticks_[itemData - 1] ? kTicked : kUnticked),
                        TVIS_STATEIMAGEMASK);
}

std::size_t CRecoverFileDlg::TickedFileCount() const {
  return static_cast<std::size_t>(std::count(ticks_.begin(), ticks_.end(), 1));
}

// A file's label, from the scan's list by its key, when the tree needs it.
LRESULT CRecoverFileDlg::OnDeletedTreeText(WPARAM, LPARAM lParam) {
  auto& info = *reinterpret_cast<NMTVDISPINFOW*>(lParam);
  if (!(info.item.mask & TVIF_TEXT) || !info.item.pszText || info.item.cchTextMax <= 0) return 0;
  const auto data = static_cast<std::uintptr_t>(info.item.lParam);
  listGuard_.Reading([&] {
    const std::u16string_view name = data ? LastScan.Name(data - 1) : std::u16string_view();
    const std::size_t length = std::min(name.size(), static_cast<std::size_t>(info.item.cchTextMax - 1));
    std::memcpy(info.item.pszText, name.data(), length * sizeof(char16_t));
    info.item.pszText[length] = L'\0';
  });
  // Once made the control keeps it. (Asking the tree anything about one
  // item costs Wine's tree a search of all items, so nothing is asked here.)
  info.item.mask |= TVIF_DI_SETITEM;
  return 0;
}

// A file whose box lags its tick gets the tick's box drawn over it, where
// the tree draws the box: left of the item's icon, centred on its row.
LRESULT CRecoverFileDlg::OnDeletedTreeDraw(WPARAM, LPARAM lParam) {
  const auto& draw = *reinterpret_cast<const NMTVCUSTOMDRAW*>(lParam);
  const auto item = reinterpret_cast<HTREEITEM>(draw.nmcd.dwItemSpec);
  const auto data = static_cast<std::uintptr_t>(draw.nmcd.lItemlParam);
  switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
      return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
      return BoxLags(item, data) ? CDRF_NOTIFYPOSTPAINT : CDRF_DODEFAULT;
    case CDDS_ITEMPOSTPAINT: {
      HWND tree = DeletedTree();
      HIMAGELIST boxes = TreeView_GetImageList(tree, TVSIL_STATE);
      RECT label{};
      std::memcpy(&label, &item, sizeof item);  // TVM_GETITEMRECT takes the item in the rectangle
      if (!boxes || !::SendMessageW(tree, TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(&label))) break;
      int boxWidth = 0, boxHeight = 0, iconWidth = 0, iconHeight = 0;
      ImageList_GetIconSize(boxes, &boxWidth, &boxHeight);
      if (HIMAGELIST icons = TreeView_GetImageList(tree, TVSIL_NORMAL)) ImageList_GetIconSize(icons, &iconWidth, &iconHeight);
      RECT box{label.left - iconWidth - boxWidth, (draw.nmcd.rc.top + draw.nmcd.rc.bottom) / 2 - boxHeight / 2, 0, 0};
      box.right = box.left + boxWidth;
      box.bottom = box.top + boxHeight;
      const COLORREF background = TreeView_GetBkColor(tree);
      ::SetBkColor(draw.nmcd.hdc, background == static_cast<COLORREF>(-1) ? ::GetSysColor(COLOR_WINDOW) : background);
      ::ExtTextOutW(draw.nmcd.hdc, 0, 0, ETO_OPAQUE, &box, nullptr, 0, nullptr);  // the lagging box away
      ImageList_Draw(boxes, ticks_[data - 1] ? kTicked : kUnticked, draw.nmcd.hdc, box.left, box.top, ILD_NORMAL);
      break;
    }
  }
  return CDRF_DODEFAULT;
}

bool CRecoverFileDlg::AnyFileTicked() const { return std::find(ticks_.begin(), ticks_.end(), 1) != ticks_.end(); }

// ---- the destination -------------------------------------------------------

LRESULT CRecoverFileDlg::ChooseDestination(WPARAM, LPARAM) {
  std::optional<std::wstring> folder = ui::ChooseFolder(hwnd_, L"请选择路径: ");
  if (recoveryRunning_) {
    // The running recovery keeps its folder; this choice waits for its end.
    chosenMeanwhile_ = std::move(folder);
    return 0;
  }
  TakeDestination(folder);
  return 0;
}

void CRecoverFileDlg::TakeDestination(const std::optional<std::wstring>& folder) {
  if (!folder) {
    destinationChosen = 0;
    return;
  }
  RecoverDestination = Utf16(*folder);
  const std::int32_t refusal = ListDestinationFiles();
  if (refusal != prompt::kNone) {
    ShowUserPrompt(refusal);
    destinationChosen = 0;  // the field keeps showing the previous folder
    return;
  }
  destinationChosen = 1;
  UpdateData(false);
}

std::int32_t CRecoverFileDlg::ListDestinationFiles() {
  DestinationFileNames.clear();
  if (RecoverDestination.empty()) return prompt::kChooseTargetFolderAgain;
  const std::u16string label = SelectedDriveLabel.Get();
  if (!label.empty() && platform::PathIsOnVolume(RecoverDestination, static_cast<char>(label[0])))
    return prompt::kTargetOnScannedDisk;
  // Folders too: a folder of a file's name blocks writing the file as much
  // as a file does. The command line lists it the same way.
  DestinationFileNames = platform::DirectoryNames(RecoverDestination);
  return prompt::kNone;
}

// ---- the recovery ------------------------------------------------------------

LRESULT CRecoverFileDlg::StartRecovery(WPARAM, LPARAM) {
  std::int32_t idle = kOperationIdle;
  if (!CurrentOperation.compare_exchange_strong(idle, kOperationRecover)) return 0;
  chosenMeanwhile_.reset();
  recoveryRunning_ = true;
  if (!ui::StartWorkerThread(RecoverWorker, this, RecoverThread)) {
    recoveryRunning_ = false;
    CurrentOperation = kOperationIdle;
  }
  return 0;
}

void CRecoverFileDlg::EndRecovery() {
  recoveryRunning_ = false;
  if (chosenMeanwhile_) TakeDestination(*std::exchange(chosenMeanwhile_, std::nullopt));
}

DWORD WINAPI CRecoverFileDlg::RecoverWorker(void* parameter) {
  CRecoverFileDlg& page = *static_cast<CRecoverFileDlg*>(parameter);
  const auto end = [&page](std::int32_t promptNumber) {
    CurrentOperation = kOperationIdle;
    page.HideBusyAnimation(RecoverAnimation, IDC_RECOVER_ANIMATION);
    ShowUserPrompt(promptNumber);
  };
  std::int32_t promptNumber = prompt::kNone;
  if (scanSucceeded != 1) promptNumber = prompt::kSelectDisk;
  else if (treeClicked != 1) promptNumber = prompt::kSelectFileToRecover;
  else if (destinationChosen != 1) promptNumber = prompt::kChooseTargetFolder;
  if (promptNumber != prompt::kNone) {
    end(promptNumber);
    page.RunOnDialogThread([&page] { page.EndRecovery(); });
    return 0;
  }
  page.ShowBusyAnimation(RecoverAnimation, IDC_RECOVER_ANIMATION, IDR_SCAN_ANIMATION);
  TickedFiles files;
  bool ticked = false;
  page.RunOnDialogThread([&] {
    ticked = page.AnyFileTicked();
    if (ticked) files.ticks = page.ticks_;
  });
  if (!ticked) {
    end(prompt::kSelectFileToRecover);
    page.RunOnDialogThread([&page] { page.EndRecovery(); });
    return 0;
  }
  const std::u16string label = SelectedDriveLabel.Get();
  std::int32_t errorCode = error_code::kNone;
  // The engine refuses a folder on the scanned drive too (prompt 6), as
  // one chosen before that drive's scan would be.
  RecoveryReport report;
  const bool recovered =
      RecoverCheckedFiles(label.empty() ? '\0' : static_cast<char>(label[0]), files, errorCode, &report);
  if (WorkerGate.Pass()) return 0;  // leaving: the engine has cleaned up
  // A run that stopped short (a No, a refused folder) shows only what its
  // code says, and nothing without one.
  if (!recovered || report.end != RecoveryReport::End::Walked) {
    CurrentOperation = kOperationIdle;
    page.HideBusyAnimation(RecoverAnimation, IDC_RECOVER_ANIMATION);
    ShowErrorPrompt(errorCode);
    page.RunOnDialogThread([&page] { page.EndRecovery(); });
    return 1;
  }
  end(prompt::kRecoverDone);
  // The next recovery needs a new choice of folder.
  page.RunOnDialogThread([&page] {
    RecoverDestination.clear();
    DestinationFileNames.clear();
    destinationChosen = 0;
    page.UpdateData(false);
    page.EndRecovery();
  });
  return 0;
}

// ---- painting ------------------------------------------------------------------

LRESULT CRecoverFileDlg::OnPaint(WPARAM wParam, LPARAM lParam) {
  ::InvalidateRect(DeletedTree(), nullptr, TRUE);
  LRESULT result = 0;
  PageDialog::OnMessage(WM_PAINT, wParam, lParam, result);
  return result;
}

}  // namespace corvanel

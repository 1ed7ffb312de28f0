// Drives the main window in-process the way a user does: its buttons, the
// system's file-open dialog and message boxes, and screenshots of it.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "app/corvanel_dlg.h"

namespace corvanel::testing {

// Runs the main window modally on this thread while `drive` runs on another
// with the window; returns what DoModal returned.
INT_PTR RunMainWindow(CCorvanelDlg& dialog, const std::function<void(CCorvanelDlg&)>& drive);

// A click handled before this returns; use Press for one that opens a box or
// dialog, which would block the caller.
void Click(HWND dialog, int id);
void Press(HWND dialog, int id);

bool Visible(const ui::Dialog& page);
std::wstring ControlText(HWND dialog, int id);

// The next box or dialog of this process that is not one of the window's
// own (nullptr when none came within a generous while).
HWND AwaitOwnedDialog();
// A message box's text, and answering it with IDOK, IDYES or IDNO.
std::wstring BoxText(HWND box);
void AnswerBox(HWND box, int button);
// Waits for the next message box, answers it and gives its text.
std::wstring AnswerNextBox(int button);

// Chooses a file through a page's button and the system's file-open dialog:
// the path typed into its name field and Open pressed. An empty path cancels.
void ChooseThroughDialog(HWND page, int chooseButton, const std::wstring& path);

// Saves what the screen shows of a window as a BMP among the artifacts
// (CORVANEL_SCREENSHOTS), named name-<language>.
void SaveScreenshot(HWND window, const std::string& name);
std::string LanguageName();

}  // namespace corvanel::testing

// comdlg32: the file-open dialog. winsim shows a plain dialog (class
// "#32770") with the file name box (edit control 0x480, edt1), the file types
// (combo box 0x470, cmb1), Open (IDOK) and Cancel (IDCANCEL), run modally;
// the user agent types a path into the name box and presses Open, or
// cancels. There is no folder view: the name typed is the path returned,
// with the default extension added when it has none.
#include <windows.h>
#include <commdlg.h>

#include <cstring>
#include <filesystem>

#include "user32/user32_internal.h"

namespace winsim::user32 {

namespace {

constexpr int kNameBoxId = 0x480;
constexpr int kTypeListId = 0x470;
constexpr INT_PTR kBufferTooSmall = 0x100;

struct FileDialogContext {
  OPENFILENAMEA* ofn = nullptr;
  std::string title;
};

// "Name (*.x)\0*.x\0...\0\0": the descriptions of the pairs.
std::vector<std::string> FilterDescriptions(LPCSTR filter) {
  std::vector<std::string> descriptions;
  if (filter == nullptr) return descriptions;
  for (const char* p = filter; *p != '\0';) {
    const std::string description = p;
    p += description.size() + 1;
    if (*p == '\0') break;  // a description without its pattern ends the list
    descriptions.push_back(description);
    p += std::strlen(p) + 1;
  }
  return descriptions;
}

std::string WithDefaultExtension(std::string path, LPCSTR defaultExtension) {
  if (defaultExtension == nullptr || *defaultExtension == '\0') return path;
  const size_t nameStart = path.find_last_of("\\/:");
  const std::string name = nameStart == std::string::npos ? path : path.substr(nameStart + 1);
  if (name.find('.') != std::string::npos) return path;
  std::string extension = defaultExtension;
  if (extension.front() == '.') extension.erase(0, 1);  // the period is the dialog's to add
  return path + "." + extension.substr(0, 3);
}

// Finishes the dialog with the name typed: the path into the caller's
// buffer, or the size needed when it does not fit.
INT_PTR Accept(FileDialogContext& context, const std::string& typed) {
  OPENFILENAMEA& ofn = *context.ofn;
  const std::string path = WithDefaultExtension(typed, ofn.lpstrDefExt);
  if (path.size() + 1 > ofn.nMaxFile) {
    if (ofn.nMaxFile >= 2) {
      const auto needed = static_cast<WORD>(std::min<size_t>(path.size() + 1, 0xFFFF));
      std::memcpy(ofn.lpstrFile, &needed, sizeof needed);
    }
    return kBufferTooSmall;
  }
  std::memcpy(ofn.lpstrFile, path.c_str(), path.size() + 1);
  const size_t separator = path.find_last_of("\\/:");
  const size_t nameOffset = separator == std::string::npos ? 0 : separator + 1;
  const size_t dot = path.find('.', nameOffset);
  ofn.nFileOffset = static_cast<WORD>(nameOffset);
  ofn.nFileExtension = static_cast<WORD>(dot == std::string::npos ? path.size() : dot + 1);
  if (ofn.lpstrFileTitle != nullptr && ofn.nMaxFileTitle > 0) {
    const std::string title = path.substr(nameOffset);
    const size_t count = std::min<size_t>(title.size(), ofn.nMaxFileTitle - 1);
    std::memcpy(ofn.lpstrFileTitle, title.data(), count);
    ofn.lpstrFileTitle[count] = '\0';
  }
  return IDOK;
}

INT_PTR CALLBACK FileDialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      SetWindowLongPtrA(hDlg, DWLP_USER, lParam);
      auto* context = reinterpret_cast<FileDialogContext*>(lParam);
      const OPENFILENAMEA& ofn = *context->ofn;
      HWND types = GetDlgItem(hDlg, kTypeListId);
      for (const std::string& description : FilterDescriptions(ofn.lpstrFilter)) {
        SendMessageA(types, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(description.c_str()));
      }
      SendMessageA(types, CB_SETCURSEL, ofn.nFilterIndex > 0 ? ofn.nFilterIndex - 1 : 0, 0);
      if (ofn.lpstrFile[0] != '\0') SetDlgItemTextA(hDlg, kNameBoxId, ofn.lpstrFile);
      SetFocus(GetDlgItem(hDlg, kNameBoxId));
      return FALSE;
    }
    case WM_COMMAND: {
      auto* context = reinterpret_cast<FileDialogContext*>(GetWindowLongPtrA(hDlg, DWLP_USER));
      if (context == nullptr) return FALSE;
      if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(hDlg, IDCANCEL);
        return TRUE;
      }
      if (LOWORD(wParam) != IDOK) return FALSE;
      char typed[MAX_PATH * 4] = {};
      GetDlgItemTextA(hDlg, kNameBoxId, typed, sizeof typed);
      if (typed[0] == '\0') return TRUE;  // Open with no name does nothing
      if ((context->ofn->Flags & OFN_FILEMUSTEXIST) != 0 &&
          !std::filesystem::exists(WithDefaultExtension(typed, context->ofn->lpstrDefExt))) {
        MessageBoxA(hDlg,
                    (std::string(typed) +
                     "\nFile not found.\nPlease verify the correct file name was given.")
                        .c_str(),
                    context->title.c_str(), MB_OK | MB_ICONEXCLAMATION);
        return TRUE;
      }
      EndDialog(hDlg, Accept(*context, typed));
      return TRUE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

}  // namespace winsim::user32

using namespace winsim::user32;

extern "C" BOOL WINAPI GetOpenFileNameA(LPOPENFILENAMEA lpofn) {
  WindowSystem& sys = System();
  sys.commDlgError = 0;
  if (lpofn == nullptr || (lpofn->lStructSize != OPENFILENAME_SIZE_VERSION_400A &&
                           lpofn->lStructSize != sizeof(OPENFILENAMEA))) {
    sys.commDlgError = CDERR_STRUCTSIZE;
    return FALSE;
  }
  if (lpofn->lpstrFile == nullptr || lpofn->nMaxFile == 0) {
    sys.commDlgError = CDERR_INITIALIZATION;
    return FALSE;
  }
  FileDialogContext context;
  context.ofn = lpofn;
  context.title = lpofn->lpstrTitle != nullptr ? lpofn->lpstrTitle : "Open";

  winsim::resources::DialogTemplate dialog;
  dialog.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | WS_VISIBLE;
  dialog.cx = 280;
  dialog.cy = 64;
  dialog.title = winsim::resources::WidenAnsi(context.title);
  dialog.has_font = true;
  dialog.point_size = 8;
  dialog.typeface = u"MS Sans Serif";
  dialog.items.push_back(MakeDialogItem("Static", "File &name:", SS_LEFT, -1, 7, 10, 60, 8));
  dialog.items.push_back(MakeDialogItem("Edit", "", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL,
                                        kNameBoxId, 70, 8, 145, 12));
  dialog.items.push_back(MakeDialogItem("Static", "Files of &type:", SS_LEFT, -1, 7, 28, 60, 8));
  dialog.items.push_back(MakeDialogItem("ComboBox", "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP,
                                        kTypeListId, 70, 26, 145, 60));
  dialog.items.push_back(
      MakeDialogItem("Button", "&Open", BS_DEFPUSHBUTTON | WS_TABSTOP, IDOK, 223, 7, 50, 14));
  dialog.items.push_back(
      MakeDialogItem("Button", "Cancel", BS_PUSHBUTTON | WS_TABSTOP, IDCANCEL, 223, 25, 50, 14));

  const HWND owner = RootOf(lpofn->hwndOwner);
  Log("file dialog shown", {{"title", context.title}});
  HWND hDlg = CreateDialogFromTemplate(dialog, nullptr, owner, &FileDialogProc,
                                       reinterpret_cast<LPARAM>(&context), kFileDialogKind);
  if (hDlg == nullptr) {
    sys.commDlgError = CDERR_DIALOGFAILURE;
    return FALSE;
  }
  const INT_PTR result = RunModalLoop(hDlg, owner);
  if (result == IDOK) {
    Log("file dialog answered", {{"path", lpofn->lpstrFile}});
    return TRUE;
  }
  if (result == kBufferTooSmall) {
    sys.commDlgError = FNERR_BUFFERTOOSMALL;
    Log("file dialog failed", {{"error", "buffer too small"}});
  } else {
    Log("file dialog answered", {{"path", "(cancelled)"}});
  }
  return FALSE;
}

extern "C" DWORD WINAPI CommDlgExtendedError(VOID) { return System().commDlgError; }

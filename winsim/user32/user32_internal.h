// winsim internals shared by user32, comctl32, comdlg32, the user agent and
// snapshots: the window system's objects and the helpers that act on them.
// Product code never sees this header.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ground/scheduler.h"
#include "resources/avi_clip.h"
#include "resources/resource_file.h"
#include "user32/desktop.h"

namespace winsim::user32 {

using Fields = std::vector<std::pair<std::string, std::string>>;

// Messages private to winsim, in the range Windows leaves to registered
// messages: the user agent's input that has no message of its own (the user
// picking a list item or typing a whole text). lParam points at the agent's
// data, which lives until the user-interface thread is idle again.
inline constexpr UINT kAgentSelectItem = 0xC0F0;  // combo box: wParam = index
inline constexpr UINT kAgentTypeText = 0xC0F1;    // edit: lParam = const char*

struct WindowClass {
  std::string name;
  WNDPROC proc = nullptr;
  UINT style = 0;
  int wndExtra = 0;
  HINSTANCE instance = nullptr;
  HICON icon = nullptr;
  ATOM atom = 0;
};

struct Icon {
  HICON handle = nullptr;
  std::string name;  // "#128" for the module's, "IDI_..." for the system's
  int width = 32;
  int height = 32;
  std::shared_ptr<resources::IconImage> image;  // null for the system icons (drawn as symbols)
};

struct MenuItem {
  UINT flags = 0;
  UINT_PTR id = 0;
  std::string text;
};

struct Menu {
  HMENU handle = nullptr;
  std::vector<MenuItem> items;
};

// State of a control class's window (button, combo box, progress bar...).
struct ControlData {
  virtual ~ControlData() = default;
};

struct DrawnIcon {
  HICON icon = nullptr;
  int x = 0;
  int y = 0;
};

// A window built by the dialog manager.
struct DialogData {
  int baseX = 6;   // dialog base units in pixels: 4 horizontal and 8 vertical
  int baseY = 13;  // dialog units make one base unit
  std::string typeface;
  int pointSize = 0;
  bool modal = false;
  bool ended = false;
  INT_PTR result = 0;
  HWND modalOwner = nullptr;  // disabled while the modal loop runs
  bool ownerWasEnabled = false;
  int kind = 0;             // 0 dialog, 1 message box, 2 file dialog
  UINT defId = 0;           // set by DM_SETDEFID; 0: the BS_DEFPUSHBUTTON control
  UINT messageBoxType = 0;  // a message box's MB_ flags
};

struct MessageQueue;

struct Window {
  HWND handle = nullptr;
  const WindowClass* cls = nullptr;
  WNDPROC proc = nullptr;
  MessageQueue* queue = nullptr;  // of the thread that created it
  HWND parent = nullptr;          // child windows
  HWND owner = nullptr;           // top-level windows
  std::vector<HWND> children;     // in creation (tab) order
  DWORD style = 0;
  DWORD exStyle = 0;
  UINT_PTR id = 0;
  // Window rectangle: in the parent's client coordinates for a child, in
  // screen coordinates for a top-level window. The client area lies inside
  // by the frame below.
  RECT rect{};
  int frameX = 0;
  int frameTop = 0;
  int frameBottom = 0;
  std::string text;
  HINSTANCE instance = nullptr;
  LONG_PTR userData = 0;
  std::vector<uint8_t> extra;  // cbWndExtra bytes (a dialog's DWLP_ values)
  HFONT font = nullptr;
  HICON bigIcon = nullptr;
  HICON smallIcon = nullptr;
  HMENU systemMenu = nullptr;
  bool alive = true;
  bool destroying = false;
  bool needsPaint = false;
  bool erasePending = false;
  std::vector<DrawnIcon> drawnIcons;  // by DrawIcon since the last BeginPaint
  std::unique_ptr<ControlData> control;
  std::unique_ptr<DialogData> dialog;

  bool IsChild() const { return (style & WS_CHILD) != 0; }
  int ClientWidth() const;
  int ClientHeight() const;
};

struct SentMessage {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  LRESULT result = 0;
  bool done = false;
  MessageQueue* sender = nullptr;
};

// The message queue of one simulated thread.
struct MessageQueue {
  SimThread* thread = nullptr;
  std::string threadName;
  std::deque<MSG> posted;
  std::deque<std::shared_ptr<SentMessage>> sent;
  bool quit = false;
  int quitCode = 0;
  bool waiting = false;  // blocked in its message wait with nothing to deliver
};

struct WindowSystem {
  explicit WindowSystem(Desktop& owner);

  Desktop& desktop;
  std::map<std::string, std::unique_ptr<WindowClass>> classes;  // by lower-case name
  ATOM nextAtom = 0xC000;
  // Windows are kept (marked dead) after destruction while the thread that
  // made them runs; handles are never reused. A thread's dead windows go when
  // it ends (user32_message.cpp).
  std::map<uintptr_t, std::unique_ptr<Window>> windows;
  uint64_t windowsCreated = 0;  // ever, dead or alive
  std::vector<HWND> topLevel;   // creation order; later ones lie on top
  std::map<uintptr_t, std::unique_ptr<Menu>> menus;
  std::map<uintptr_t, std::unique_ptr<Icon>> icons;
  std::map<std::string, HICON> sharedIcons;  // LoadIcon returns one handle per icon
  std::map<SimThread*, std::unique_ptr<MessageQueue>> queues;
  std::map<uintptr_t, HWND> paintContexts;  // HDC -> window, between BeginPaint and EndPaint
  uintptr_t nextHandle = 0x10010;
  HWND focus = nullptr;
  HWND foreground = nullptr;
  uint64_t activity = 0;                           // messages posted, sent and delivered
  int idleSignal = 0;                              // wait key: a thread entered its message wait
  std::vector<std::function<void()>> stalledWork;  // resumed by the next activity
  DWORD commDlgError = 0;
};

// ---- access -------------------------------------------------------------------------------

WindowSystem& System();
Window* Find(HWND hwnd);  // a live window, or null
MessageQueue& QueueOf(SimThread* thread);
MessageQueue& CurrentQueue();
uintptr_t NewHandle();
template <class T>
T* Control(HWND hwnd) {
  Window* window = Find(hwnd);
  return window != nullptr ? dynamic_cast<T*>(window->control.get()) : nullptr;
}

// ---- logging ------------------------------------------------------------------------------

// "Button 1000", "#32770 \"Caption\"": how the event log names a window.
std::string Describe(const Window& window);
std::string Describe(HWND hwnd);
void Log(std::string text, Fields fields = {});
void LogWindow(const Window& window, std::string text, Fields fields = {});
std::string Hex(uintptr_t value);

// ---- windows and messages -----------------------------------------------------------------

// Registers a class as the system does (no instance); replaces nothing.
void RegisterSystemClass(const char* name, WNDPROC proc, int wndExtra, UINT style = 0);
const WindowClass* FindClass(std::string_view name);
// Calls the window procedure on this thread.
LRESULT CallProc(Window& window, UINT message, WPARAM wParam, LPARAM lParam);
// Sends WM_COMMAND (code, control) to the control's parent.
void NotifyParent(Window& control, UINT code);
void SetWindowTextInternal(Window& window, std::string text);
bool IsVisible(const Window& window);
HWND RootOf(HWND hwnd);
// The client rectangle's origin in screen coordinates.
POINT ClientOrigin(const Window& window);
// The window size whose client area is cx by cy (AdjustWindowRectEx).
SIZE WindowSizeForClient(DWORD style, DWORD exStyle, int cx, int cy);
// Activity seen by the animation control's clock (see comctl32_animate.cpp).
void NoteActivity();
// Blocks the calling thread until Wake(key), reporting `where` in a hang.
void Block(const void* key, const char* where);
void WakeAll(const void* key);
// Processes the messages other threads sent to this thread.
void ProcessSentMessages(MessageQueue& queue);
// Marks the thread idle, wakes the agent and blocks until its queue changes.
void WaitForMessages(MessageQueue& queue);

// ---- dialogs -------------------------------------------------------------------------------

inline constexpr int kDialogKind = 0;
inline constexpr int kMessageBoxKind = 1;
inline constexpr int kFileDialogKind = 2;

// Creates the dialog described by the template (hidden until shown): its
// window, its controls in template order, WM_SETFONT and WM_INITDIALOG. Null
// when a control cannot be created (its class is not registered).
HWND CreateDialogFromTemplate(const resources::DialogTemplate& dialogTemplate, HINSTANCE instance,
                              HWND owner, DLGPROC dialogProc, LPARAM initParam, int kind);
// Runs the modal loop of a dialog until EndDialog; destroys it and returns
// the result.
INT_PTR RunModalLoop(HWND dialog, HWND owner);
// A control of a template that winsim builds (message box, file dialog);
// position and size in dialog units.
resources::DialogItem MakeDialogItem(std::string_view className, std::string_view text, DWORD style,
                                     int id, int x, int y, int cx, int cy);
// Pixels of dialog units for a dialog's base units.
int DluToPixelsX(int dlu, int baseX);
int DluToPixelsY(int dlu, int baseY);

// ---- resources, icons, menus ------------------------------------------------------------

const resources::ResourceFile* ModuleResources();
// The module's icon group `name`, as LoadIconA; null when absent.
HICON LoadModuleIcon(const resources::ResourceName& name);
HICON SystemIcon(uint16_t id);
Icon* FindIcon(HICON icon);
Menu* FindMenu(HMENU menu);
resources::ResourceName NameFromAnsi(LPCSTR name);

// ---- window procedures -----------------------------------------------------------------

LRESULT CALLBACK ButtonProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK EditProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK StaticProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ComboBoxProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK DialogClassProc(HWND, UINT, WPARAM, LPARAM);

// ---- control state ----------------------------------------------------------------------

struct ButtonData : ControlData {
  UINT state = 0;  // BST_ flags
};

struct EditData : ControlData {
  UINT limit = 30000;
};

struct StaticData : ControlData {
  HICON icon = nullptr;
};

struct ComboData : ControlData {
  std::vector<std::string> items;
  std::vector<LPARAM> itemData;
  int selection = -1;
};

struct ProgressData : ControlData {
  int low = 0;
  int high = 100;
  int pos = 0;
  int step = 10;
};

struct AnimateData : ControlData {
  std::shared_ptr<resources::AviClip> clip;
  std::string source;           // what was opened: "#136", a file name
  std::vector<uint8_t> pixels;  // the frame shown, palette indices, rows top-down
  uint32_t frame = 0;           // the frame shown
  uint32_t decoded = 0;         // frames decoded into pixels (run-length frames build up)
  bool playing = false;
  uint32_t from = 0;
  uint32_t to = 0;
  uint32_t repeatsLeft = 0;  // 0xFFFFFFFF: for ever
  uint64_t generation = 0;   // of the play; a stale tick sees a newer one
};

// Shows frame `index` of the open clip (decoding from the last key frame).
void ShowAnimationFrame(AnimateData& data, uint32_t index);

}  // namespace winsim::user32

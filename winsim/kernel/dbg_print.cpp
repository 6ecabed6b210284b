// winsim: DbgPrint, DbgBreakPoint and bug checks. Each DbgPrint call is one
// event in the machine's log (its final newline dropped). As on 32-bit
// Windows, "l" means 32 bits; an address printed with %x or %lX shows its
// low 32 bits.
#include <cstdarg>
#include <cstdio>
#include <stdexcept>

#include "kernel/kernel.h"
#include "kernel/kernel_state.h"

namespace winsim::kernel {

namespace {

std::string NarrowCounted(const WCHAR* text, size_t count) {
  return Narrow(std::u16string_view(reinterpret_cast<const char16_t*>(text), count));
}

std::string NarrowTerminated(const WCHAR* text) {
  if (!text) return "(null)";
  size_t count = 0;
  while (text[count]) ++count;
  return NarrowCounted(text, count);
}

}  // namespace

std::string FormatDbgPrint(const char* format, va_list args) {
  std::string out;
  for (const char* p = format; *p; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    const char* start = p++;
    if (*p == '%') {
      out += '%';
      continue;
    }
    std::string directive = "%";
    while (*p && std::string_view("-+ #0").find(*p) != std::string_view::npos) directive += *p++;
    if (*p == '*') {
      directive += std::to_string(va_arg(args, int));
      ++p;
    }
    while (*p >= '0' && *p <= '9') directive += *p++;
    if (*p == '.') {
      directive += *p++;
      if (*p == '*') {
        directive += std::to_string(va_arg(args, int));
        ++p;
      }
      while (*p >= '0' && *p <= '9') directive += *p++;
    }
    enum class Size { Int, Short, Long, LongLong, Wide } size = Size::Int;
    if (*p == 'h') {
      size = Size::Short;
      ++p;
    } else if (*p == 'l' && p[1] == 'l') {
      size = Size::LongLong;
      p += 2;
    } else if (*p == 'l') {
      size = Size::Long;
      ++p;
    } else if (*p == 'w') {
      size = Size::Wide;
      ++p;
    } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      size = Size::LongLong;
      p += 3;
    }
    const char conversion = *p;
    char buffer[512];
    switch (conversion) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        if (size == Size::LongLong) {
          const long long value = va_arg(args, long long);
          std::snprintf(buffer, sizeof buffer, (directive + "ll" + conversion).c_str(), value);
        } else {
          // int and Windows' 32-bit long alike; the low 32 bits of a wider
          // argument (an address) are what is shown.
          unsigned int value = va_arg(args, unsigned int);
          if (size == Size::Short) value &= 0xFFFF;
          std::snprintf(buffer, sizeof buffer, (directive + conversion).c_str(), value);
        }
        out += buffer;
        break;
      }
      case 'c':
        out += static_cast<char>(va_arg(args, int));
        break;
      case 'p': {
        const auto value = reinterpret_cast<uintptr_t>(va_arg(args, void*));
        std::snprintf(buffer, sizeof buffer, "%08X", static_cast<unsigned int>(value));
        out += buffer;
        break;
      }
      case 's':
      case 'S':
      case 'Z': {
        std::string text;
        if (conversion == 'Z' && size == Size::Wide) {
          auto* string = va_arg(args, PCUNICODE_STRING);
          text = string && string->Buffer ? NarrowCounted(string->Buffer, string->Length / 2)
                                          : "(null)";
        } else if (conversion == 'Z') {
          auto* string = va_arg(args, PANSI_STRING);
          text = string && string->Buffer ? std::string(string->Buffer, string->Length) : "(null)";
        } else if (conversion == 'S' || size == Size::Wide || size == Size::Long) {
          text = NarrowTerminated(va_arg(args, const WCHAR*));
        } else {
          const char* narrow = va_arg(args, const char*);
          text = narrow ? narrow : "(null)";
        }
        std::snprintf(buffer, sizeof buffer, (directive + "s").c_str(), text.c_str());
        out += buffer;
        break;
      }
      default:
        // Unknown conversion: shown as written.
        out.append(start, p + (*p ? 1 : 0));
        if (!*p) return out;
        break;
    }
  }
  return out;
}

namespace {

std::string BugCheckName(ULONG code) {
  switch (code) {
    case kKernelModeExceptionNotHandled:
      return "KERNEL_MODE_EXCEPTION_NOT_HANDLED";
    case kDriverPowerStateFailure:
      return "DRIVER_POWER_STATE_FAILURE";
    default:
      return "";
  }
}

// A breakpoint: the debugger's if one is attached, else an unhandled
// exception. Windows 98 shows its fatal-exception screen there instead; it
// is recorded the same way.
void Breakpoint(const std::string& what) {
  const std::string place = CurrentPlace();
  if (Ground::Current().Config().kernelDebugger) {
    Verify().Report(rule::kDebugBreak, place, what);
    return;
  }
  Log().Add(EventKind::Note, what + " with no kernel debugger attached", {{"place", place}});
  // Parameter 2 (the address) and 3 (the trap frame) are not modelled:
  // host addresses would change the account from run to run.
  BugCheck(kKernelModeExceptionNotHandled, ULONG_PTR(ULONG(STATUS_BREAKPOINT)));
}

}  // namespace

void BugCheck(ULONG code, ULONG_PTR parameter1, ULONG_PTR parameter2, ULONG_PTR parameter3,
              ULONG_PTR parameter4) {
  char text[160];
  std::snprintf(
      text, sizeof text, "0x%08X (0x%08llX, 0x%08llX, 0x%08llX, 0x%08llX)", code,
      static_cast<unsigned long long>(parameter1), static_cast<unsigned long long>(parameter2),
      static_cast<unsigned long long>(parameter3), static_cast<unsigned long long>(parameter4));
  const std::string name = BugCheckName(code);
  const std::string place = CurrentPlace();
  std::string line = std::string("bug check ") + text;
  if (!name.empty()) line += " " + name;
  if (!place.empty()) line += " in " + place;
  char codeText[16];
  std::snprintf(codeText, sizeof codeText, "0x%08X", code);
  Log().Add(EventKind::BugCheck, line,
            {{"code", codeText}, {"parameters", text}, {"place", place}});
  Verify().Report(rule::kBugCheck, place, line);
  Ground::Current().Sched().Halt();
  if (Scheduler::Current() == nullptr) throw std::runtime_error(line);
  throw ThreadUnwind{};
}

}  // namespace winsim::kernel

extern "C" {

ULONG __cdecl DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  std::string line = winsim::kernel::FormatDbgPrint(Format, args);
  va_end(args);
  if (!line.empty() && line.back() == '\n') line.pop_back();
  winsim::kernel::Log().Add(winsim::EventKind::DbgPrint, std::move(line));
  return STATUS_SUCCESS;
}

BOOLEAN KdDebuggerEnabled = FALSE;

VOID NTAPI DbgBreakPoint(VOID) { winsim::kernel::Breakpoint("DbgBreakPoint"); }

VOID NTAPI DbgBreakPointWithStatus(ULONG Status) {
  char text[48];
  std::snprintf(text, sizeof text, "DbgBreakPointWithStatus(0x%08X)",
                static_cast<unsigned>(Status));
  winsim::kernel::Breakpoint(text);
}

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                        ULONG_PTR BugCheckParameter2, ULONG_PTR BugCheckParameter3,
                        ULONG_PTR BugCheckParameter4) {
  winsim::kernel::BugCheck(BugCheckCode, BugCheckParameter1, BugCheckParameter2, BugCheckParameter3,
                           BugCheckParameter4);
}

VOID NTAPI KeBugCheck(ULONG BugCheckCode) { winsim::kernel::BugCheck(BugCheckCode, 0); }

}  // extern "C"

// winsim: counted UTF-16 strings (Rtl*UnicodeString) and winsim's own
// UTF-8/UTF-16 helpers.
#include "kernel/kernel.h"
#include "kernel/kernel_state.h"

namespace winsim::kernel {

std::u16string Widen(std::string_view text) {
  std::u16string wide;
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    char32_t code = byte;
    size_t length = 1;
    if (byte >= 0xF0 && i + 3 < text.size() + 0) {
      code = ((byte & 0x07) << 18) | ((text[i + 1] & 0x3F) << 12) | ((text[i + 2] & 0x3F) << 6) |
             (text[i + 3] & 0x3F);
      length = 4;
    } else if (byte >= 0xE0 && i + 2 < text.size()) {
      code = ((byte & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F);
      length = 3;
    } else if (byte >= 0xC0 && i + 1 < text.size()) {
      code = ((byte & 0x1F) << 6) | (text[i + 1] & 0x3F);
      length = 2;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      wide += static_cast<char16_t>(0xD800 + (code >> 10));
      wide += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      wide += static_cast<char16_t>(code);
    }
    i += length;
  }
  return wide;
}

std::string Narrow(std::u16string_view text) {
  std::string narrow;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t code = text[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size()) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (code < 0x80) {
      narrow += static_cast<char>(code);
    } else if (code < 0x800) {
      narrow += static_cast<char>(0xC0 | (code >> 6));
      narrow += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      narrow += static_cast<char>(0xE0 | (code >> 12));
      narrow += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      narrow += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      narrow += static_cast<char>(0xF0 | (code >> 18));
      narrow += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      narrow += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      narrow += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return narrow;
}

std::string Narrow(PCUNICODE_STRING text) {
  if (!text || !text->Buffer) return {};
  return Narrow(
      std::u16string_view(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / 2));
}

UNICODE_STRING MakeUnicodeString(const std::u16string& text) {
  UNICODE_STRING string;
  string.Length = static_cast<USHORT>(text.size() * 2);
  string.MaximumLength = static_cast<USHORT>(text.size() * 2);
  string.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(text.data()));
  return string;
}

namespace {
WCHAR Upcase(WCHAR c) { return (c >= u'a' && c <= u'z') ? WCHAR(c - u'a' + u'A') : c; }
}  // namespace

std::u16string FoldName(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = static_cast<char16_t>(Upcase(c));
  return folded;
}

}  // namespace winsim::kernel

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  size_t length = 0;
  if (SourceString) {
    while (SourceString[length]) ++length;
  }
  DestinationString->Length = static_cast<USHORT>(length * 2);
  DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? length * 2 + 2 : 0);
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (!SourceString || !SourceString->Buffer) {
    DestinationString->Length = 0;
    return;
  }
  const USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                           ? SourceString->Length
                           : DestinationString->MaximumLength;
  memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  // Windows terminates the copy when there is room.
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
  }
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) {
  const size_t count1 = String1->Length / 2;
  const size_t count2 = String2->Length / 2;
  for (size_t i = 0; i < count1 && i < count2; ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = winsim::kernel::FoldName(std::u16string(1, char16_t(a)))[0];
      b = winsim::kernel::FoldName(std::u16string(1, char16_t(b)))[0];
    }
    if (a != b) return LONG(a) - LONG(b);
  }
  return LONG(count1) - LONG(count2);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
  return String1->Length == String2->Length &&
         RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source) {
  if (!Source || Source->Length == 0) return STATUS_SUCCESS;
  if (Destination->Length + Source->Length > Destination->MaximumLength)
    return STATUS_BUFFER_TOO_SMALL;
  memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, Source->Buffer,
          Source->Length);
  Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
  if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
    Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, Source);
  return RtlAppendUnicodeStringToString(Destination, &source);
}

}  // extern "C"

#include "name_answer.h"

ULONG NameAnswerFetchLength(ULONG actualLength, ULONG fixedSize) {
  if (actualLength <= fixedSize) {
    return 0;
  }
  return actualLength < MaxNameAnswerLength ? actualLength : MaxNameAnswerLength;
}

ULONG NameAnswerBufferSize(ULONG fetchLength) { return fetchLength + sizeof(WCHAR); }

WCHAR* TerminateNameAnswer(BYTE* answer, ULONG fetchLength, ULONG nameOffset) {
  WCHAR* name = reinterpret_cast<WCHAR*>(answer + nameOffset);
  const ULONG wholeCharacters = (fetchLength - nameOffset) / sizeof(WCHAR);
  name[wholeCharacters] = 0;
  return name;
}

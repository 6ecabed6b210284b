// CString: heap strings with value semantics.
#include <stdlib.h>
#include <string.h>

#include "afxwin.h"

namespace {

// The text of every empty CString. Never written: GetBuffer always hands out
// a heap buffer.
char afxEmptyString[1] = {'\0'};

}  // namespace

CString::CString() : m_pchData(afxEmptyString), m_nAllocLength(0) {}

CString::CString(LPCSTR text) : CString() {
  if (text != nullptr) Assign(text, static_cast<int>(strlen(text)));
}

CString::CString(const CString& other) : CString() { Assign(other.m_pchData, other.GetLength()); }

CString::CString(CString&& other) noexcept
    : m_pchData(other.m_pchData), m_nAllocLength(other.m_nAllocLength) {
  other.m_pchData = afxEmptyString;
  other.m_nAllocLength = 0;
}

CString::~CString() { Release(); }

CString& CString::operator=(const CString& other) {
  if (this != &other) Assign(other.m_pchData, other.GetLength());
  return *this;
}

CString& CString::operator=(CString&& other) noexcept {
  if (this != &other) {
    Release();
    m_pchData = other.m_pchData;
    m_nAllocLength = other.m_nAllocLength;
    other.m_pchData = afxEmptyString;
    other.m_nAllocLength = 0;
  }
  return *this;
}

CString& CString::operator=(LPCSTR text) {
  if (text == nullptr) {
    Empty();
  } else {
    Assign(text, static_cast<int>(strlen(text)));
  }
  return *this;
}

int CString::GetLength() const { return static_cast<int>(strlen(m_pchData)); }

void CString::Empty() { Release(); }

BOOL CString::LoadString(UINT nID) {
  // LoadStringA truncates silently, so a string that fills the buffer may be
  // longer: try again with more room. A string resource holds at most 65,535
  // characters.
  for (int size = 256; size <= 65536; size *= 2) {
    LPSTR buffer = GetBuffer(size - 1);
    if (buffer == nullptr) break;
    int length = ::LoadStringA(AfxGetResourceHandle(), nID, buffer, size);
    if (length < size - 1 || size == 65536) {
      ReleaseBuffer(length);
      return length > 0;
    }
  }
  Empty();
  return FALSE;
}

LPSTR CString::GetBuffer(int nMinBufLength) {
  int length = GetLength();
  int needed = nMinBufLength > length ? nMinBufLength : length;
  if (m_pchData != afxEmptyString && needed <= m_nAllocLength) return m_pchData;
  char* buffer = static_cast<char*>(malloc(static_cast<size_t>(needed) + 1));
  if (buffer == nullptr) return nullptr;
  memcpy(buffer, m_pchData, static_cast<size_t>(length) + 1);
  Release();
  m_pchData = buffer;
  m_nAllocLength = needed;
  return m_pchData;
}

void CString::ReleaseBuffer(int nNewLength) {
  if (m_pchData == afxEmptyString) return;
  if (nNewLength < 0) {
    const void* end = memchr(m_pchData, '\0', static_cast<size_t>(m_nAllocLength));
    nNewLength = end != nullptr ? static_cast<int>(static_cast<const char*>(end) - m_pchData)
                                : m_nAllocLength;
  }
  if (nNewLength > m_nAllocLength) nNewLength = m_nAllocLength;
  m_pchData[nNewLength] = '\0';
}

BOOL CString::Assign(LPCSTR text, int length) {
  if (length == 0) {
    Release();
    return TRUE;
  }
  if (m_pchData != afxEmptyString && length <= m_nAllocLength) {
    memmove(m_pchData, text, static_cast<size_t>(length));  // text may lie in this buffer
    m_pchData[length] = '\0';
    return TRUE;
  }
  char* buffer = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
  if (buffer == nullptr) {
    Release();
    return FALSE;
  }
  memcpy(buffer, text, static_cast<size_t>(length));
  buffer[length] = '\0';
  Release();
  m_pchData = buffer;
  m_nAllocLength = length;
  return TRUE;
}

void CString::Release() {
  if (m_pchData != afxEmptyString) free(m_pchData);
  m_pchData = afxEmptyString;
  m_nAllocLength = 0;
}

BOOL operator==(const CString& a, LPCSTR b) { return strcmp(a, b != nullptr ? b : "") == 0; }

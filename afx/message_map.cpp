// Message maps: the search of a class's tables, most derived first.
#include "afxwin.h"

const AFX_MSGMAP CCmdTarget::messageMap = {nullptr, &CCmdTarget::GetThisMessageEntries};

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return &CCmdTarget::messageMap; }

const AFX_MSGMAP_ENTRY* CCmdTarget::GetThisMessageEntries() {
  static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, nullptr}};
  return entries;
}

const AFX_MSGMAP_ENTRY* CCmdTarget::FindMessageEntry(UINT nMessage, UINT nCode, UINT nID) const {
  for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr; map = map->pBaseMap) {
    for (const AFX_MSGMAP_ENTRY* entry = map->pfnGetEntries(); entry->pfnThunk != nullptr;
         ++entry) {
      if (entry->nMessage != nMessage) continue;
      if (nMessage == WM_COMMAND && (entry->nCode != nCode || entry->nID != nID)) continue;
      return entry;
    }
  }
  return nullptr;
}

BOOL CCmdTarget::OnCmdMsg(UINT nID, UINT nCode) {
  const AFX_MSGMAP_ENTRY* entry = FindMessageEntry(WM_COMMAND, nCode, nID);
  if (entry == nullptr) return FALSE;
  entry->pfnThunk(this, MAKEWPARAM(nID, nCode), 0);
  return TRUE;
}

// The about box, reached from the main dialog's system menu.
#pragma once

#include <afxwin.h>

class AboutDialog : public CDialog {
 public:
  AboutDialog();
  ~AboutDialog() override;

 protected:
  DECLARE_MESSAGE_MAP()
  void DoDataExchange(CDataExchange* pDX) override;
};

#include "about_dialog.h"

#include "resource.h"

BEGIN_MESSAGE_MAP(AboutDialog, CDialog)
END_MESSAGE_MAP()

AboutDialog::AboutDialog() : CDialog(IDD_ABOUTBOX) {}

AboutDialog::~AboutDialog() = default;

void AboutDialog::DoDataExchange(CDataExchange* pDX) { CDialog::DoDataExchange(pDX); }

// Where the main window meets the Merge Parameters and FIT Files dialogs.

#include "shell/CMainDlg.h"

// The Merge button and the Enter key: opens the Merge Parameters dialog; the
// main window never ends here.
void CMainDlg::OnOK() {}

// The List... button: the FIT Files dialog.
void CMainDlg::OnList() {}

bool CMainDlg::IsMergeParamsOpen() const { return false; }

// Lets the Merge Parameters dialog follow the frame just loaded.
void CMainDlg::UpdateMergeParams() {}

// Where the main window meets the Merge Parameters and FIT Files dialogs.

#include "app/CFileListDlg.h"
#include "app/CMainDlg.h"

// The Merge button and the Enter key: opens the Merge Parameters dialog; the
// main window never ends here.
void CMainDlg::OnOK()
{
    if (!m_mergeDlg.IsWindow())
        m_mergeDlg.Create(this);
    m_mergeDlg.ShowWindow();
}

// The List... button: the FIT Files dialog.
void CMainDlg::OnList()
{
    CFileListDlg dlg(this, this);
    dlg.exec();
}

bool CMainDlg::IsMergeParamsOpen() const { return m_mergeDlg.IsWindow(); }

// Lets the Merge Parameters dialog follow the frame just loaded.
void CMainDlg::UpdateMergeParams()
{
    if (m_mergeDlg.IsWindow())
        m_mergeDlg.UpdateData(false);
}

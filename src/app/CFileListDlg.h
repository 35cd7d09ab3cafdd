#pragma once
// "FIT Files": the modal table of every frame with its noise or S/N, the
// noise of its difference with the previous frame and its size; writes the
// noise report beside the settings file each time it opens.

#include <vector>

#include <QDialog>

#include "report/NoiseReport.h"

class MainWindowHost;
class QTreeWidget;
class QTreeWidgetItem;

class CFileListDlg : public QDialog {
public:
    // Measures the frames of pMainDlg and builds the table and the report.
    CFileListDlg(MainWindowHost* pMainDlg, QWidget* parent);

    // The two 16 x 16 glyphs of the Name column: 0 one plane, 1 colour.
    static QPixmap Glyph(int index);
    // The report's place: imgNoise.csv in the folder of the settings file.
    QString ReportPath() const;

    // Sorts by column: 0 by row number descending, 1 by planes and then
    // sortValue descending, 2 not at all.
    void OnColumnclickList(int column);
    // A right-click at pos (viewport coordinates) on the Name of a row makes
    // that frame the current one.
    void OnRclickList(const QPoint& pos);

    QTreeWidget* m_list = nullptr;
    std::vector<FileListRow> m_rows;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void OnInitDialog();
    void PlaceList();
    void FitToColumns();
    void ShowRejection(QTreeWidgetItem& item, const FileListRow& row) const;

    MainWindowHost* m_pMainDlg;
};

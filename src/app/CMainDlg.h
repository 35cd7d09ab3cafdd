#pragma once
// The program's only top-level window: the button row along its top and the
// preview of the current image below it. Holds all the state of the user's
// work by value and hosts the core (message boxes, title, progress, repaint).

#include <functional>
#include <map>
#include <string>

#include <QDialog>
#include <QPoint>
#include <QSettings>
#include <QStringList>

#include "app/CMergeParamsDlg.h"
#include "app/MainWindowHost.h"
#include "preview/PreviewGeometry.h"

class QLabel;
class QLineEdit;
class QPushButton;
class CSpinButton;

// Control IDs of the main window's template.
enum MainDlgControl {
    IDC_MERGE = 1,
    IDC_EXIT = 2,
    IDC_ADD = 1000,
    IDC_DEL = 1001,
    IDC_LIST = 1002,
    IDC_SAVE = 1003,
    IDC_SAVE_BMP = 1004,
    IDC_PREV = 1005,
    IDC_NEXT = 1006,
    IDC_INFO = 1007,
    IDC_NO_SCALE = 1082,
    IDC_EDIT_GAMMA = 1083,
    IDC_SPIN_GAMMA = 1084,
};

class CMainDlg : public QDialog, public MainWindowHost {
    Q_OBJECT
public:
    // settingsPath: the settings file, read here and written when the window closes.
    explicit CMainDlg(const QString& settingsPath, QWidget* parent = nullptr);
    ~CMainDlg() override;

    // Exit, Escape and the close box.
    void reject() override;

    // The core's host.
    void ShowError(const std::string& caption, const std::string& text) override;
    void SetTitle(const std::string& title) override;
    void StepProgress(int amount) override;
    void ShowFrame() override;
    void GetShownSize(int& width, int& height) const override;

    // The host of the Merge Parameters and FIT Files windows.
    QSettings& Profile() override { return m_profile; }
    CMergeEngine& Engine() override { return m_engine; }
    CFitsImage& Image() override { return m_image; }
    CPreviewBitmap& Picture() override { return m_bitmap; }
    int ViewMode() const override { return m_viewMode; }
    void SetViewMode(int mode) override { m_viewMode = mode; }
    const std::string& CurrentPath() const override { return m_strCurrent; }
    void ShowResult(const std::string& title) override;
    void RepaintPicture() override { update(); }
    void EnableMerge(bool enable) override;
    void SetProgressHook(std::function<void(int)> hook) override { m_progressHook = std::move(hook); }
    void MarkResultUnsaved() override { m_bResultUnsaved = true; }
    void ShowFrameTitle() override;

    // The frame set.
    void OnAdd();
    void OnDropFiles(const QStringList& names);
    void OnDel();
    void OnPrev();
    void OnNext();
    bool LoadFrame(std::string path) override;

    // The button row.
    void OnOK();
    void OnList();
    void OnSave() override;
    void OnSaveBmp();
    void ShowAbout();
    void UpdateButtonCaptions();
    void UpdateInfoLine() override;
    // Puts back the captions the pixel readout took over.
    void RestoreCaptions();

    // The view.
    int GetViewPlane() const override;
    bool RefreshView();
    void LayoutPreview();
    void OnCheckNoScale();
    bool WindowToImagePoint(QPoint& point) const;
    bool ImageToWindowPoint(QPoint& point) const;
    bool WindowToImageRect(const CRect& rect, ImageRect& out) const;
    bool ImageToWindowRect(const ImageRect& rect, CRect& out) const;
    void OnMouseMove(const QPoint& point);
    void OnLButtonDown(const QPoint& point);
    void OnLButtonUp(const QPoint& point);
    void OnRButtonDown(const QPoint& point);
    void OnRButtonUp(const QPoint& point);
    void OnDeltaposSpinGamma(int pos, int delta);
    void OnChangeEditGamma();

    // A control of the template by its ID; null for an unknown ID.
    QWidget* GetDlgItem(int id) const;
    QString GetDlgItemText(int id) const;

    // The user's work: frames, rectangles, parameters, merge outputs.
    CMergeEngine m_engine;
    std::string m_strCurrent;
    CFitsImage m_image;
    CPreviewBitmap m_bitmap;
    int m_viewMode = 3;
    bool m_bNoScale = false;
    CRect m_rcPreview;
    QPoint m_ptScroll;
    bool m_bMarkingNoise = false;
    bool m_bPanning = false;
    bool m_bMarkingLight = false;
    QPoint m_ptAnchor;
    // A result of Create is on display and no Save has written it yet.
    bool m_bResultUnsaved = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void done(int result) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void CreateControls();
    void OnInitDialog();
    void OnDestroy();
    PreviewMapping Mapping() const;
    void PlaceWindow(int left, int top, int right, int bottom);
    void ApplyPlacement();
    bool PreTranslateMessage(QEvent* event);
    void SetGamma(int gamma);
    void SetDlgItemText(int id, const QString& text);
    CRect ControlRect(int id) const;
    Qt::KeyboardModifiers HeldModifiers() const;
    QString RememberedFolder() const;
    void RememberFolder(const std::string& path);
    void OnEraseBkgnd(QPainter& painter);
    void OnPaint(QPainter& painter);
    void DragStep(const QPoint& point);
    void EndReleasedDrags(Qt::MouseButtons held);
    bool IsInButtonBand(const QPoint& point) const;
    CRect PreviewArea() const;
    CRect VisiblePreview() const;
    bool CanStartDrag(const QPoint& point) const;
    void ShowReadout(const QPoint& pixel);
    bool IsMergeParamsOpen() const;
    void UpdateMergeParams();

    QSettings m_profile;
    std::function<void(int)> m_progressHook;
    std::map<int, QWidget*> m_controls;
    QRect m_rcPlacement;  // outer rectangle still to be applied; null when none
    QLineEdit* m_editGamma = nullptr;
    CSpinButton* m_spinGamma = nullptr;

public:
    // Last, so that it is built after the settings it reads and goes before
    // the state it writes back.
    CMergeParamsDlg m_mergeDlg{this};
};

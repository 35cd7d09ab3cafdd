#pragma once
// "Merge Parameters": the modeless window beside the main window that holds
// the merge parameters, runs the merge on "Create" and switches the main
// window between the image, the deviation image and the clipping views.
// The object lives as long as the main window; its window comes and goes.
// The parameters themselves live in the main window's engine (m_params).

#include <map>

#include <QPointer>

#include "merge/MergeParams.h"

class MainWindowHost;
class QDialog;
class QProgressBar;
class QPushButton;
class QSlider;
class QWidget;

// Control IDs of the Merge Parameters template.
enum MergeParamsControl {
    IDC_CREATE = 1,
    IDC_MERGE_EXIT = 2,
    IDC_IGNORE_BLACK = 1008,
    IDC_IGNORE_WHITE = 1009,
    IDC_BLACK_LIMIT = 1010,
    IDC_WHITE_LIMIT = 1011,
    IDC_SIGMA_CLIP = 1012,
    IDC_SIGMA = 1013,
    IDC_SIGMA_FADE = 1014,
    IDC_NORMALIZE_AREA = 1015,
    IDC_SAVE_BITMAPS = 1016,
    IDC_LOCAL_SCALE = 1017,
    IDC_FADE_SLIDER = 1019,
    IDC_SIGMA_SLIDER = 1020,
    IDC_LOCAL_SCALE_SLIDER = 1021,
    IDC_VIEW_DEVIATION = 1023,
    IDC_VIEW_IMAGE = 1024,
    IDC_CLIP_RED = 1025,
    IDC_CLIP_GREEN = 1026,
    IDC_CLIP_BLUE = 1027,
    IDC_PROGRESS = 1028,
    IDC_ALIGN_FRAMES = 1040,
    IDC_ROBUST = 1041,
};

class CMergeParamsDlg {
public:
    // Reads [Params] of the main window's settings file.
    explicit CMergeParamsDlg(MainWindowHost* pMain);
    ~CMergeParamsDlg();
    CMergeParamsDlg(const CMergeParamsDlg&) = delete;
    CMergeParamsDlg& operator=(const CMergeParamsDlg&) = delete;

    // Builds the window beside parent and initialises it; it stays hidden
    // until ShowWindow.
    void Create(QWidget* parent);
    void ShowWindow();
    bool IsWindow() const { return !m_pWnd.isNull(); }
    // Writes [Params] and closes the window; the values stay in the object.
    void DestroyWindow();
    QDialog* Window() const { return m_pWnd; }
    QWidget* GetDlgItem(int id) const;

    // Members <-> controls. Reading fails (nothing stored) on a malformed
    // number, which is reported unless quiet.
    bool UpdateData(bool bSaveAndValidate, bool quiet = false);

    // The handlers.
    void OnOK();
    void OnCancel();
    void OnIgnoreBlack();
    void OnIgnoreWhite();
    void OnSigmaClip();
    void OnAlignFrames();
    void OnRobust();
    void OnViewDeviation();
    void OnViewImage();
    void ShowClipView(int plane);
    void OnReleasedSigma();
    void OnReleasedFade();
    void OnReleasedLocalScale();

    QProgressBar* m_progress = nullptr;
    QPushButton* m_clipRed = nullptr;
    QPushButton* m_clipGreen = nullptr;
    QPushButton* m_clipBlue = nullptr;
    QPushButton* m_viewImage = nullptr;
    QPushButton* m_viewDeviation = nullptr;
    QSlider* m_localScaleSlider = nullptr;
    QSlider* m_fadeSlider = nullptr;
    QSlider* m_sigmaSlider = nullptr;

private:
    MergeParams& Params() const;
    void CreateControls();
    void OnInitDialog();
    void OnDestroy();
    bool ReadControls(MergeParams& params, bool quiet) const;
    void FillControls(const MergeParams& params);
    void ApplyEnableRules(const MergeParams& params);
    void ShowPlaneButtons();
    void FillViewControls();
    float ShownLocalScale() const;
    // Average and deviation when Sigma Clip is on and they are not cached.
    bool CalcDeviationIfNeeded();
    void StartProgress(int range);
    void StopProgress();
    // Recolours the clipping view of the shown frame, when there is one.
    void ShowClippingIfValid();

    MainWindowHost* m_pMain;
    QPointer<QDialog> m_pWnd;
    std::map<int, QWidget*> m_controls;
};

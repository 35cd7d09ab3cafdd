#include "app/CMergeParamsDlg.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSlider>

#include "settings/Settings.h"
#include "app/DialogTemplate.h"
#include "app/DialogUnits.h"
#include "app/MainWindowHost.h"
#include "app/ShellSeams.h"

namespace {

// Template 129 in its own order, which is also the tab order.
constexpr ControlTemplate kTemplate[] = {
    {IDC_CREATE, ControlKind::DefaultButton, "Create", 133, 144, 50, 14},
    {IDC_MERGE_EXIT, ControlKind::Button, "Exit", 7, 144, 50, 14},
    {IDC_IGNORE_BLACK, ControlKind::Check, "Ignore Black", 20, 17, 56, 10},
    {IDC_IGNORE_WHITE, ControlKind::Check, "Ignore White", 19, 36, 57, 10},
    {IDC_BLACK_LIMIT, ControlKind::Edit, "", 84, 16, 36, 14},
    {IDC_WHITE_LIMIT, ControlKind::Edit, "", 84, 33, 36, 14},
    {IDC_ALIGN_FRAMES, ControlKind::Check, "Align frames", 20, 55, 60, 10},
    {IDC_SIGMA_CLIP, ControlKind::Check, "Sigma Clip", 13, 94, 49, 10},
    {IDC_SIGMA, ControlKind::Edit, "", 77, 91, 36, 14},
    {IDC_SIGMA_FADE, ControlKind::Edit, "", 77, 107, 36, 14},
    {0, ControlKind::FittedLabel, "Sigma Fade", 21, 110, 38, 8},
    {IDC_NORMALIZE_AREA, ControlKind::Edit, "", 78, 73, 36, 14},
    {0, ControlKind::FittedLabel, "Normalize Area (pix)", 11, 77, 63, 8},
    {IDC_SAVE_BITMAPS, ControlKind::Check, "Save Bitmaps", 67, 148, 59, 10},
    {IDC_FADE_SLIDER, ControlKind::Slider, "", 114, 107, 77, 15},
    {IDC_SIGMA_SLIDER, ControlKind::Slider, "", 114, 91, 77, 15},
    {IDC_LOCAL_SCALE, ControlKind::ReadOnlyEdit, "", 77, 123, 36, 14},
    {0, ControlKind::FittedLabel, "Local Sigma Scale", 11, 126, 60, 8},
    {IDC_LOCAL_SCALE_SLIDER, ControlKind::Slider, "", 114, 123, 77, 15},
    {IDC_VIEW_DEVIATION, ControlKind::PushLikeCheck, "Deviation", 130, 28, 59, 14},
    {IDC_VIEW_IMAGE, ControlKind::PushLikeCheck, "Image", 130, 12, 59, 14},
    {IDC_CLIP_RED, ControlKind::PushLikeCheck, "Clipping Red", 130, 43, 59, 14},
    {IDC_CLIP_GREEN, ControlKind::PushLikeCheck, "Clipping Green", 130, 58, 59, 14},
    {IDC_CLIP_BLUE, ControlKind::PushLikeCheck, "Clipping Blue", 130, 72, 59, 14},
    {0, ControlKind::Group, "View", 121, 1, 77, 88},
    {IDC_PROGRESS, ControlKind::Progress, "", 7, 164, 191, 11},
    {IDC_ROBUST, ControlKind::Check, "Robust", 84, 55, 36, 10},
};
constexpr int kTemplateWidth = 205;
constexpr int kTemplateHeight = 182;

const QString kAppCaption = QStringLiteral("Velmora");

// The view buttons by view mode.
constexpr int kViewButtons[] = {IDC_CLIP_RED, IDC_CLIP_GREEN, IDC_CLIP_BLUE, IDC_VIEW_IMAGE, IDC_VIEW_DEVIATION};

// The controls that only matter with sigma clipping.
constexpr int kSigmaControls[] = {IDC_SIGMA,          IDC_SAVE_BITMAPS,       IDC_SIGMA_FADE, IDC_FADE_SLIDER,
                                  IDC_SIGMA_SLIDER,   IDC_LOCAL_SCALE_SLIDER, IDC_NORMALIZE_AREA,
                                  IDC_VIEW_DEVIATION, IDC_CLIP_RED,           IDC_CLIP_GREEN, IDC_CLIP_BLUE};

// Escape, the close box and "Exit" all end in OnCancel, which closes the window.
class CMergeParamsWnd : public QDialog {
public:
    CMergeParamsWnd(QWidget* parent, std::function<void()> onCancel) : QDialog(parent), m_onCancel(std::move(onCancel))
    {
    }
    void reject() override { m_onCancel(); }

private:
    std::function<void()> m_onCancel;
};

// A slider that tells when the mouse lets go of it, whether it was dragged
// or its channel clicked; moves by keyboard wait for the next release.
class CReleaseSlider : public QSlider {
public:
    explicit CReleaseSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) { setTickPosition(NoTicks); }
    std::function<void()> m_onReleasedCapture;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        QSlider::mouseReleaseEvent(event);
        if (m_onReleasedCapture)
            m_onReleasedCapture();
    }
};

QString FormatInt(int value) { return QString::number(value); }

// Six significant digits, as a float field is shown.
QString FormatFloat(float value) { return QString::asprintf("%.*g", 6, static_cast<double>(value)); }

bool ParseInt(const QString& text, int32_t& value)
{
    bool ok = false;
    const int parsed = text.trimmed().toInt(&ok);
    if (ok)
        value = parsed;
    return ok;
}

bool ParseFloat(const QString& text, float& value)
{
    bool ok = false;
    const double parsed = text.trimmed().toDouble(&ok);
    // Values no float can hold would poison every threshold.
    if (!ok || !std::isfinite(static_cast<float>(parsed)))
        return false;
    value = static_cast<float>(parsed);
    return true;
}

// A slider position: the value's hundredths, truncated, taken from the three
// decimals it is stored with, so that float noise (0.53 is 0.52999... as a
// float) does not put a slider back a step and a click that does not move it
// does not lower the value.
int SliderPosition(float value)
{
    const double hundredths = std::round(static_cast<double>(value) * 1000.0) / 10.0;
    return static_cast<int>(std::clamp(hundredths, -1e9, 1e9));
}

}  // namespace

CMergeParamsDlg::CMergeParamsDlg(MainWindowHost* pMain) : m_pMain(pMain)
{
    Params() = ReadMergeParams(m_pMain->Profile());
    m_pMain->SetProgressHook([this](int amount) {
        if (!m_progress)
            return;
        m_progress->setValue(m_progress->value() + amount);
        m_progress->repaint();
    });
}

CMergeParamsDlg::~CMergeParamsDlg()
{
    DestroyWindow();
    m_pMain->SetProgressHook(nullptr);
}

MergeParams& CMergeParamsDlg::Params() const { return m_pMain->Engine().m_params; }

QWidget* CMergeParamsDlg::GetDlgItem(int id) const
{
    const auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

void CMergeParamsDlg::Create(QWidget* parent)
{
    if (IsWindow())
        return;
    m_pWnd = new CMergeParamsWnd(parent, [this] { OnCancel(); });
    m_pWnd->setWindowTitle(QStringLiteral("Merge Parameters"));
    m_pWnd->setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    m_pWnd->setFont(DialogFont());
    m_pWnd->setFixedSize(MapDialogRect(m_pWnd->font(), 0, 0, kTemplateWidth, kTemplateHeight).size());
    CreateControls();
    // Beside the main window, as far as the screen allows.
    const QRect main = parent->frameGeometry();
    QPoint place(main.right() + 1, main.top());
    if (const QScreen* screen = parent->screen()) {
        const QRect free = screen->availableGeometry();
        place.setX(std::max(free.left(), std::min(place.x(), free.right() + 1 - m_pWnd->frameGeometry().width())));
    }
    m_pWnd->move(place);
    OnInitDialog();
}

void CMergeParamsDlg::CreateControls()
{
    CreateTemplateControls(m_pWnd, kTemplate, m_controls,
                           [](QWidget* parent, const ControlTemplate&) { return new CReleaseSlider(parent); });

    auto button = [this](int id) { return static_cast<QAbstractButton*>(GetDlgItem(id)); };
    auto released = [this](int id, void (CMergeParamsDlg::*handler)()) {
        static_cast<CReleaseSlider*>(GetDlgItem(id))->m_onReleasedCapture = [this, handler] { (this->*handler)(); };
    };
    const QDialog* wnd = m_pWnd;
    QObject::connect(button(IDC_CREATE), &QAbstractButton::clicked, wnd, [this] { OnOK(); });
    QObject::connect(button(IDC_MERGE_EXIT), &QAbstractButton::clicked, wnd, [this] { OnCancel(); });
    QObject::connect(button(IDC_IGNORE_BLACK), &QAbstractButton::clicked, wnd, [this] { OnIgnoreBlack(); });
    QObject::connect(button(IDC_IGNORE_WHITE), &QAbstractButton::clicked, wnd, [this] { OnIgnoreWhite(); });
    QObject::connect(button(IDC_SIGMA_CLIP), &QAbstractButton::clicked, wnd, [this] { OnSigmaClip(); });
    QObject::connect(button(IDC_ALIGN_FRAMES), &QAbstractButton::clicked, wnd, [this] { OnAlignFrames(); });
    QObject::connect(button(IDC_ROBUST), &QAbstractButton::clicked, wnd, [this] { OnRobust(); });
    QObject::connect(button(IDC_VIEW_DEVIATION), &QAbstractButton::clicked, wnd, [this] { OnViewDeviation(); });
    QObject::connect(button(IDC_VIEW_IMAGE), &QAbstractButton::clicked, wnd, [this] { OnViewImage(); });
    for (int plane = 0; plane < 3; ++plane)
        QObject::connect(button(kViewButtons[plane]), &QAbstractButton::clicked, wnd,
                         [this, plane] { ShowClipView(plane); });
    released(IDC_SIGMA_SLIDER, &CMergeParamsDlg::OnReleasedSigma);
    released(IDC_FADE_SLIDER, &CMergeParamsDlg::OnReleasedFade);
    released(IDC_LOCAL_SCALE_SLIDER, &CMergeParamsDlg::OnReleasedLocalScale);

    m_progress = static_cast<QProgressBar*>(GetDlgItem(IDC_PROGRESS));
    m_clipRed = static_cast<QPushButton*>(GetDlgItem(IDC_CLIP_RED));
    m_clipGreen = static_cast<QPushButton*>(GetDlgItem(IDC_CLIP_GREEN));
    m_clipBlue = static_cast<QPushButton*>(GetDlgItem(IDC_CLIP_BLUE));
    m_viewImage = static_cast<QPushButton*>(GetDlgItem(IDC_VIEW_IMAGE));
    m_viewDeviation = static_cast<QPushButton*>(GetDlgItem(IDC_VIEW_DEVIATION));
    m_localScaleSlider = static_cast<QSlider*>(GetDlgItem(IDC_LOCAL_SCALE_SLIDER));
    m_fadeSlider = static_cast<QSlider*>(GetDlgItem(IDC_FADE_SLIDER));
    m_sigmaSlider = static_cast<QSlider*>(GetDlgItem(IDC_SIGMA_SLIDER));
}

void CMergeParamsDlg::OnInitDialog()
{
    UpdateData(false);
    const MergeParams& p = Params();
    m_fadeSlider->setRange(0, 200);
    m_fadeSlider->setValue(SliderPosition(p.m_sigmaFade));
    m_sigmaSlider->setRange(100, 500);
    m_sigmaSlider->setValue(SliderPosition(p.m_sigma));
    m_localScaleSlider->setValue(SliderPosition(ShownLocalScale()));
    m_progress->hide();
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_pMain->EnableMerge(false);
}

void CMergeParamsDlg::ShowWindow()
{
    if (IsWindow())
        m_pWnd->show();
}

void CMergeParamsDlg::OnCancel()
{
    m_pMain->EnableMerge(true);
    DestroyWindow();
}

void CMergeParamsDlg::DestroyWindow()
{
    if (!IsWindow())
        return;
    OnDestroy();
    QDialog* wnd = m_pWnd;
    m_pWnd.clear();
    m_controls.clear();
    m_progress = nullptr;
    m_clipRed = m_clipGreen = m_clipBlue = m_viewImage = m_viewDeviation = nullptr;
    m_localScaleSlider = m_fadeSlider = m_sigmaSlider = nullptr;
    wnd->hide();
    // Its own handlers may still be on the stack.
    wnd->deleteLater();
}

// A closing window asks nobody about a malformed field: it keeps the last
// values that were read.
void CMergeParamsDlg::OnDestroy()
{
    UpdateData(true, true);
    WriteMergeParams(m_pMain->Profile(), Params());
    m_pMain->Profile().sync();
}

bool CMergeParamsDlg::UpdateData(bool bSaveAndValidate, bool quiet)
{
    if (!IsWindow())
        return false;
    if (bSaveAndValidate) {
        MergeParams read = Params();
        if (!ReadControls(read, quiet))
            return false;
        m_pMain->Engine().SetParams(read);
    } else {
        FillControls(Params());
    }
    ApplyEnableRules(Params());
    ShowPlaneButtons();
    if (!bSaveAndValidate)
        FillViewControls();
    return true;
}

// All fields or none: a malformed one leaves every value as it was.
bool CMergeParamsDlg::ReadControls(MergeParams& p, bool quiet) const
{
    auto text = [this](int id) { return static_cast<QLineEdit*>(GetDlgItem(id))->text(); };
    auto checked = [this](int id) { return static_cast<QAbstractButton*>(GetDlgItem(id))->isChecked(); };
    auto fail = [&](int id, const char* message) {
        if (!quiet) {
            Seams().showMessage(m_pWnd, kAppCaption, QString::fromLatin1(message));
            auto* edit = static_cast<QLineEdit*>(GetDlgItem(id));
            edit->setFocus();
            edit->selectAll();
        }
        return false;
    };
    const char* const kInteger = "Please enter an integer.";
    const char* const kNumber = "Please enter a number.";
    if (!ParseInt(text(IDC_WHITE_LIMIT), p.m_whiteLimit))
        return fail(IDC_WHITE_LIMIT, kInteger);
    if (!ParseFloat(text(IDC_SIGMA), p.m_sigma))
        return fail(IDC_SIGMA, kNumber);
    p.m_ignoreBlack = checked(IDC_IGNORE_BLACK);
    p.m_ignoreWhite = checked(IDC_IGNORE_WHITE);
    p.m_useSigma = checked(IDC_SIGMA_CLIP);
    if (!ParseInt(text(IDC_BLACK_LIMIT), p.m_blackLimit))
        return fail(IDC_BLACK_LIMIT, kInteger);
    if (!ParseFloat(text(IDC_SIGMA_FADE), p.m_sigmaFade))
        return fail(IDC_SIGMA_FADE, kNumber);
    if (!ParseInt(text(IDC_NORMALIZE_AREA), p.m_normalizeArea))
        return fail(IDC_NORMALIZE_AREA, kInteger);
    p.m_saveBitmaps = checked(IDC_SAVE_BITMAPS);
    p.m_align = checked(IDC_ALIGN_FRAMES);
    p.m_robust = checked(IDC_ROBUST);
    return true;
}

void CMergeParamsDlg::FillControls(const MergeParams& p)
{
    auto setText = [this](int id, const QString& value) { static_cast<QLineEdit*>(GetDlgItem(id))->setText(value); };
    auto setChecked = [this](int id, bool value) { static_cast<QAbstractButton*>(GetDlgItem(id))->setChecked(value); };
    setText(IDC_WHITE_LIMIT, FormatInt(p.m_whiteLimit));
    setText(IDC_SIGMA, FormatFloat(p.m_sigma));
    setChecked(IDC_IGNORE_BLACK, p.m_ignoreBlack);
    setChecked(IDC_IGNORE_WHITE, p.m_ignoreWhite);
    setChecked(IDC_SIGMA_CLIP, p.m_useSigma);
    setText(IDC_BLACK_LIMIT, FormatInt(p.m_blackLimit));
    setText(IDC_SIGMA_FADE, FormatFloat(p.m_sigmaFade));
    setText(IDC_NORMALIZE_AREA, FormatInt(p.m_normalizeArea));
    setChecked(IDC_SAVE_BITMAPS, p.m_saveBitmaps);
    setChecked(IDC_ALIGN_FRAMES, p.m_align);
    setChecked(IDC_ROBUST, p.m_robust);
}

void CMergeParamsDlg::ApplyEnableRules(const MergeParams& p)
{
    GetDlgItem(IDC_WHITE_LIMIT)->setEnabled(p.m_ignoreWhite);
    GetDlgItem(IDC_BLACK_LIMIT)->setEnabled(p.m_ignoreBlack);
    for (int id : kSigmaControls)
        GetDlgItem(id)->setEnabled(p.m_useSigma);
}

void CMergeParamsDlg::ShowPlaneButtons()
{
    const int planes = m_pMain->Image().m_planes;
    m_clipGreen->setVisible(planes >= 2);
    m_clipBlue->setVisible(planes >= 3);
    m_clipRed->setText(planes < 2 ? QStringLiteral("Clipping") : QStringLiteral("Clipping Red"));
}

void CMergeParamsDlg::FillViewControls()
{
    const float s = ShownLocalScale();
    m_localScaleSlider->setRange(50, 150);
    m_localScaleSlider->setValue(SliderPosition(s));
    static_cast<QLineEdit*>(GetDlgItem(IDC_LOCAL_SCALE))->setText(QString::asprintf("%.2f", static_cast<double>(s)));
    for (int mode = 0; mode < 5; ++mode)
        static_cast<QAbstractButton*>(GetDlgItem(kViewButtons[mode]))->setChecked(mode == m_pMain->ViewMode());
}

// The scale of the shown frame and plane; without a frame the empty triple.
float CMergeParamsDlg::ShownLocalScale() const
{
    const auto& scales = m_pMain->Engine().m_sigmaScale;
    const auto it = scales.find(m_pMain->CurrentPath());
    return it == scales.end() ? PlaneValues{}[m_pMain->GetViewPlane()] : it->second[m_pMain->GetViewPlane()];
}

void CMergeParamsDlg::OnIgnoreBlack() { UpdateData(true); }

// The info line shows the figures of the chosen estimator.
void CMergeParamsDlg::OnRobust()
{
    UpdateData(true);
    m_pMain->UpdateInfoLine();
}

void CMergeParamsDlg::OnIgnoreWhite() { UpdateData(true); }

void CMergeParamsDlg::OnAlignFrames() { UpdateData(true); }

void CMergeParamsDlg::OnSigmaClip()
{
    UpdateData(true);
    UpdateData(false);
}

void CMergeParamsDlg::StartProgress(int range)
{
    m_progress->show();
    m_progress->setRange(0, range);
    m_progress->setValue(0);
}

void CMergeParamsDlg::StopProgress() { m_progress->hide(); }

// "Create": the merge driver. The progress range is frames x passes in Qt's
// int range, so large sets need no scaling.
void CMergeParamsDlg::OnOK()
{
    if (!UpdateData(true))
        return;
    // The picture of a deleted frame may still be on display; merging it
    // with no frames would offer an all-zero result for saving.
    if (m_pMain->Engine().m_files.empty()) {
        Seams().showMessage(m_pWnd, kAppCaption, QStringLiteral("There are no frames to merge. Add frames first."));
        return;
    }
    m_pMain->SetViewMode(3);
    UpdateData(false);
    CMergeEngine& engine = m_pMain->Engine();
    CFitsImage& image = m_pMain->Image();
    // Nothing on display is nothing to merge onto.
    if (image.GetPixelCount() == 0)
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    engine.m_referencePath = m_pMain->CurrentPath();
    StartProgress(static_cast<int>(engine.m_files.size()) * engine.ProgressPerFrame(image));
    // The FIT Files list shows them after a robust merge; counting costs the
    // specified merge's clipping loop its vector instructions.
    engine.m_rejectionFigures = engine.m_params.m_robust;
    const bool merged = engine.Merge(image, m_pMain->Picture(), *m_pMain);
    if (merged)
        m_pMain->ShowResult("Result Image");
    if (IsWindow())
        StopProgress();
    // The save dialog shows the ordinary cursor.
    QApplication::restoreOverrideCursor();
    if (merged) {
        m_pMain->MarkResultUnsaved();
        m_pMain->OnSave();
    }
}

bool CMergeParamsDlg::CalcDeviationIfNeeded()
{
    CMergeEngine& engine = m_pMain->Engine();
    const CFitsImage& image = m_pMain->Image();
    if (!engine.NeedsDeviation(image))
        return true;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    engine.m_referencePath = m_pMain->CurrentPath();
    StartProgress(static_cast<int>(engine.m_files.size()) * (2 + engine.AlignProgressPerFrame()));
    const bool done = engine.EnsureDeviation(image, *m_pMain);
    StopProgress();
    QApplication::restoreOverrideCursor();
    return done;
}

void CMergeParamsDlg::OnViewDeviation()
{
    if (!UpdateData(true))
        return;
    if (Params().m_useSigma)
        m_pMain->SetViewMode(4);
    UpdateData(false);
    if (!CalcDeviationIfNeeded())
        return;
    m_pMain->Image().CopyPixelsFrom(m_pMain->Engine().m_deviation);
    m_pMain->ShowResult("Deviations Image");
}

void CMergeParamsDlg::ShowClipView(int plane)
{
    if (!UpdateData(true))
        return;
    const bool changed = m_pMain->ViewMode() != plane;
    m_pMain->SetViewMode(plane);
    UpdateData(false);
    if (!CalcDeviationIfNeeded() || !Params().m_useSigma)
        return;
    if (changed)
        m_pMain->LoadFrame(m_pMain->CurrentPath());
    else
        ShowClippingIfValid();
}

void CMergeParamsDlg::OnViewImage()
{
    if (!UpdateData(true))
        return;
    m_pMain->SetViewMode(3);
    UpdateData(false);
    m_pMain->LoadFrame(m_pMain->CurrentPath());
}

void CMergeParamsDlg::ShowClippingIfValid()
{
    if (m_pMain->ViewMode() > 2)
        return;
    // The passes may just have run and left their titles.
    m_pMain->ShowFrameTitle();
    if (!Params().m_useSigma || !m_pMain->Engine().IsCacheValid(m_pMain->Image()))
        return;
    m_pMain->Engine().ShowClipping(m_pMain->Image(), m_pMain->CurrentPath(), m_pMain->GetViewPlane(),
                                   m_pMain->Picture());
    m_pMain->RepaintPicture();
}

void CMergeParamsDlg::OnReleasedSigma()
{
    Params().m_sigma = static_cast<float>(m_sigmaSlider->value() / 100.0);
    UpdateData(false);
    ShowClippingIfValid();
}

void CMergeParamsDlg::OnReleasedFade()
{
    Params().m_sigmaFade = static_cast<float>(m_fadeSlider->value() / 100.0);
    UpdateData(false);
    ShowClippingIfValid();
}

// Without a frame on display there is no scale to set.
void CMergeParamsDlg::OnReleasedLocalScale()
{
    auto& scales = m_pMain->Engine().m_sigmaScale;
    const auto it = scales.find(m_pMain->CurrentPath());
    if (it != scales.end())
        it->second[m_pMain->GetViewPlane()] = static_cast<float>(m_localScaleSlider->value() / 100.0);
    UpdateData(false);
    ShowClippingIfValid();
}

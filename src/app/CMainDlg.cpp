#include "app/CMainDlg.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>

#include <climits>
#include <cstdint>

#include "image/ResultSave.h"
#include "merge/RectStats.h"
#include "platform/EscapeBytes.h"
#include "platform/FileNames.h"
#include "settings/Settings.h"
#include "app/CAboutDlg.h"
#include "app/CSpinButton.h"
#include "app/DialogTemplate.h"
#include "app/DialogUnits.h"
#include "app/MainWindow.h"
#include "app/ShellSeams.h"

// Resources of a static library are registered by hand, from the global namespace.
static void InitShellResources() { Q_INIT_RESOURCE(velmora); }

namespace {

const QString kPreview = QStringLiteral("Preview");
const QString kPreviewWnd = QStringLiteral("PreviewWnd");
const QString kNoiseFrame = QStringLiteral("NoiseFrame");
const QString kLightFrame = QStringLiteral("LightFrame");
const QString kPathOpen = QStringLiteral("pathOpen");
const QString kPathFits = QStringLiteral("pathFits");

// Enough of a window to grab and resize it.
constexpr int kUsableWidth = 100;
constexpr int kUsableHeight = 50;

// A settings file may hold any numbers (damaged, edited, from another
// desktop); only a rectangle that shows enough of the window on some screen
// is used.
bool IsUsablePlacement(int left, int top, int right, int bottom)
{
    const int64_t width = int64_t{right} - left;
    const int64_t height = int64_t{bottom} - top;
    if (width < kUsableWidth || height < kUsableHeight || width > INT_MAX || height > INT_MAX)
        return false;
    const QRect outer(left, top, static_cast<int>(width), static_cast<int>(height));
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect seen = screen->availableGeometry().intersected(outer);
        if (seen.width() >= kUsableWidth && seen.height() >= kUsableHeight)
            return true;
    }
    return false;
}

// Template 102 in its own order, which is also the tab order.
constexpr ControlTemplate kTemplate[] = {
    {IDC_MERGE, ControlKind::DefaultButton, "Merge", 442, 7, 36, 14},
    {IDC_EXIT, ControlKind::Button, "Exit", 563, 7, 39, 14},
    {IDC_ADD, ControlKind::Button, "Add...", 7, 7, 41, 14},
    {IDC_DEL, ControlKind::Button, "Del", 52, 7, 29, 14},
    {IDC_SAVE, ControlKind::Button, "Save...", 481, 7, 38, 14},
    {IDC_PREV, ControlKind::Button, "Prev", 116, 7, 27, 14},
    {IDC_NEXT, ControlKind::Button, "Next", 146, 7, 25, 14},
    {IDC_NO_SCALE, ControlKind::PushLikeCheck, "1:1", 180, 9, 18, 11},
    {IDC_EDIT_GAMMA, ControlKind::Edit, "", 203, 11, 25, 13},
    {IDC_SPIN_GAMMA, ControlKind::Spin, "", 227, 11, 6, 12},
    {0, ControlKind::Group, "View", 176, 0, 57, 24},
    {0, ControlKind::Label, "Gamma", 203, 3, 25, 8},
    {IDC_INFO, ControlKind::SunkenLabel, "Info", 237, 7, 201, 15},
    {IDC_LIST, ControlKind::Button, "List...", 83, 7, 29, 14},
    {IDC_SAVE_BMP, ControlKind::Button, "Save BMP...", 522, 7, 38, 14},
};
constexpr int kTemplateWidth = 613;
constexpr int kTemplateHeight = 455;

QStringList LocalPaths(const QMimeData* data)
{
    QStringList paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile())
            paths << url.toLocalFile();
    return paths;
}

}  // namespace

CMainDlg::CMainDlg(const QString& settingsPath, QWidget* parent)
    : QDialog(parent), m_profile(settingsPath, QSettings::IniFormat)
{
    InitShellResources();
    setWindowTitle(QStringLiteral("Velmora"));
    setWindowFlags(Qt::Window | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    setMouseTracking(true);
    CreateControls();
    resize(MapDialogRect(font(), 0, 0, kTemplateWidth, kTemplateHeight).size());
    OnInitDialog();
    qApp->installEventFilter(this);
}

CMainDlg::~CMainDlg() { qApp->removeEventFilter(this); }

void CMainDlg::CreateControls()
{
    CreateTemplateControls(this, kTemplate, m_controls, [this](QWidget* parent, const ControlTemplate&) {
        return new CSpinButton(static_cast<QLineEdit*>(m_controls.at(IDC_EDIT_GAMMA)), parent);
    });
    m_editGamma = static_cast<QLineEdit*>(m_controls.at(IDC_EDIT_GAMMA));
    m_spinGamma = static_cast<CSpinButton*>(m_controls.at(IDC_SPIN_GAMMA));

    auto button = [this](int id) { return static_cast<QPushButton*>(m_controls.at(id)); };
    connect(button(IDC_MERGE), &QPushButton::clicked, this, &CMainDlg::OnOK);
    connect(button(IDC_EXIT), &QPushButton::clicked, this, &QDialog::reject);
    connect(button(IDC_ADD), &QPushButton::clicked, this, &CMainDlg::OnAdd);
    connect(button(IDC_DEL), &QPushButton::clicked, this, &CMainDlg::OnDel);
    connect(button(IDC_LIST), &QPushButton::clicked, this, &CMainDlg::OnList);
    connect(button(IDC_SAVE), &QPushButton::clicked, this, &CMainDlg::OnSave);
    connect(button(IDC_SAVE_BMP), &QPushButton::clicked, this, &CMainDlg::OnSaveBmp);
    connect(button(IDC_PREV), &QPushButton::clicked, this, &CMainDlg::OnPrev);
    connect(button(IDC_NEXT), &QPushButton::clicked, this, &CMainDlg::OnNext);
    connect(button(IDC_NO_SCALE), &QPushButton::clicked, this, &CMainDlg::OnCheckNoScale);
    connect(m_editGamma, &QLineEdit::textChanged, this, &CMainDlg::OnChangeEditGamma);
    connect(m_spinGamma, &CSpinButton::deltaPos, this, &CMainDlg::OnDeltaposSpinGamma);
}

void CMainDlg::OnInitDialog()
{
    setAcceptDrops(true);
    // Files dropped anywhere on the window are frames, never text for the gamma box.
    for (QWidget* child : findChildren<QWidget*>())
        child->setAcceptDrops(false);
    m_bNoScale = ReadProfileInt(m_profile, kPreview, QStringLiteral("NoScale"), 0) != 0;
    static_cast<QPushButton*>(GetDlgItem(IDC_NO_SCALE))->setChecked(m_bNoScale);

    const QRect frame = frameGeometry();
    const int left = ReadProfileInt(m_profile, kPreviewWnd, QStringLiteral("Left"), frame.x());
    const int right = ReadProfileInt(m_profile, kPreviewWnd, QStringLiteral("Right"), frame.x() + frame.width());
    const int top = ReadProfileInt(m_profile, kPreviewWnd, QStringLiteral("Top"), frame.y());
    const int bottom = ReadProfileInt(m_profile, kPreviewWnd, QStringLiteral("Bottom"), frame.y() + frame.height());
    m_engine.m_rcNoise = ReadRect(m_profile, kNoiseFrame);
    m_engine.m_rcLight = ReadRect(m_profile, kLightFrame);
    PlaceWindow(left, top, right, bottom);
    LayoutPreview();

    setWindowIcon(QIcon(QStringLiteral(":/velmora.png")));

    m_spinGamma->SetRange(0, 100);
    m_bitmap.m_gamma = ReadProfileInt(m_profile, kPreview, QStringLiteral("PreviewGamma"), 10);
    m_spinGamma->SetPos(m_bitmap.m_gamma);

    LayoutPreview();
    UpdateInfoLine();
}

// The settings hold the outer window rectangle. A window that has not been
// moved keeps the place the desktop gives it; otherwise the rectangle is
// applied again once the desktop has framed the window.
void CMainDlg::PlaceWindow(int left, int top, int right, int bottom)
{
    if (!IsUsablePlacement(left, top, right, bottom))
        return;
    const QRect outer(left, top, right - left, bottom - top);
    if (frameGeometry() == outer)
        return;
    m_rcPlacement = outer;
    ApplyPlacement();
}

void CMainDlg::ApplyPlacement()
{
    if (m_rcPlacement.isNull())
        return;
    const QRect frame = frameGeometry();
    const QRect client = geometry();
    setGeometry(m_rcPlacement.adjusted(client.left() - frame.left(), client.top() - frame.top(),
                                       client.right() - frame.right(), client.bottom() - frame.bottom()));
}

void CMainDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (m_rcPlacement.isNull())
        return;
    ApplyPlacement();
    // Some desktops add the frame only after the window is mapped.
    QTimer::singleShot(0, this, [this] {
        ApplyPlacement();
        m_rcPlacement = QRect();
    });
}

void CMainDlg::OnDestroy()
{
    WriteProfileInt(m_profile, kPreview, QStringLiteral("PreviewGamma"), m_bitmap.m_gamma);
    WriteProfileInt(m_profile, kPreview, QStringLiteral("NoScale"), m_bNoScale ? 1 : 0);
    const QRect frame = frameGeometry();
    WriteProfileInt(m_profile, kPreviewWnd, QStringLiteral("Left"), frame.x());
    WriteProfileInt(m_profile, kPreviewWnd, QStringLiteral("Right"), frame.x() + frame.width());
    WriteProfileInt(m_profile, kPreviewWnd, QStringLiteral("Top"), frame.y());
    WriteProfileInt(m_profile, kPreviewWnd, QStringLiteral("Bottom"), frame.y() + frame.height());
    WriteRect(m_profile, kNoiseFrame, m_engine.m_rcNoise);
    WriteRect(m_profile, kLightFrame, m_engine.m_rcLight);
    m_profile.sync();
}

// Exit, Escape and the close box. A merge may have taken minutes: its
// result is not dropped unasked.
void CMainDlg::reject()
{
    if (m_bResultUnsaved &&
        !Seams().askYesNo(this, QStringLiteral("Velmora"),
                          QStringLiteral("The result image has not been saved. Exit anyway?")))
        return;
    QDialog::reject();
}

// Exit, Escape and the close box all end here.
void CMainDlg::done(int result)
{
    m_mergeDlg.DestroyWindow();
    OnDestroy();
    QDialog::done(result);
}

void CMainDlg::ShowError(const std::string& caption, const std::string& text)
{
    Seams().showMessage(this, QString::fromStdString(EscapeRawBytes(caption)),
                        QString::fromStdString(EscapeRawBytes(text)));
}

void CMainDlg::SetTitle(const std::string& title) { setWindowTitle(QString::fromStdString(title)); }

void CMainDlg::StepProgress(int amount)
{
    if (m_progressHook)
        m_progressHook(amount);
}

void RunMainWindow(const QString& settingsPath)
{
    CMainDlg dlg(settingsPath);
    dlg.exec();
}

// A new image on display replaces any result that was there.
void CMainDlg::ShowResult(const std::string& title)
{
    m_bResultUnsaved = false;
    SetTitle(title);
    RefreshView();
    UpdateInfoLine();
}

void CMainDlg::EnableMerge(bool enable) { GetDlgItem(IDC_MERGE)->setEnabled(enable); }

QWidget* CMainDlg::GetDlgItem(int id) const
{
    const auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

QString CMainDlg::GetDlgItemText(int id) const
{
    QWidget* control = GetDlgItem(id);
    if (auto* button = qobject_cast<QPushButton*>(control))
        return button->text();
    if (auto* label = qobject_cast<QLabel*>(control))
        return label->text();
    if (auto* edit = qobject_cast<QLineEdit*>(control))
        return edit->text();
    return QString();
}

void CMainDlg::SetDlgItemText(int id, const QString& text)
{
    QWidget* control = GetDlgItem(id);
    if (auto* button = qobject_cast<QPushButton*>(control))
        button->setText(text);
    else if (auto* label = qobject_cast<QLabel*>(control))
        label->setText(text);
    else if (auto* edit = qobject_cast<QLineEdit*>(control))
        edit->setText(text);
}

CRect CMainDlg::ControlRect(int id) const
{
    const QRect r = GetDlgItem(id)->geometry();
    return CRect{r.x(), r.y(), r.x() + r.width(), r.y() + r.height()};
}

Qt::KeyboardModifiers CMainDlg::HeldModifiers() const { return Seams().heldModifiers(); }

QString CMainDlg::RememberedFolder() const { return ReadProfileString(m_profile, kPathOpen, kPathFits); }

void CMainDlg::RememberFolder(const std::string& path)
{
    WriteProfileString(m_profile, kPathOpen, kPathFits, QString::fromStdString(FolderOfPath(path)));
    m_profile.sync();
}

// Keys reach the window before the focused control does: while frames are
// loaded the navigation and gamma keys act on the frame set, also when the
// gamma box has the focus.
bool CMainDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget && (widget == this || isAncestorOf(widget)) && PreTranslateMessage(event))
            return true;
    }
    return QDialog::eventFilter(watched, event);
}

bool CMainDlg::PreTranslateMessage(QEvent* event)
{
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool pressed = event->type() == QEvent::KeyPress;
    if (pressed && key->key() == Qt::Key_F1) {
        ShowAbout();
        return true;
    }
    if (pressed && !m_engine.m_files.empty()) {
        switch (key->key()) {
        case Qt::Key_Left:
        case Qt::Key_PageUp:
            OnPrev();
            return true;
        case Qt::Key_Right:
        case Qt::Key_PageDown:
            OnNext();
            return true;
        case Qt::Key_Delete:
            OnDel();
            return true;
        case Qt::Key_Insert:
            OnAdd();
            return true;
        case Qt::Key_Up:
            SetGamma(std::min(m_bitmap.m_gamma + 5, 100));
            return true;
        case Qt::Key_Down:
            SetGamma(std::max(m_bitmap.m_gamma - 5, 0));
            return true;
        default:
            break;
        }
    }
    if (key->key() == Qt::Key_Shift || key->key() == Qt::Key_Control)
        UpdateButtonCaptions();
    return false;
}

void CMainDlg::SetGamma(int gamma)
{
    m_bitmap.m_gamma = gamma;
    m_editGamma->setText(QString::number(gamma));
    RefreshView();
}

void CMainDlg::UpdateButtonCaptions()
{
    const Qt::KeyboardModifiers held = HeldModifiers();
    if (held & Qt::ControlModifier) {
        SetDlgItemText(IDC_SAVE, QStringLiteral("Save Int"));
    } else if (held & Qt::ShiftModifier) {
        SetDlgItemText(IDC_DEL, QStringLiteral("Del All"));
        SetDlgItemText(IDC_SAVE, QStringLiteral("Save UInt"));
    } else {
        SetDlgItemText(IDC_DEL, QStringLiteral("Del"));
        SetDlgItemText(IDC_SAVE, QStringLiteral("Save Float"));
    }
}

void CMainDlg::UpdateInfoLine()
{
    GetDlgItem(IDC_MERGE)->setEnabled(m_engine.m_files.size() > 1 && !IsMergeParamsOpen());
    const InfoLine line = FormatInfoLine(m_image, m_engine.m_rcNoise, m_engine.m_rcLight, m_engine.m_params.m_robust);
    SetDlgItemText(IDC_INFO, QString::fromStdString(line.text));
    if (!line.caption.empty())
        SetDlgItemText(IDC_MERGE, QString::fromStdString(line.caption));
}

void CMainDlg::ShowAbout()
{
    CAboutDlg about(this);
    about.exec();
}

void CMainDlg::contextMenuEvent(QContextMenuEvent* event)
{
    if (!IsInButtonBand(event->pos()))
        return;
    QMenu menu(this);
    menu.addAction(QStringLiteral("&About Velmora..."), this, &CMainDlg::ShowAbout);
    menu.exec(event->globalPos());
}

// ---- The frame set

void CMainDlg::OnAdd()
{
    const FileDialogRequest request{QStringLiteral("Open"), RememberedFolder(), QString(),
                                    {QStringLiteral("FITS File (*.fits *.fit)"), QStringLiteral("FITS File (*.fit)"),
                                     QStringLiteral("All Files (*)")},
                                    QStringLiteral("fit")};
    const QStringList picked = Seams().openFiles(this, request);
    if (picked.isEmpty())
        return;
    m_engine.m_deviationValid = false;
    for (const QString& path : picked)
        m_engine.AddFrame(path.toStdString());
    const std::string first = picked.first().toStdString();
    LoadFrame(first);
    RememberFolder(first);
    OnOK();
}

void CMainDlg::OnDropFiles(const QStringList& names)
{
    m_engine.m_deviationValid = false;
    for (int i = 0; i < names.size(); ++i) {
        const std::string name = names[i].toStdString();
        m_engine.AddFrame(name);
        if (i == 0) {
            RememberFolder(name);
            LoadFrame(name);
        }
    }
    OnOK();
}

void CMainDlg::dragEnterEvent(QDragEnterEvent* event)
{
    if (!LocalPaths(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void CMainDlg::dropEvent(QDropEvent* event)
{
    const QStringList paths = LocalPaths(event->mimeData());
    if (paths.isEmpty())
        return;
    event->acceptProposedAction();
    OnDropFiles(paths);
}

void CMainDlg::OnDel()
{
    FrameSet& files = m_engine.m_files;
    if (files.empty())
        return;
    m_engine.m_deviationValid = false;
    if (HeldModifiers() & Qt::ShiftModifier) {
        files.clear();
        m_engine.m_sigmaScale.clear();
        LoadFrame(std::string());
        return;
    }
    const std::string deleted = m_strCurrent;
    if (files.size() > 1)
        OnNext();
    else
        LoadFrame(std::string());
    files.erase(deleted);
    m_engine.m_sigmaScale.erase(deleted);
}

void CMainDlg::OnPrev()
{
    const FrameSet& files = m_engine.m_files;
    if (files.empty()) {
        m_strCurrent.clear();
        m_image.Free();
        return;
    }
    const auto it = files.lower_bound(m_strCurrent);
    LoadFrame(it == files.begin() ? *files.rbegin() : *std::prev(it));
}

void CMainDlg::OnNext()
{
    const FrameSet& files = m_engine.m_files;
    if (files.empty()) {
        m_strCurrent.clear();
        m_image.Free();
        return;
    }
    const auto it = files.upper_bound(m_strCurrent);
    LoadFrame(it == files.end() ? *files.begin() : *it);
}

bool CMainDlg::LoadFrame(std::string path)
{
    m_bResultUnsaved = false;
    m_strCurrent = path;
    setWindowTitle(QString::fromStdString(path));
    if (!path.empty()) {
        if (!m_image.Load(path, *this)) {
            m_engine.m_files.erase(path);
            OnNext();
            return false;
        }
        RefreshView();
        if (m_viewMode <= 2 && m_engine.m_deviationValid)
            m_engine.ShowClipping(m_image, m_strCurrent, GetViewPlane(), m_bitmap);
        ShowFrameTitle();
    }
    UpdateInfoLine();
    LayoutPreview();
    update();
    UpdateMergeParams();
    return true;
}

// A clipping view without the average and deviation is the bare grey plane;
// the title says why.
void CMainDlg::ShowFrameTitle()
{
    QString title = QString::fromStdString(m_strCurrent);
    if (m_viewMode <= 2 && !m_engine.IsCacheValid(m_image))
        title += QStringLiteral(" - no clipping shown: the merge passes have not run yet");
    setWindowTitle(title);
}

// ---- Saving

void CMainDlg::OnSave()
{
    const Qt::KeyboardModifiers held = HeldModifiers();
    int outputType = FITS_SAVE_FLOAT;
    if (held & Qt::ShiftModifier)
        outputType = FITS_SAVE_UINT;
    if (held & Qt::ControlModifier)
        outputType = FITS_SAVE_INT;
    const std::string proposed = ProposedResultName(m_strCurrent, m_engine.m_files.size());
    const FileDialogRequest request{QStringLiteral("Save As"), RememberedFolder(), QString::fromStdString(proposed),
                                    {QStringLiteral("FITS File (*.fit)")}, QStringLiteral("fit")};
    const QString path = Seams().saveFile(this, request);
    if (path.isEmpty())
        return;
    const ResultProvenance provenance = DescribeMerge(m_engine);
    if (SaveResult(m_image, path.toStdString(), outputType, m_engine.m_files.size(), m_engine.m_exposureSum, *this,
                   &provenance))
        m_bResultUnsaved = false;
}

void CMainDlg::OnSaveBmp()
{
    const FileDialogRequest request{QStringLiteral("Save As"), RememberedFolder(),
                                    QString::fromStdString(ProposedBitmapName(m_strCurrent)),
                                    {QStringLiteral("BMP File (*.bmp)")}, QStringLiteral("bmp")};
    const QString path = Seams().saveFile(this, request);
    if (path.isEmpty())
        return;
    // A picture that silently fails to appear looks like a saved one.
    if (!m_bitmap.SaveBmp(path.toStdString()))
        Seams().showMessage(this, QStringLiteral("Save BMP"),
                            QStringLiteral("The picture could not be written to %1.").arg(path));
}

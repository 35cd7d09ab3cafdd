// The preview of the main window: where the picture goes, the conversions
// between client points and image pixels, painting, the pixel readout, the
// rectangle marking, panning and the gamma controls.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include <QImage>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>

#include "app/CMainDlg.h"

namespace {

const QColor kMarginGrey(192, 192, 192);
const QColor kEmptyGrey(92, 92, 92);

// The C library's formatting, so that the readout rounds as printf does.
QString FormatValue(const char* format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return QString::fromLatin1(text);
}

QRect ToQRect(const CRect& r) { return QRect(r.left, r.top, r.Width(), r.Height()); }

// The four one-pixel edges inside r, like FrameRect.
void FillFrame(QPainter& painter, const CRect& r, const QBrush& brush)
{
    if (r.Width() <= 0 || r.Height() <= 0)
        return;
    painter.fillRect(QRect(r.left, r.top, r.Width(), 1), brush);
    painter.fillRect(QRect(r.left, r.bottom - 1, r.Width(), 1), brush);
    painter.fillRect(QRect(r.left, r.top, 1, r.Height()), brush);
    painter.fillRect(QRect(r.right - 1, r.top, 1, r.Height()), brush);
}

}  // namespace

int CMainDlg::GetViewPlane() const
{
    if (m_viewMode > 2)
        return 0;
    return std::max(0, std::min(m_viewMode, m_image.m_planes - 1));
}

bool CMainDlg::RefreshView()
{
    int floor = BlackFloor(m_engine.m_params);
    if (m_viewMode == 4)
        floor = 0;
    m_bitmap.RenderImage(m_image, m_viewMode > 2 ? -1 : GetViewPlane(), floor);
    update();
    return true;
}

// The client area below the button row, 10 pixels in from every side.
CRect CMainDlg::PreviewArea() const
{
    CRect rc{0, 0, width(), height()};
    QWidget* save = GetDlgItem(IDC_SAVE);
    rc.top = save ? save->geometry().y() + save->geometry().height() : 35;
    rc.left += 10;
    rc.top += 10;
    rc.right -= 10;
    rc.bottom -= 10;
    return rc;
}

// The part of the picture on screen: in 1:1 mode the picture may reach past
// the area, but never over the button row, whose labels have no ground of
// their own.
CRect CMainDlg::VisiblePreview() const
{
    const CRect area = PreviewArea();
    const CRect& r = m_rcPreview;
    CRect seen{std::max(r.left, area.left), std::max(r.top, area.top), std::min(r.right, area.right),
               std::min(r.bottom, area.bottom)};
    seen.right = std::max(seen.left, seen.right);
    seen.bottom = std::max(seen.top, seen.bottom);
    return seen;
}

void CMainDlg::LayoutPreview()
{
    CPoint scroll{m_ptScroll.x(), m_ptScroll.y()};
    m_rcPreview = LayoutPreviewRect(PreviewArea(), m_bNoScale && m_image.GetPixelCount() > 0, m_image.m_width,
                                    m_image.m_height, scroll);
    m_ptScroll = QPoint(scroll.x, scroll.y);
    update();
}

void CMainDlg::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    LayoutPreview();
}

void CMainDlg::OnCheckNoScale()
{
    m_bNoScale = static_cast<QPushButton*>(GetDlgItem(IDC_NO_SCALE))->isChecked();
    LayoutPreview();
}

PreviewMapping CMainDlg::Mapping() const { return {m_rcPreview, m_image.m_width, m_image.m_height}; }

bool CMainDlg::WindowToImagePoint(QPoint& point) const
{
    CPoint p{point.x(), point.y()};
    if (!::WindowToImagePoint(Mapping(), p))
        return false;
    point = QPoint(p.x, p.y);
    return true;
}

bool CMainDlg::ImageToWindowPoint(QPoint& point) const
{
    CPoint p{point.x(), point.y()};
    if (!::ImageToWindowPoint(Mapping(), p))
        return false;
    point = QPoint(p.x, p.y);
    return true;
}

bool CMainDlg::ImageToWindowRect(const ImageRect& rect, CRect& out) const
{
    return ::ImageToWindowRect(Mapping(), rect, out);
}

bool CMainDlg::WindowToImageRect(const CRect& rect, ImageRect& out) const
{
    return ::WindowToImageRect(Mapping(), rect, out);
}

// ---- Painting

// A frame of the clipping pass: painted at once, as no events are processed
// while the passes run; only the picture changes, and a window that cannot be
// seen paints nothing.
void CMainDlg::ShowFrame()
{
    if (!isVisible() || isMinimized())
        return;
    repaint(ToQRect(VisiblePreview()));
}

// Fit mode shows the picture at the preview's size, in device pixels; 1:1
// mode shows every pixel.
void CMainDlg::GetShownSize(int& width, int& height) const
{
    if (m_bNoScale)
        return;
    const qreal ratio = devicePixelRatioF();
    width = static_cast<int>(std::ceil(m_rcPreview.Width() * ratio));
    height = static_cast<int>(std::ceil(m_rcPreview.Height() * ratio));
}

void CMainDlg::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    OnEraseBkgnd(painter);
    painter.setClipRect(ToQRect(VisiblePreview()));
    OnPaint(painter);
}

void CMainDlg::OnEraseBkgnd(QPainter& painter)
{
    const CRect c{0, 0, width(), height()};
    const CRect r = VisiblePreview();
    painter.fillRect(ToQRect(CRect{c.left, r.bottom, c.right, c.bottom}), kMarginGrey);
    painter.fillRect(ToQRect(CRect{c.left, c.top, c.right, r.top}), kMarginGrey);
    painter.fillRect(ToQRect(CRect{r.right, c.top, c.right, c.bottom}), kMarginGrey);
    painter.fillRect(ToQRect(CRect{c.left, c.top, r.left, c.bottom}), kMarginGrey);
    if (m_engine.m_files.empty() || !m_bitmap.HasBitmap())
        painter.fillRect(ToQRect(r), kEmptyGrey);
}

void CMainDlg::OnPaint(QPainter& painter)
{
    if (!m_engine.m_files.empty() && m_bitmap.HasBitmap()) {
        // A view of the bitmap's own rows; they are stored bottom-up, so the
        // picture is drawn through a vertical mirror.
        const QImage picture(reinterpret_cast<const uchar*>(m_bitmap.Bits()), m_bitmap.Width(), m_bitmap.Height(),
                             static_cast<qsizetype>(m_bitmap.Width()) * 4, QImage::Format_RGB32);
        painter.save();
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.translate(m_rcPreview.left, m_rcPreview.bottom);
        painter.scale(1.0, -1.0);
        painter.drawImage(QRect(0, 0, m_rcPreview.Width(), m_rcPreview.Height()), picture);
        painter.restore();
    }
    CRect frame;
    if (ImageToWindowRect(m_engine.m_rcNoise, frame) && !m_bMarkingNoise)
        FillFrame(painter, frame, QColor(0, 255, 0));
    if (ImageToWindowRect(m_engine.m_rcLight, frame) && !m_bMarkingLight)
        FillFrame(painter, frame, QColor(255, 0, 0));
    // The rectangle being dragged, as an inverting frame on the pixel grid.
    const ImageRect& dragged = m_bMarkingNoise ? m_engine.m_rcNoise : m_engine.m_rcLight;
    if ((m_bMarkingNoise || m_bMarkingLight) && ImageToWindowRect(dragged, frame)) {
        painter.setCompositionMode(QPainter::RasterOp_NotDestination);
        FillFrame(painter, frame, Qt::white);
    }
}

// ---- Mouse

void CMainDlg::mouseMoveEvent(QMouseEvent* event)
{
    EndReleasedDrags(event->buttons());
    OnMouseMove(event->position().toPoint());
}

// A release may reach another window (the menu of the button row, a grab
// taken meanwhile): a drag whose button is up has ended, wherever it was let go.
void CMainDlg::EndReleasedDrags(Qt::MouseButtons held)
{
    if ((m_bMarkingNoise || m_bPanning) && !(held & Qt::LeftButton)) {
        m_bMarkingNoise = false;
        m_bPanning = false;
        update();
    }
    if (m_bMarkingLight && !(held & Qt::RightButton)) {
        m_bMarkingLight = false;
        update();
    }
}

void CMainDlg::leaveEvent(QEvent* event)
{
    QDialog::leaveEvent(event);
    RestoreCaptions();
}

// Points in the band of the buttons never give a readout or a drag step, also
// where a 1:1 picture reaches into it; a right press there opens the menu.
bool CMainDlg::IsInButtonBand(const QPoint& point) const
{
    const CRect exit = ControlRect(IDC_EXIT);
    return point.y() <= exit.bottom + 10 && point.x() <= exit.right + 10;
}

void CMainDlg::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        OnLButtonDown(event->position().toPoint());
    else if (event->button() == Qt::RightButton)
        OnRButtonDown(event->position().toPoint());
    QDialog::mousePressEvent(event);
}

void CMainDlg::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        OnLButtonUp(event->position().toPoint());
    else if (event->button() == Qt::RightButton)
        OnRButtonUp(event->position().toPoint());
    QDialog::mouseReleaseEvent(event);
}

void CMainDlg::OnMouseMove(const QPoint& point)
{
    if (!IsInButtonBand(point) && m_rcPreview.PtInRect({point.x(), point.y()}) && m_image.m_pData) {
        if (m_bMarkingLight || m_bMarkingNoise) {
            DragStep(point);
        } else if (m_bPanning) {
            m_ptScroll -= point - m_ptAnchor;
            m_ptAnchor = point;
            LayoutPreview();
        } else {
            QPoint pixel = point;
            if (WindowToImagePoint(pixel))
                ShowReadout(pixel);
        }
        return;
    }
    RestoreCaptions();
}

void CMainDlg::RestoreCaptions()
{
    UpdateButtonCaptions();
    SetDlgItemText(IDC_EXIT, QStringLiteral("Exit"));
    UpdateInfoLine();
}

void CMainDlg::ShowReadout(const QPoint& pixel)
{
    auto value = [&](int plane) { return static_cast<double>(*m_image.PixelAt(pixel.x(), pixel.y(), plane)); };
    if (m_image.m_planes == 3) {
        SetDlgItemText(IDC_MERGE, FormatValue("R %.1f", value(0)));
        SetDlgItemText(IDC_SAVE, FormatValue("G %.1f", value(1)));
        SetDlgItemText(IDC_EXIT, FormatValue("B %.1f", value(2)));
    } else {
        SetDlgItemText(IDC_SAVE, FormatValue("%.1f", value(0)));
    }
}

void CMainDlg::DragStep(const QPoint& point)
{
    const CRect drag = MakeNormalRect(point.x(), point.y(), m_ptAnchor.x(), m_ptAnchor.y());
    ImageRect& target = m_bMarkingNoise ? m_engine.m_rcNoise : m_engine.m_rcLight;
    if (WindowToImageRect(drag, target))
        update();
    UpdateInfoLine();
}

// A press that cannot start a drag must not clear a marked rectangle: with no
// image no drag step could set it again, and the settings would lose it.
bool CMainDlg::CanStartDrag(const QPoint& point) const
{
    return m_rcPreview.PtInRect({point.x(), point.y()}) && m_image.m_pData;
}

void CMainDlg::OnLButtonDown(const QPoint& point)
{
    if (!CanStartDrag(point))
        return;
    if (HeldModifiers() & Qt::ControlModifier) {
        m_bPanning = true;
    } else {
        m_bMarkingNoise = true;
        m_engine.m_rcNoise = ImageRect{};
        update();
    }
    m_ptAnchor = point;
    m_engine.m_deviationValid = false;
}

void CMainDlg::OnLButtonUp(const QPoint& point)
{
    OnMouseMove(point);
    m_bMarkingNoise = false;
    m_bPanning = false;
    update();
}

void CMainDlg::OnRButtonDown(const QPoint& point)
{
    // The press opens the menu of the button row there; its release goes to the menu.
    if (!CanStartDrag(point) || IsInButtonBand(point))
        return;
    m_bMarkingLight = true;
    m_engine.m_rcLight = ImageRect{};
    update();
    m_ptAnchor = point;
    m_engine.m_deviationValid = false;
}

void CMainDlg::OnRButtonUp(const QPoint& point)
{
    OnMouseMove(point);
    m_bMarkingLight = false;
    update();
}

// ---- Gamma

void CMainDlg::OnDeltaposSpinGamma(int pos, int delta)
{
    m_bitmap.m_gamma = pos + delta;
    RefreshView();
}

void CMainDlg::OnChangeEditGamma()
{
    bool ok = false;
    const uint value = m_editGamma->text().toUInt(&ok);
    // Numbers beyond an int are as unusable as text that is no number.
    if (!ok || value > static_cast<uint>(std::numeric_limits<int>::max()))
        return;
    if (static_cast<int>(value) != m_bitmap.m_gamma) {
        m_bitmap.m_gamma = static_cast<int>(value);
        RefreshView();
    }
}

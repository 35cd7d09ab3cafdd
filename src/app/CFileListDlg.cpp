#include "app/CFileListDlg.h"

#include <algorithm>

#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QSettings>
#include <QStyle>
#include <QTreeWidget>

#include "app/DialogUnits.h"
#include "app/MainWindowHost.h"

namespace {

constexpr int kTemplateWidth = 307;
constexpr int kTemplateHeight = 260;
constexpr int kGlyphSize = 16;

enum Column { kName = 0, kSignalToNoise = 1, kSize = 2, kMove = 3, kStarsMatched = 4 };

QString Q(const std::string& text) { return QString::fromStdString(text); }

// The "Move" and "Stars" cells of a frame of an aligned merge.
QStringList AlignmentCells(const FrameAlignment& a, int width, int height)
{
    if (!a.m_aligned)
        return {QStringLiteral("failed: ") + Q(a.m_reason), QStringLiteral("-")};
    const FrameMove move = ToFrameMove(a.m_move, width, height);
    return {QString::asprintf("%+.2f, %+.2f px, %+.3f deg", move.m_dx, move.m_dy, move.m_angleDeg),
            QString::asprintf("%d (%.2f px)", a.m_starsMatched, a.m_rmsPx)};
}

// Vertical bars side by side in a black frame, on a transparent ground.
QPixmap DrawBars(const std::vector<QColor>& bars)
{
    QPixmap glyph(kGlyphSize, kGlyphSize);
    glyph.fill(Qt::transparent);
    QPainter painter(&glyph);
    const QRect frame(0, 1, kGlyphSize, kGlyphSize - 2);
    painter.fillRect(frame, Qt::black);
    const QRect inside = frame.adjusted(1, 1, -1, -1);
    const int n = static_cast<int>(bars.size());
    for (int i = 0; i < n; ++i) {
        const int left = inside.left() + i * inside.width() / n;
        const int right = inside.left() + (i + 1) * inside.width() / n;
        painter.fillRect(QRect(left, inside.top(), right - left, inside.height()), bars[static_cast<size_t>(i)]);
    }
    return glyph;
}

}  // namespace

QPixmap CFileListDlg::Glyph(int index)
{
    if (index == 0)
        return DrawBars({QColor(128, 128, 128), QColor(192, 192, 192), Qt::white});
    return DrawBars({Qt::red, Qt::yellow, Qt::green, Qt::cyan, Qt::blue});
}

CFileListDlg::CFileListDlg(MainWindowHost* pMainDlg, QWidget* parent) : QDialog(parent), m_pMainDlg(pMainDlg)
{
    setWindowTitle(QStringLiteral("FIT Files"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    const QSize templateSize = MapDialogRect(font(), 0, 0, kTemplateWidth, kTemplateHeight).size();
    setMinimumSize(templateSize);
    resize(templateSize);
    m_list = new QTreeWidget(this);
    PlaceList();
    OnInitDialog();
    FitToColumns();
}

// The list keeps the template's margins of 7 dialog units as the window grows.
void CFileListDlg::PlaceList()
{
    const QRect margins = MapDialogRect(font(), 7, 7, 7, 7);
    m_list->setGeometry(rect().adjusted(margins.x(), margins.y(), -margins.width(), -margins.height()));
}

void CFileListDlg::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    PlaceList();
}

// Wide enough for every text of the table, as far as the screen allows.
void CFileListDlg::FitToColumns()
{
    int needed = 2 * m_list->frameWidth() + m_list->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_list);
    for (int column = kName; column <= kSize; ++column) {
        int widest = m_list->header()->sectionSizeHint(column);
        for (int row = 0; row < m_list->topLevelItemCount(); ++row)
            widest = std::max(widest, m_list->sizeHintForIndex(m_list->model()->index(row, column)).width());
        needed += widest;
    }
    int wanted = width() - m_list->width() + needed;
    if (const QScreen* shown = screen())
        wanted = std::min(wanted, shown->availableGeometry().width());
    if (wanted > width())
        resize(wanted, height());
}

QString CFileListDlg::ReportPath() const
{
    return QFileInfo(m_pMainDlg->Profile().fileName()).absoluteDir().filePath(QStringLiteral("imgNoise.csv"));
}

void CFileListDlg::OnInitDialog()
{
    m_list->setRootIsDecorated(false);
    m_list->setItemsExpandable(false);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setIconSize(QSize(kGlyphSize, kGlyphSize));
    m_list->setColumnCount(3);
    m_list->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("S/N"), QStringLiteral("Size")});
    QHeaderView* header = m_list->header();
    header->setStretchLastSection(false);
    header->setSectionsClickable(true);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The figures and sizes as wide as their texts; the names take the rest
    // and follow the window.
    header->setSectionResizeMode(kName, QHeaderView::Stretch);
    header->setSectionResizeMode(kSignalToNoise, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(kSize, QHeaderView::ResizeToContents);
    connect(header, &QHeaderView::sectionClicked, this, [this](int column) { OnColumnclickList(column); });
    m_list->viewport()->installEventFilter(this);

    // With "Align frames", each frame's move and stars matched, once known.
    CMergeEngine& engine = m_pMainDlg->Engine();
    const bool showMoves = engine.m_params.m_align && engine.AreAlignmentsCurrent();
    if (showMoves) {
        m_list->setColumnCount(5);
        m_list->setHeaderLabels(
            {QStringLiteral("Name"), QStringLiteral("S/N"), QStringLiteral("Size"), QStringLiteral("Move"),
             QStringLiteral("Stars")});
    }
    m_rows = BuildFileList(engine.m_files, engine.m_rcNoise, engine.m_rcLight, *m_pMainDlg,
                           engine.m_params.m_robust);
    const QIcon glyphs[] = {QIcon(Glyph(0)), QIcon(Glyph(1))};
    for (size_t r = 0; r < m_rows.size(); ++r) {
        const FileListRow& row = m_rows[r];
        QStringList cells{Q(row.name), Q(row.snText), Q(row.sizeText)};
        const auto alignment = engine.m_alignments.find(row.path);
        if (showMoves && alignment != engine.m_alignments.end())
            cells << AlignmentCells(alignment->second, row.width, row.height);
        auto* item = new QTreeWidgetItem(cells);
        item->setIcon(kName, glyphs[row.planes > 1 ? 1 : 0]);
        item->setData(kName, Qt::UserRole, static_cast<int>(r));
        ShowRejection(*item, row);
        m_list->addTopLevelItem(item);
    }
    // A report that cannot be written leaves the table as it is.
    WriteNoiseReport(ReportPath().toStdString(), m_rows);
}

// What the last merge took away from the row's frame, as its tooltip, when
// that merge counted it (a robust one).
void CFileListDlg::ShowRejection(QTreeWidgetItem& item, const FileListRow& row) const
{
    for (const FrameRejection& frame : m_pMainDlg->Engine().m_rejections) {
        if (frame.path != row.path)
            continue;
        const QString text = QStringLiteral("Last merge: ") + Q(FormatRejection(frame, row.planes));
        for (int column = 0; column < m_list->columnCount(); ++column)
            item.setToolTip(column, text);
    }
}

void CFileListDlg::OnColumnclickList(int column)
{
    if (column != kName && column != kSignalToNoise)
        return;
    const bool bySignalToNoise = column == kSignalToNoise;
    std::vector<QTreeWidgetItem*> items;
    while (m_list->topLevelItemCount() > 0)
        items.push_back(m_list->takeTopLevelItem(0));
    auto rowOf = [](const QTreeWidgetItem* item) { return item->data(kName, Qt::UserRole).toInt(); };
    // CompareRows says when a row follows another; equal rows keep their order.
    std::stable_sort(items.begin(), items.end(), [&](const QTreeWidgetItem* a, const QTreeWidgetItem* b) {
        return CompareRows(m_rows, rowOf(b), rowOf(a), bySignalToNoise) == 1;
    });
    for (QTreeWidgetItem* item : items)
        m_list->addTopLevelItem(item);
}

// The row's own path, not its position in the frame set, so that a frame
// dropped from the set meanwhile cannot shift the rows onto other frames.
void CFileListDlg::OnRclickList(const QPoint& pos)
{
    const QTreeWidgetItem* item = m_list->itemAt(pos);
    if (!item || m_list->columnAt(pos.x()) != kName)
        return;
    const std::string& path = m_rows[static_cast<size_t>(item->data(kName, Qt::UserRole).toInt())].path;
    if (m_pMainDlg->Engine().m_files.count(path))
        m_pMainDlg->LoadFrame(path);
}

bool CFileListDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_list->viewport() && event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::RightButton)
            OnRclickList(mouse->position().toPoint());
    }
    return QDialog::eventFilter(watched, event);
}

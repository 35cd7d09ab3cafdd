#include "app/CFileListDlg.h"

#include <algorithm>

#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QTreeWidget>

#include "app/CMainDlg.h"
#include "app/DialogUnits.h"

namespace {

constexpr int kTemplateWidth = 307;
constexpr int kTemplateHeight = 260;
constexpr int kSignalToNoiseWidth = 80;
constexpr int kGlyphSize = 16;

enum Column { kName = 0, kSignalToNoise = 1, kSize = 2 };

QString Q(const std::string& text) { return QString::fromStdString(text); }

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

CFileListDlg::CFileListDlg(CMainDlg* pMainDlg, QWidget* parent) : QDialog(parent), m_pMainDlg(pMainDlg)
{
    setWindowTitle(QStringLiteral("FIT Files"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    setFixedSize(MapDialogRect(font(), 0, 0, kTemplateWidth, kTemplateHeight).size());
    m_list = new QTreeWidget(this);
    m_list->setGeometry(MapDialogRect(font(), 7, 7, 293, 246));
    OnInitDialog();
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
    const int w = m_list->width() - 2 * m_list->frameWidth();
    const int scrollBar = m_list->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_list);
    const int side = (w - kSignalToNoiseWidth - scrollBar) / 2;
    m_list->setColumnWidth(kName, side);
    m_list->setColumnWidth(kSignalToNoise, kSignalToNoiseWidth);
    m_list->setColumnWidth(kSize, side);
    connect(header, &QHeaderView::sectionClicked, this, [this](int column) { OnColumnclickList(column); });
    m_list->viewport()->installEventFilter(this);

    m_rows = BuildFileList(m_pMainDlg->m_engine.m_files, m_pMainDlg->m_engine.m_rcNoise,
                           m_pMainDlg->m_engine.m_rcLight, *m_pMainDlg, m_pMainDlg->m_engine.m_params.m_robust);
    const QIcon glyphs[] = {QIcon(Glyph(0)), QIcon(Glyph(1))};
    for (size_t r = 0; r < m_rows.size(); ++r) {
        const FileListRow& row = m_rows[r];
        auto* item = new QTreeWidgetItem({Q(row.name), Q(row.snText), Q(row.sizeText)});
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
    for (const FrameRejection& frame : m_pMainDlg->m_engine.m_rejections) {
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
    if (m_pMainDlg->m_engine.m_files.count(path))
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

// The FIT Files dialog: rows, glyphs and report of a mixed frame set, the
// two sort orders, right-click on a name after sorting, and the List...
// button.

#include <fstream>
#include <iterator>

#include <QHeaderView>
#include <QTimer>
#include <QTreeWidget>

#include "GuiTestSupport.h"
#include "app/CFileListDlg.h"

namespace {

const ImageRect kBackground{0, 0, 10, 10};
const ImageRect kSignal{10, 0, 10, 10};

// Planes of width x 20: the background rectangle a checkerboard of bk - dev
// and bk + dev, the signal rectangle at bk + signal, the rest at bk.
std::vector<float> Scene(int width, int height, int planes, float bk, float dev, float signal)
{
    std::vector<float> px;
    for (int p = 0; p < planes; ++p)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                float v = bk + 10.0f * p;
                if (y < 10 && x < 10)
                    v += (x + y) % 2 ? dev : -dev;
                else if (y < 10 && x < 20)
                    v += signal;
                px.push_back(v);
            }
    return px;
}

}  // namespace

class FileListDlgTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ScratchDir> m_scratch;
    std::unique_ptr<SeamRecorder> m_seams;
    std::unique_ptr<CMainDlg> m_dlg;
    std::unique_ptr<CFileListDlg> m_list;

    std::string File(const char* name) const { return m_scratch->file(name); }
    QTreeWidget* List() const { return m_list->m_list; }
    QStringList Column(int column) const
    {
        QStringList texts;
        for (int i = 0; i < List()->topLevelItemCount(); ++i)
            texts << List()->topLevelItem(i)->text(column);
        return texts;
    }
    void ClickHeader(int column)
    {
        QHeaderView* header = List()->header();
        const QPoint at(header->sectionViewportPosition(column) + 5, header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    }
    // A point inside the given cell of the row shown at index.
    QPoint Cell(int index, int column) const
    {
        const QRect row = List()->visualItemRect(List()->topLevelItem(index));
        return QPoint(List()->header()->sectionViewportPosition(column) + 5, row.center().y());
    }
    void OpenList()
    {
        m_list = std::make_unique<CFileListDlg>(m_dlg.get(), m_dlg.get());
        m_list->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_list.get()));
    }

private slots:
    // a and b share a size (b gets a difference noise), the unreadable file is
    // dropped, c is colour after a mono frame, d has another width (its signal
    // rectangle falls outside), e is colour with no usable rectangle at all.
    void init()
    {
        m_scratch = std::make_unique<ScratchDir>();
        m_seams = std::make_unique<SeamRecorder>();
        m_dlg = OpenMainWindow(*m_scratch);
        WriteFrame(File("a.fit"), 20, 20, 1, Scene(20, 20, 1, 100, 2, 50));
        WriteFrame(File("b.fit"), 20, 20, 1, Scene(20, 20, 1, 100, 4, 50));
        std::ofstream(File("bad.fit")) << "not a FITS file";
        WriteFrame(File("c.fit"), 20, 20, 3, Scene(20, 20, 3, 100, 2, 80));
        WriteFrame(File("d.fit"), 12, 20, 1, Scene(12, 20, 1, 100, 3, 50));
        WriteFrame(File("e.fit"), 5, 5, 3, Scene(5, 5, 3, 100, 1, 0));
        QStringList paths;
        for (const char* name : {"a.fit", "b.fit", "bad.fit", "c.fit", "d.fit", "e.fit"})
            paths << Q(File(name));
        for (const QString& path : paths)
            m_dlg->m_engine.AddFrame(path.toStdString());
        m_dlg->m_engine.m_rcNoise = kBackground;
        m_dlg->m_engine.m_rcLight = kSignal;
    }
    void cleanup()
    {
        m_list.reset();
        m_dlg.reset();
        m_seams.reset();
        m_scratch.reset();
    }

    void rowsTextsAndReportOfAMixedSet()
    {
        FrameSet expectedFiles = m_dlg->m_engine.m_files;
        ErrorRecorder recorder;
        const std::vector<FileListRow> expected = BuildFileList(expectedFiles, kBackground, kSignal, recorder);
        OpenList();

        QCOMPARE(m_seams->messages.size(), size_t(1));
        QCOMPARE(m_seams->messages[0].caption, QString("FITSIO Library Error"));
        QVERIFY(m_dlg->m_engine.m_files == expectedFiles);
        QVERIFY(!m_dlg->m_engine.m_files.count(File("bad.fit")));

        QCOMPARE(m_list->windowTitle(), QString("FIT Files"));
        QCOMPARE(List()->headerItem()->text(0), QString("Name"));
        QCOMPARE(List()->headerItem()->text(1), QString("S/N"));
        QCOMPARE(List()->headerItem()->text(2), QString("Size"));
        QCOMPARE(Column(0), QStringList({"a.fit", "b.fit", "c.fit", "d.fit", "e.fit"}));
        QCOMPARE(Column(2), QStringList({"bw 20 x 20", "bw 20 x 20", "col 20 x 20", "bw 12 x 20", "col 5 x 5"}));
        const QStringList sn = Column(1);
        for (int r = 0; r < 5; ++r)
            QCOMPARE(sn[r], Q(expected[static_cast<size_t>(r)].snText));
        QVERIFY(sn[0].startsWith("S/N ") && !sn[0].contains(" Nd "));
        QVERIFY(sn[1].startsWith("S/N ") && sn[1].contains(" Nd "));
        QVERIFY(sn[2].startsWith("S/N ") && sn[2].count(' ') == 3);
        QVERIFY(sn[3].startsWith("N ") && !sn[3].contains(" Nd "));
        QCOMPARE(sn[4], QString("N 0.0 0.0 0.0"));

        for (int r = 0; r < 5; ++r) {
            const QImage icon = List()->topLevelItem(r)->icon(0).pixmap(16, 16).toImage();
            const int glyph = r == 2 || r == 4 ? 1 : 0;
            QCOMPARE(icon.convertToFormat(QImage::Format_ARGB32),
                     CFileListDlg::Glyph(glyph).toImage().convertToFormat(QImage::Format_ARGB32));
        }

        const std::string report = ReadBytes(File("imgNoise.csv"));
        QCOMPARE(m_list->ReportPath(), Q(File("imgNoise.csv")));
        QCOMPARE(report, NoiseReportText(expected));
        QCOMPARE(std::count(report.begin(), report.end(), '\n'), 5L);
        QVERIFY(report.find("e.fit;0.000000;0.000000;0.000000;") != std::string::npos);
    }

    void lastRobustMergesFiguresAsTooltips()
    {
        FrameRejection figures;
        figures.path = File("a.fit");
        figures.rejected[0] = 0.01f;
        figures.faded[0] = 0.005f;
        m_dlg->m_engine.m_rejections = {figures};
        OpenList();
        for (int column = 0; column < 3; ++column)
            QCOMPARE(List()->topLevelItem(0)->toolTip(column),
                     QString("Last merge: rejected 1.0000 %, faded 0.5000 %"));
        QCOMPARE(List()->topLevelItem(1)->toolTip(1), QString());  // b.fit was not in that merge
    }

    // The column widths: columnsFitTheirTextsAndFollowTheWindow.
    void glyphs()
    {
        const QImage mono = CFileListDlg::Glyph(0).toImage();
        const QImage colour = CFileListDlg::Glyph(1).toImage();
        QCOMPARE(mono.size(), QSize(16, 16));
        QCOMPARE(qAlpha(mono.pixel(0, 0)), 0);
        QCOMPARE(QColor(mono.pixel(0, 8)), QColor(Qt::black));
        QCOMPARE(QColor(mono.pixel(15, 8)), QColor(Qt::black));
        QCOMPARE(QColor(mono.pixel(2, 8)), QColor(128, 128, 128));
        QCOMPARE(QColor(mono.pixel(7, 8)), QColor(192, 192, 192));
        QCOMPARE(QColor(mono.pixel(13, 8)), QColor(Qt::white));
        const QColor bars[] = {Qt::red, Qt::yellow, Qt::green, Qt::cyan, Qt::blue};
        for (int i = 0; i < 5; ++i)
            QCOMPARE(QColor(colour.pixel(2 + i * 14 / 5, 8)), bars[i]);
    }

    void sortsByNameAndBySignalToNoise()
    {
        OpenList();
        ClickHeader(0);
        QCOMPARE(Column(0), QStringList({"e.fit", "d.fit", "c.fit", "b.fit", "a.fit"}));
        ClickHeader(1);
        // Colour first; inside a plane count the higher value first.
        QCOMPARE(Column(0), QStringList({"c.fit", "e.fit", "a.fit", "b.fit", "d.fit"}));
        ClickHeader(2);
        QCOMPARE(Column(0), QStringList({"c.fit", "e.fit", "a.fit", "b.fit", "d.fit"}));
        ClickHeader(0);
        ClickHeader(0);
        QCOMPARE(Column(0), QStringList({"e.fit", "d.fit", "c.fit", "b.fit", "a.fit"}));
    }

    void rightClickOnANameLoadsThatFrame()
    {
        OpenList();
        ClickHeader(1);
        QTest::mouseClick(List()->viewport(), Qt::RightButton, Qt::NoModifier, Cell(3, 0));
        QCOMPARE(m_dlg->m_strCurrent, File("b.fit"));
        QCOMPARE(m_dlg->windowTitle(), Q(File("b.fit")));
        QVERIFY(m_list->isVisible());

        for (int column : {1, 2})
            QTest::mouseClick(List()->viewport(), Qt::RightButton, Qt::NoModifier, Cell(0, column));
        QTest::mouseClick(List()->viewport(), Qt::RightButton, Qt::NoModifier,
                          QPoint(5, List()->viewport()->height() - 3));
        QTest::mouseDClick(List()->viewport(), Qt::LeftButton, Qt::NoModifier, Cell(0, 0));
        QCOMPARE(m_dlg->m_strCurrent, File("b.fit"));
        QVERIFY(m_list->isVisible());
    }

    void emptySetGivesAnEmptyTableAndReport()
    {
        m_dlg->m_engine.m_files.clear();
        OpenList();
        QCOMPARE(List()->topLevelItemCount(), 0);
        QCOMPARE(List()->columnCount(), 3);
        QVERIFY(std::filesystem::exists(File("imgNoise.csv")));
        QCOMPARE(ReadBytes(File("imgNoise.csv")), std::string());
    }

    void listButtonOpensTheModalDialog()
    {
        QString title;
        int rows = -1;
        QTimer::singleShot(0, this, [&] {
            auto* dlg = dynamic_cast<CFileListDlg*>(QApplication::activeModalWidget());
            if (dlg) {
                title = dlg->windowTitle();
                rows = dlg->m_list->topLevelItemCount();
                dlg->reject();
            }
        });
        static_cast<QPushButton*>(m_dlg->GetDlgItem(IDC_LIST))->click();
        QCOMPARE(title, QString("FIT Files"));
        QCOMPARE(rows, 5);
        QCOMPARE(m_dlg->m_engine.m_files.size(), size_t(5));
    }

    // Every text fits its column, the names included, and the columns follow
    // the window when it grows.
    void columnsFitTheirTextsAndFollowTheWindow()
    {
        // After c.fit in byte order, colour of the same size: a difference noise too.
        const std::string longName = File("c2 taken in the night of the ninth, second series.fit");
        WriteFrame(longName, 20, 20, 3, Scene(20, 20, 3, 100, 3, 80));
        m_dlg->m_engine.AddFrame(longName);
        OpenList();
        QVERIFY(Column(1).join("|").contains(" Nd "));
        QHeaderView* header = List()->header();
        for (int column = 0; column < 3; ++column) {
            QVERIFY(List()->columnWidth(column) >= header->sectionSizeHint(column));
            for (int row = 0; row < List()->topLevelItemCount(); ++row) {
                const int text = List()->sizeHintForIndex(List()->model()->index(row, column)).width();
                QVERIFY2(List()->columnWidth(column) >= text,
                         qPrintable(QString("column %1 row %2: %3 < %4").arg(column).arg(row)
                                        .arg(List()->columnWidth(column)).arg(text)));
            }
        }
        const int name = List()->columnWidth(0);
        const int listWidth = List()->width();
        m_list->resize(m_list->width() + 150, m_list->height() + 40);
        QCOMPARE(List()->width(), listWidth + 150);
        QCOMPARE(List()->columnWidth(0), name + 150);
        QCOMPARE(header->length(), List()->viewport()->width());
    }
};

QTEST_MAIN(FileListDlgTest)
#include "FileListDlgTest.moc"

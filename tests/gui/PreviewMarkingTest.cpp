// The preview of the main window: rectangles dragged in fit and 1:1 mode,
// panning with its clamp, the pixel readout, the info line after a drag and
// the painted picture, fills and frames.

#include <QContextMenuEvent>
#include <QTimer>

#include "GuiTestSupport.h"

namespace {

constexpr int kWidth = 200;
constexpr int kHeight = 100;

// Left half a 95/105 checkerboard (mean 100, deviation 5), right half 600.
std::vector<float> TwoHalves()
{
    std::vector<float> pixels(kWidth * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            pixels[y * kWidth + x] = x < kWidth / 2 ? ((x + y) % 2 ? 105.0f : 95.0f) : 600.0f;
    return pixels;
}

}  // namespace

Q_DECLARE_METATYPE(ImageRect)

class PreviewMarkingTest : public QObject {
    Q_OBJECT

    ScratchDir m_scratch;
    std::unique_ptr<SeamRecorder> m_seams;
    std::unique_ptr<CMainDlg> m_dlg;

    // Sizes the window so that the preview area is exactly 400 x 200 pixels.
    void SizePreviewArea()
    {
        const QRect save = m_dlg->GetDlgItem(IDC_SAVE)->geometry();
        m_dlg->resize(420, save.y() + save.height() + 20 + 200);
        QCOMPARE(m_dlg->m_rcPreview.Width(), m_dlg->m_bNoScale ? kWidth : 400);
    }
    QPoint Preview(int dx, int dy) const { return QPoint(m_dlg->m_rcPreview.left + dx, m_dlg->m_rcPreview.top + dy); }
    void Drag(Qt::MouseButton button, QPoint from, QPoint to)
    {
        QTest::mousePress(m_dlg.get(), button, Qt::NoModifier, from);
        QTest::mouseMove(m_dlg.get(), (from + to) / 2);
        QTest::mouseMove(m_dlg.get(), to);
        QTest::mouseRelease(m_dlg.get(), button, Qt::NoModifier, to);
    }
    void SetOneToOne(bool on)
    {
        auto* check = static_cast<QPushButton*>(m_dlg->GetDlgItem(IDC_NO_SCALE));
        if (check->isChecked() != on)
            check->click();
        QCOMPARE(m_dlg->m_bNoScale, on);
    }
    QRgb WindowPixel(const QImage& shot, QPoint p) const { return shot.pixel(p) & 0xffffff; }

private slots:
    void init()
    {
        m_seams = std::make_unique<SeamRecorder>();
        m_dlg = OpenMainWindow(m_scratch);
        SetOneToOne(false);
        WriteFrame(m_scratch.file("halves.fit"), kWidth, kHeight, 1, TwoHalves());
        SizePreviewArea();
    }
    void cleanup()
    {
        m_dlg.reset();
        m_seams.reset();
    }

    void dragGivesTheImageRectangle_data()
    {
        QTest::addColumn<bool>("oneToOne");
        QTest::addColumn<QPoint>("from");
        QTest::addColumn<QPoint>("to");
        QTest::addColumn<ImageRect>("expected");
        QTest::addColumn<ImageRect>("expectedLight");
        const ImageRect r{10, 15, 50, 30};
        QTest::newRow("fit") << false << QPoint(20, 30) << QPoint(120, 90) << r << r;
        QTest::newRow("fit reverse") << false << QPoint(120, 90) << QPoint(20, 30) << r << r;
        const ImageRect half{11, 16, 49, 29};
        QTest::newRow("fit half pixel rounds up") << false << QPoint(21, 31) << QPoint(119, 89) << half << half;
        QTest::newRow("1:1") << true << QPoint(10, 15) << QPoint(60, 45) << r << r;
        QTest::newRow("1:1 reverse") << true << QPoint(60, 15) << QPoint(10, 45) << r << r;
        // The preview's top row lies in the button band: a right press there
        // opens the menu of the button row and marks nothing.
        const ImageRect whole{0, 0, 199, 99};
        QTest::newRow("fit whole image") << false << QPoint(0, 0) << QPoint(399, 199) << whole << ImageRect{};
        QTest::newRow("1:1 whole image") << true << QPoint(0, 0) << QPoint(199, 99) << whole << ImageRect{};
        // No drag step runs in the band either.
        const ImageRect toBand{100, 50, 99, 49};
        QTest::newRow("1:1 reverse to the band") << true << QPoint(199, 99) << QPoint(0, 0) << toBand << toBand;
        QTest::newRow("click") << false << QPoint(41, 41) << QPoint(41, 41) << ImageRect{21, 21, 0, 0}
                               << ImageRect{21, 21, 0, 0};
    }
    void dragGivesTheImageRectangle()
    {
        QFETCH(bool, oneToOne);
        QFETCH(QPoint, from);
        QFETCH(QPoint, to);
        QFETCH(ImageRect, expected);
        QFETCH(ImageRect, expectedLight);
        AddFrames(*m_dlg, *m_seams, {Q(m_scratch.file("halves.fit"))});
        SetOneToOne(oneToOne);
        m_dlg->m_engine.m_deviationValid = true;
        Drag(Qt::LeftButton, Preview(from.x(), from.y()), Preview(to.x(), to.y()));
        const ImageRect got = m_dlg->m_engine.m_rcNoise;
        QVERIFY2(got == expected, qPrintable(QString("%1 %2 %3 %4").arg(got.StartX).arg(got.StartY).arg(got.SizeX).arg(got.SizeY)));
        QVERIFY(!m_dlg->m_engine.m_deviationValid);
        QVERIFY(!m_dlg->m_bMarkingNoise);
        Drag(Qt::RightButton, Preview(from.x(), from.y()), Preview(to.x(), to.y()));
        QCOMPARE(m_dlg->m_engine.m_rcLight, expectedLight);
    }

    void infoLineFollowsTheDrags()
    {
        AddFrames(*m_dlg, *m_seams, {Q(m_scratch.file("halves.fit"))});
        QCOMPARE(m_dlg->GetDlgItemText(IDC_INFO), QString("mark background rectangle"));
        QTest::mousePress(m_dlg.get(), Qt::LeftButton, Qt::NoModifier, Preview(20, 20));
        QTest::mouseMove(m_dlg.get(), Preview(120, 120));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_INFO), QString("Bk=100.0 Noise=5.00"));
        QTest::mouseRelease(m_dlg.get(), Qt::LeftButton, Qt::NoModifier, Preview(120, 120));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_MERGE), QString("Simple"));
        Drag(Qt::RightButton, Preview(240, 20), Preview(360, 120));
        QCOMPARE(m_dlg->m_engine.m_rcNoise, (ImageRect{10, 10, 50, 50}));
        QCOMPARE(m_dlg->m_engine.m_rcLight, (ImageRect{120, 10, 60, 50}));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_INFO), QString("Bgr=100.0 Noise=5.00 Light=500.0 S/N=100.00"));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_MERGE), QString("Adaptive"));
    }

    void aPressOutsideThePreviewChangesNothing()
    {
        AddFrames(*m_dlg, *m_seams, {Q(m_scratch.file("halves.fit"))});
        m_dlg->m_engine.m_rcNoise = ImageRect{1, 2, 30, 40};
        m_dlg->m_engine.m_deviationValid = true;
        Drag(Qt::LeftButton, Preview(-5, 20), Preview(100, 100));
        QCOMPARE(m_dlg->m_engine.m_rcNoise, (ImageRect{1, 2, 30, 40}));
        QVERIFY(m_dlg->m_engine.m_deviationValid);
    }

    void aPressWithoutAnImageKeepsTheRectangles()
    {
        m_dlg->m_engine.m_rcNoise = ImageRect{1, 2, 30, 40};
        m_dlg->m_engine.m_rcLight = ImageRect{50, 20, 30, 40};
        Drag(Qt::LeftButton, Preview(20, 20), Preview(100, 100));
        Drag(Qt::RightButton, Preview(20, 20), Preview(100, 100));
        QCOMPARE(m_dlg->m_engine.m_rcNoise, (ImageRect{1, 2, 30, 40}));
        QCOMPARE(m_dlg->m_engine.m_rcLight, (ImageRect{50, 20, 30, 40}));
    }

    void ctrlDragPansWithinTheImage()
    {
        std::vector<float> big(600 * 400, 7.0f);
        WriteFrame(m_scratch.file("big.fit"), 600, 400, 1, big);
        AddFrames(*m_dlg, *m_seams, {Q(m_scratch.file("big.fit"))});
        m_dlg->m_engine.m_rcNoise = ImageRect{1, 2, 30, 40};
        m_seams->modifiers = Qt::ControlModifier;
        m_dlg->m_engine.m_deviationValid = true;
        Drag(Qt::LeftButton, Preview(390, 190), Preview(10, 10));
        QCOMPARE(m_dlg->m_ptScroll, QPoint(380, 180));  // fit mode: changed, not clamped
        QVERIFY(!m_dlg->m_engine.m_deviationValid);
        QCOMPARE(m_dlg->m_engine.m_rcNoise, (ImageRect{1, 2, 30, 40}));

        SetOneToOne(true);
        QCOMPARE(m_dlg->m_ptScroll, QPoint(200, 180));
        const CRect area = m_dlg->m_rcPreview;
        QCOMPARE(area.left, 10 - 200);
        QCOMPARE(area.Width(), 600);
        Drag(Qt::LeftButton, QPoint(area.left + 210, area.top + 190), QPoint(area.left + 590, area.top + 395));
        QCOMPARE(m_dlg->m_ptScroll, QPoint(0, 0));
    }

    // Panned far into a wide strip, the offset times the width exceeds an int.
    void wideImageMapsExactlyInOneToOne()
    {
        constexpr int wide = 50000;
        std::vector<float> strip(wide * 2);
        for (int x = 0; x < wide; ++x)
            strip[x] = strip[wide + x] = static_cast<float>(x);
        WriteFrame(m_scratch.file("strip.fit"), wide, 2, 1, strip);
        AddFrames(*m_dlg, *m_seams, {Q(m_scratch.file("strip.fit"))});
        SetOneToOne(true);
        m_dlg->m_ptScroll = QPoint(49000, 0);
        m_dlg->LayoutPreview();
        QPoint point = Preview(49050, 1);
        QVERIFY(m_dlg->WindowToImagePoint(point));
        QCOMPARE(point, QPoint(49050, 1));
        QTest::mouseMove(m_dlg.get(), Preview(49050, 1));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_SAVE), QString("49050.0"));
    }

    void readoutShowsThePixelAndComesBack()
    {
        AddFrames(*m_dlg, *m_seams, {Q(m_scratch.file("halves.fit"))});
        QTest::mouseMove(m_dlg.get(), Preview(300, 100));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_SAVE), QString("600.0"));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_EXIT), QString("Exit"));
        QTest::mouseMove(m_dlg.get(), Preview(399, 100));  // right edge column is still inside
        QTest::mouseMove(m_dlg.get(), Preview(400, 100));  // the edge itself is outside
        QCOMPARE(m_dlg->GetDlgItemText(IDC_SAVE), QString("Save Float"));

        std::vector<float> rgb(4 * 4 * 3);
        for (int p = 0; p < 3; ++p)
            std::fill(rgb.begin() + p * 16, rgb.begin() + (p + 1) * 16, 10.25f * (p + 1));
        WriteFrame(m_scratch.file("rgb.fit"), 4, 4, 3, rgb);
        AddFrames(*m_dlg, *m_seams, {Q(m_scratch.file("rgb.fit"))});
        QTest::mouseMove(m_dlg.get(), Preview(200, 100));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_MERGE), QString("R 10.2"));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_SAVE), QString("G 20.5"));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_EXIT), QString("B 30.8"));
        QTest::mouseMove(m_dlg.get(), QPoint(5, 5));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_EXIT), QString("Exit"));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_MERGE), QString("Simple"));
    }

    // A move whose buttons are all up, as after a release that went elsewhere.
    void MoveWithoutButtons(QPoint p)
    {
        QMouseEvent move(QEvent::MouseMove, p, m_dlg->mapToGlobal(p), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(m_dlg.get(), &move);
    }

    // The preview's top row lies in the band of the buttons, where a right
    // press opens the menu, and the menu takes the release.
    void aPressThatOpensTheMenuStartsNoDrag()
    {
        AddFrames(*m_dlg, *m_seams, {Q(m_scratch.file("halves.fit"))});
        const ImageRect light{120, 10, 60, 50};
        m_dlg->m_engine.m_rcLight = light;
        const QPoint top = Preview(200, 0);
        bool menuShown = false;
        QTimer::singleShot(0, [&menuShown] {
            if (QWidget* menu = QApplication::activePopupWidget()) {
                menuShown = true;
                menu->close();
            }
        });
        QTest::mousePress(m_dlg.get(), Qt::RightButton, Qt::NoModifier, top);
        QContextMenuEvent menu(QContextMenuEvent::Mouse, top, m_dlg->mapToGlobal(top));
        QApplication::sendEvent(m_dlg.get(), &menu);
        QVERIFY(menuShown);
        MoveWithoutButtons(Preview(300, 150));
        MoveWithoutButtons(Preview(350, 180));
        QVERIFY(!m_dlg->m_bMarkingLight);
        QCOMPARE(m_dlg->m_engine.m_rcLight, light);
        QTest::mouseRelease(m_dlg.get(), Qt::RightButton, Qt::NoModifier, QPoint(2, 2));
    }

    // A drag whose release never arrived ends at the first move without its button.
    void noDragOutlivesItsButton_data()
    {
        QTest::addColumn<Qt::MouseButton>("button");
        QTest::newRow("left") << Qt::LeftButton;
        QTest::newRow("right") << Qt::RightButton;
    }
    void noDragOutlivesItsButton()
    {
        QFETCH(Qt::MouseButton, button);
        AddFrames(*m_dlg, *m_seams, {Q(m_scratch.file("halves.fit"))});
        QTest::mousePress(m_dlg.get(), button, Qt::NoModifier, Preview(20, 30));
        QTest::mouseMove(m_dlg.get(), Preview(120, 90));
        MoveWithoutButtons(Preview(300, 150));
        MoveWithoutButtons(Preview(350, 180));
        const ImageRect& marked = button == Qt::LeftButton ? m_dlg->m_engine.m_rcNoise : m_dlg->m_engine.m_rcLight;
        QCOMPARE(marked, (ImageRect{10, 15, 50, 30}));
        QVERIFY(!m_dlg->m_bMarkingNoise && !m_dlg->m_bMarkingLight && !m_dlg->m_bPanning);
        QTest::mouseRelease(m_dlg.get(), button, Qt::NoModifier, QPoint(2, 2));
    }

    // Panned in 1:1 mode the picture reaches behind the button row; the
    // labels there have no ground of their own and must stay readable.
    void aPannedPictureLeavesTheButtonRowGrey()
    {
        constexpr int wide = 1200;
        std::vector<float> ramp(wide * 500);
        for (size_t i = 0; i < ramp.size(); ++i)
            ramp[i] = static_cast<float>(i % wide + i / wide);
        WriteFrame(m_scratch.file("ramp.fit"), wide, 500, 1, ramp);
        AddFrames(*m_dlg, *m_seams, {Q(m_scratch.file("ramp.fit"))});
        m_dlg->resize(900, 400);
        SetOneToOne(true);
        m_dlg->m_ptScroll = QPoint(150, 150);
        m_dlg->LayoutPreview();
        const QImage shot = m_dlg->grab().toImage();
        const QRect info = m_dlg->GetDlgItem(IDC_INFO)->geometry();
        const QRect gamma = m_dlg->GetDlgItem(IDC_EDIT_GAMMA)->geometry();
        for (const QPoint p : {QPoint(info.right() - 3, info.center().y()), QPoint(info.center().x(), info.bottom() + 4),
                               QPoint(gamma.center().x(), 2)}) {
            QPoint pixel = p;
            QVERIFY(m_dlg->WindowToImagePoint(pixel));  // the picture lies behind this point
            QCOMPARE(WindowPixel(shot, p), QRgb(0xc0c0c0));
        }
        // The area below the buttons shows the picture itself.
        QCOMPARE(m_dlg->m_ptScroll, QPoint(150, 150));
        const QRgb rendered = *m_dlg->m_bitmap.PixelPtr(150 + 200, 150 + 100) & 0xffffff;
        QCOMPARE(WindowPixel(shot, QPoint(10 + 200, m_dlg->m_rcPreview.top + 150 + 100)), rendered);
    }

    void leavingTheWindowRestoresTheCaptions()
    {
        std::vector<float> rgb(4 * 4 * 3, 50.0f);
        WriteFrame(m_scratch.file("rgb.fit"), 4, 4, 3, rgb);
        AddFrames(*m_dlg, *m_seams, {Q(m_scratch.file("rgb.fit"))});
        QTest::mouseMove(m_dlg.get(), Preview(200, 100));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_SAVE), QString("G 50.0"));
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(m_dlg.get(), &leave);
        QCOMPARE(m_dlg->GetDlgItemText(IDC_MERGE), QString("Simple"));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_SAVE), QString("Save Float"));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_EXIT), QString("Exit"));
    }

    void paintsThePictureFillsAndFrames()
    {
        QImage empty = m_dlg->grab().toImage();
        QCOMPARE(WindowPixel(empty, Preview(200, 100)), QRgb(0x5c5c5c));
        QCOMPARE(WindowPixel(empty, Preview(-5, 100)), QRgb(0xc0c0c0));

        AddFrames(*m_dlg, *m_seams, {Q(m_scratch.file("halves.fit"))});
        m_dlg->m_engine.m_rcNoise = ImageRect{10, 10, 50, 50};
        m_dlg->m_engine.m_rcLight = ImageRect{120, 10, 60, 50};
        const QImage shot = m_dlg->grab().toImage();
        CRect noise;
        CRect light;
        QVERIFY(m_dlg->ImageToWindowRect(m_dlg->m_engine.m_rcNoise, noise));
        QVERIFY(m_dlg->ImageToWindowRect(m_dlg->m_engine.m_rcLight, light));
        QCOMPARE(WindowPixel(shot, QPoint(noise.left, noise.top + 5)), QRgb(0x00ff00));
        QCOMPARE(WindowPixel(shot, QPoint(noise.right - 1, noise.bottom - 1)), QRgb(0x00ff00));
        QCOMPARE(WindowPixel(shot, QPoint(light.left + 7, light.top)), QRgb(0xff0000));
        // Inside the flat right half the picture shows the rendered pixel itself.
        const QRgb rendered = *m_dlg->m_bitmap.PixelPtr(150, 80) & 0xffffff;
        QCOMPARE(WindowPixel(shot, Preview(300, 160)), rendered);
        QCOMPARE(WindowPixel(shot, Preview(-5, 100)), QRgb(0xc0c0c0));
    }
};

QTEST_MAIN(PreviewMarkingTest)
#include "PreviewMarkingTest.moc"

// The BMP writer read back by Qt's own BMP reader: every pixel where the
// preview shows it, for every row padding, and the header-only file.

#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QTest>

#include <vector>

#include "preview/PreviewBitmap.h"
#include "support/TestFiles.h"

class BmpReadBackTest : public QObject {
    Q_OBJECT

private slots:
    void readsEveryPadding_data();
    void readsEveryPadding();
    void readsRenderedPicture();
    void headerOnlyFileDeclaresNoPixels();
};

namespace {

void ExpectSamePicture(CPreviewBitmap& bmp, const QString& path)
{
    QImageReader reader(path, "bmp");
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.width(), bmp.Width());
    QCOMPARE(image.height(), bmp.Height());
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x)
            QCOMPARE(image.pixel(x, y) & 0xFFFFFFu, *bmp.PixelPtr(x, y));
}

}  // namespace

void BmpReadBackTest::readsEveryPadding_data()
{
    QTest::addColumn<int>("width");
    for (int w = 1; w <= 4; ++w)
        QTest::addRow("width %d", w) << w;
}

void BmpReadBackTest::readsEveryPadding()
{
    QFETCH(int, width);
    ScratchDir dir;
    CPreviewBitmap bmp;
    QVERIFY(bmp.Resize(width, 3));
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < width; ++x)  // distinct red, green and blue in every pixel
            *bmp.PixelPtr(x, y) = static_cast<uint32_t>((40 * x + 7) << 16 | (60 * y + 11) << 8 | (13 * x + 29 * y + 5));
    const std::string path = dir.file("padding.bmp");
    QVERIFY(bmp.SaveBmp(path));
    ExpectSamePicture(bmp, QString::fromStdString(path));
}

void BmpReadBackTest::readsRenderedPicture()
{
    // Three planes with different ramps: a colour picture whose top row is image row 0.
    const int w = 37, h = 23;
    std::vector<float> pixels(static_cast<size_t>(w) * h * 3);
    for (int p = 0; p < 3; ++p)
        for (int i = 0; i < w * h; ++i)
            pixels[static_cast<size_t>(p) * w * h + i] = static_cast<float>((i % w) * (p + 1) + (i / w) * (3 - p) * 4);
    ScratchDir dir;
    CPreviewBitmap bmp;
    bmp.Render(pixels.data(), w, h, 3, -65536);
    QVERIFY(*bmp.PixelPtr(w - 1, h - 1) != *bmp.PixelPtr(0, 0));
    const std::string path = dir.file("render.bmp");
    QVERIFY(bmp.SaveBmp(path));
    ExpectSamePicture(bmp, QString::fromStdString(path));
}

void BmpReadBackTest::headerOnlyFileDeclaresNoPixels()
{
    ScratchDir dir;
    const std::string path = dir.file("empty.bmp");
    CPreviewBitmap never;
    QVERIFY(never.SaveBmp(path));
    QFile file(QString::fromStdString(path));
    QCOMPARE(file.size(), 54);
    // Qt recognises the BMP header, and as the picture has no pixels there
    // is no image to read.
    QImageReader reader(&file);
    QVERIFY(reader.canRead());
    QCOMPARE(reader.format(), QByteArray("bmp"));
    QVERIFY(reader.read().isNull());
}

QTEST_MAIN(BmpReadBackTest)
#include "BmpReadBackTest.moc"

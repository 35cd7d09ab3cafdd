// A settings file full of garbage (a window off every screen or of negative
// size, rectangles beyond the int range, gamma 100000, text for numbers)
// still starts a usable main window that loads, shows and merges frames.

#include <QAbstractButton>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTextStream>

#include "GuiTestSupport.h"

namespace {

// What every row shares: garbage in every section but [PreviewWnd].
const char* const kGarbage =
    "[Preview]\nPreviewGamma=100000\nNoScale=banana\n"
    "[NoiseFrame]\nStartX=-100\nStartY=abc\nSizeX=2147483647\nSizeY=-5\n"
    "[LightFrame]\nStartX=2147483647\nStartY=2147483647\nSizeX=2147483647\nSizeY=2147483647\n"
    "[Params]\nIgnoreBlack=7\nIgnoreWhite=-1\nWhiteLimit=abc\nBlackLimit=-2147483648\nUseSigma=17\n"
    "SigmaVal1000=-5\nSigmaFade1000=99999999999\nNormalizeArea=-7\nSaveBitmaps=yes\n";

bool OnSomeScreen(const QRect& frame)
{
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect seen = screen->availableGeometry().intersected(frame);
        if (seen.width() >= 100 && seen.height() >= 50)
            return true;
    }
    return false;
}

}  // namespace

class GarbageSettingsTest : public QObject {
    Q_OBJECT

private slots:
    void startsWithAUsableWindow_data()
    {
        QTest::addColumn<QString>("window");
        QTest::newRow("off every screen") << "Left=-50000\nRight=-49000\nTop=-50000\nBottom=-49300\n";
        QTest::newRow("beyond the far corner") << "Left=90000\nRight=91000\nTop=90000\nBottom=90700\n";
        QTest::newRow("negative size") << "Left=500\nRight=100\nTop=400\nBottom=50\n";
        QTest::newRow("int extremes") << "Left=-2147483648\nRight=2147483647\nTop=-2147483648\nBottom=2147483647\n";
        QTest::newRow("text") << "Left=wide\nRight=[x]\nTop=1e9\nBottom=\n";
    }
    void startsWithAUsableWindow()
    {
        QFETCH(QString, window);
        ScratchDir scratch;
        {
            QFile ini(Q(scratch.file("Velmora.ini")));
            QVERIFY(ini.open(QIODevice::WriteOnly));
            QTextStream(&ini) << kGarbage << "[PreviewWnd]\n" << window;
        }
        SeamRecorder seams;
        auto dlg = OpenMainWindow(scratch);
        QTest::qWait(0);  // the placement is applied again once the window is framed
        QVERIFY(dlg->isVisible());
        QVERIFY2(OnSomeScreen(dlg->frameGeometry()), qPrintable(QString("window at %1,%2 %3x%4")
                                                                   .arg(dlg->frameGeometry().x())
                                                                   .arg(dlg->frameGeometry().y())
                                                                   .arg(dlg->frameGeometry().width())
                                                                   .arg(dlg->frameGeometry().height())));
        QVERIFY(dlg->m_bitmap.m_gamma >= 0 && dlg->m_bitmap.m_gamma <= 100);

        // Frames load, show and merge under the garbage rectangles and parameters.
        std::vector<float> ramp(32 * 24);
        for (size_t i = 0; i < ramp.size(); ++i)
            ramp[i] = static_cast<float>(100 + i % 97);
        WriteFrame(scratch.file("a.fit"), 32, 24, 1, ramp);
        WriteFrame(scratch.file("b.fit"), 32, 24, 1, ramp, 20.0);
        AddFrames(*dlg, seams, {Q(scratch.file("a.fit")), Q(scratch.file("b.fit"))});
        QVERIFY(dlg->m_bitmap.HasBitmap());
        QVERIFY(!static_cast<QLabel*>(dlg->GetDlgItem(IDC_INFO))->text().isEmpty());
        QVERIFY(dlg->m_mergeDlg.IsWindow());
        static_cast<QAbstractButton*>(dlg->m_mergeDlg.GetDlgItem(IDC_CREATE))->click();
        QCOMPARE(seams.saveRequests.size(), size_t{1});  // the merge ran to its save dialog
        QVERIFY(dlg->m_bitmap.HasBitmap());

        seams.questionAnswers.push_back(true);  // the unsaved result may go
        dlg->reject();
        QCOMPARE(seams.questions.size(), size_t{1});
        QSettings written(Q(scratch.file("Velmora.ini")), QSettings::IniFormat);
        const QRect saved(QPoint(written.value("PreviewWnd/Left").toInt(), written.value("PreviewWnd/Top").toInt()),
                          QPoint(written.value("PreviewWnd/Right").toInt() - 1,
                                 written.value("PreviewWnd/Bottom").toInt() - 1));
        QVERIFY(OnSomeScreen(saved));
    }
};

QTEST_MAIN(GarbageSettingsTest)
#include "GarbageSettingsTest.moc"

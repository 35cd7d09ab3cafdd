// The Merge Parameters dialog: its settings, template and enable rules, the
// "Create" driver with its progress and cache, the views and the clipping
// preview, and a saved result equal to the batch tool's.

#include <filesystem>
#include <fstream>
#include <iterator>

#include <QCheckBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QSettings>
#include <QSlider>

#include "GuiTestSupport.h"
#include "app/DialogUnits.h"

namespace {

const ImageRect kBackground{2, 2, 20, 12};
const ImageRect kSignal{26, 18, 12, 12};
const std::string kRects = " --background 2,2,20,12 --signal 26,18,12,12";

std::string MakeFrames() { return (std::filesystem::path(VELMORA_CLI).parent_path() / "make-frames").string(); }

std::vector<uint32_t> Pixels(const CPreviewBitmap& bitmap)
{
    return {bitmap.Bits(), bitmap.Bits() + static_cast<size_t>(bitmap.Width()) * bitmap.Height()};
}

// Pixels whose red or blue byte differs from the green one.
int TintedPixels(const CPreviewBitmap& bitmap)
{
    int tinted = 0;
    for (uint32_t p : Pixels(bitmap)) {
        const uint32_t r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
        tinted += r != g || b != g;
    }
    return tinted;
}

// Counts the paint events of a widget.
class PaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

}  // namespace

class MergeParamsDlgTest : public QObject {
    Q_OBJECT

    ScratchDir m_frames;  // make-frames output, shared by all tests
    std::vector<std::string> m_mono;
    std::vector<std::string> m_rgb;
    std::unique_ptr<ScratchDir> m_scratch;
    std::unique_ptr<SeamRecorder> m_seams;
    std::unique_ptr<CMainDlg> m_dlg;

    CMergeParamsDlg& Dlg() { return m_dlg->m_mergeDlg; }
    template <typename T>
    T* Item(int id)
    {
        return static_cast<T*>(Dlg().GetDlgItem(id));
    }
    QString Text(int id) { return Item<QLineEdit>(id)->text(); }
    void SetText(int id, const QString& text) { Item<QLineEdit>(id)->setText(text); }
    void Click(int id) { Item<QAbstractButton>(id)->click(); }
    void Release(QSlider* slider, int position)
    {
        slider->setValue(position);
        QTest::mouseRelease(slider, Qt::LeftButton);
    }
    const MergeParams& Params() const { return m_dlg->m_engine.m_params; }
    QProgressBar* Progress() { return Dlg().m_progress; }

    // Adds frames (the first is shown and is the reference) with the test
    // rectangles; Add opens the dialog.
    void AddWithRects(const std::vector<std::string>& frames)
    {
        QStringList paths;
        for (const std::string& f : frames)
            paths << Q(f);
        AddFrames(*m_dlg, *m_seams, paths);
        m_dlg->m_engine.m_rcNoise = kBackground;
        m_dlg->m_engine.m_rcLight = kSignal;
    }
    void AddMonoWithSigma()
    {
        AddWithRects(m_mono);
        Click(IDC_SIGMA_CLIP);
    }
    // A grey rendering of plane with the dialog's floor, for comparisons.
    std::vector<uint32_t> Rendered(const CFitsImage& image, int plane, int floor, int gamma)
    {
        CPreviewBitmap bitmap;
        bitmap.m_gamma = gamma;
        bitmap.RenderImage(image, plane, floor);
        return Pixels(bitmap);
    }

private slots:
    void initTestCase()
    {
        const std::string command = MakeFrames() + " --count 5 --width 64 --height 48 --out ";
        QCOMPARE(RunCommand(command + m_frames.file("mono")), 0);
        QCOMPARE(RunCommand(command + m_frames.file("rgb") + " --planes 3 --count 3"), 0);
        for (int i = 1; i <= 5; ++i)
            m_mono.push_back(m_frames.file("mono/frame_00" + std::to_string(i) + ".fit"));
        for (int i = 1; i <= 3; ++i)
            m_rgb.push_back(m_frames.file("rgb/frame_00" + std::to_string(i) + ".fit"));
    }
    void init()
    {
        m_scratch = std::make_unique<ScratchDir>();
        m_seams = std::make_unique<SeamRecorder>();
        m_dlg = OpenMainWindow(*m_scratch);
    }
    void cleanup()
    {
        m_dlg.reset();
        m_seams.reset();
        m_scratch.reset();
    }

    void defaultsOnAFreshSettingsFile()
    {
        m_dlg->OnOK();
        QVERIFY(Dlg().IsWindow());
        QCOMPARE(Dlg().Window()->windowTitle(), QString("Merge Parameters"));
        QVERIFY(!Item<QCheckBox>(IDC_IGNORE_BLACK)->isChecked());
        QVERIFY(!Item<QCheckBox>(IDC_IGNORE_WHITE)->isChecked());
        QCOMPARE(Text(IDC_WHITE_LIMIT), QString("50000"));
        QCOMPARE(Text(IDC_BLACK_LIMIT), QString("0"));
        QVERIFY(!Item<QCheckBox>(IDC_SIGMA_CLIP)->isChecked());
        QCOMPARE(Text(IDC_SIGMA), QString("3"));
        QCOMPARE(Text(IDC_SIGMA_FADE), QString("0.2"));
        QCOMPARE(Text(IDC_NORMALIZE_AREA), QString("0"));
        QVERIFY(!Item<QCheckBox>(IDC_SAVE_BITMAPS)->isChecked());
        QCOMPARE(Dlg().m_sigmaSlider->value(), 300);
        QCOMPARE(Dlg().m_fadeSlider->value(), 20);
        QCOMPARE(Dlg().m_sigmaSlider->minimum(), 100);
        QCOMPARE(Dlg().m_sigmaSlider->maximum(), 500);
        QCOMPARE(Dlg().m_fadeSlider->maximum(), 200);
        QCOMPARE(Dlg().m_localScaleSlider->minimum(), 50);
        QCOMPARE(Dlg().m_localScaleSlider->maximum(), 150);
        QVERIFY(Progress()->isHidden());
        QVERIFY(Dlg().m_viewImage->isChecked());
        QVERIFY(Dlg().m_viewImage->isCheckable() && !Dlg().m_viewImage->autoDefault());
        QVERIFY(!Dlg().m_viewDeviation->isChecked());

        // No frames: nothing to merge, said so, no save dialog.
        Click(IDC_CREATE);
        QVERIFY(m_seams->saveRequests.empty());
        QCOMPARE(m_seams->messages.size(), size_t(1));
    }

    // After Shift+Del the last frame's pixels are still in memory.
    void createWithNoFramesMergesNothing()
    {
        AddMonoWithSigma();
        m_seams->modifiers = Qt::ShiftModifier;
        static_cast<QPushButton*>(m_dlg->GetDlgItem(IDC_DEL))->click();
        m_seams->modifiers = Qt::NoModifier;
        QVERIFY(m_dlg->m_engine.m_files.empty());
        const std::vector<float> before(m_dlg->m_image.m_pData,
                                        m_dlg->m_image.m_pData + m_dlg->m_image.GetPixelCount());
        QVERIFY(!before.empty());
        Click(IDC_CREATE);
        QCOMPARE(m_seams->messages.size(), size_t(1));
        QCOMPARE(m_seams->messages[0].text, QString("There are no frames to merge. Add frames first."));
        QVERIFY(m_seams->saveRequests.empty());
        QVERIFY(m_dlg->windowTitle() != QString("Result Image"));
        QVERIFY(!m_dlg->m_bResultUnsaved);
        QCOMPARE(std::vector<float>(m_dlg->m_image.m_pData, m_dlg->m_image.m_pData + m_dlg->m_image.GetPixelCount()),
                 before);
        QVERIFY(!m_dlg->m_engine.m_deviationValid);
    }

    void closingTheMainWindowWritesTheOpenDialogsValues()
    {
        m_dlg->OnOK();
        SetText(IDC_SIGMA, "1.75");
        m_dlg->reject();
        const QSettings ini(Q(m_scratch->file("Velmora.ini")), QSettings::IniFormat);
        QCOMPARE(ini.value("Params/SigmaVal1000").toInt(), 1750);
        QVERIFY(!Dlg().IsWindow());
    }

    void parametersRoundTripThroughTheSettingsFile()
    {
        m_dlg->OnOK();
        SetText(IDC_SIGMA, "2.345");
        SetText(IDC_SIGMA_FADE, "0.0004");
        SetText(IDC_WHITE_LIMIT, "40000");
        SetText(IDC_BLACK_LIMIT, "-12");
        SetText(IDC_NORMALIZE_AREA, "7");
        Click(IDC_IGNORE_WHITE);
        Click(IDC_SIGMA_CLIP);
        Click(IDC_SAVE_BITMAPS);
        Click(IDC_MERGE_EXIT);
        QVERIFY(!Dlg().IsWindow());

        const QSettings ini(Q(m_scratch->file("Velmora.ini")), QSettings::IniFormat);
        const std::vector<std::pair<const char*, int>> keys{
            {"IgnoreBlack", 0}, {"IgnoreWhite", 1},    {"WhiteLimit", 40000},  {"BlackLimit", -12},  {"UseSigma", 1},
            {"SigmaVal1000", 2345}, {"SigmaFade1000", 0}, {"NormalizeArea", 7}, {"SaveBitmaps", 1}};
        for (const auto& [key, value] : keys)
            QCOMPARE(ini.value(QString("Params/") + key).toInt(), value);

        // The object keeps them for the next opening; a new main window reads them.
        m_dlg->OnOK();
        QCOMPARE(Text(IDC_SIGMA), QString("2.345"));
        QCOMPARE(Dlg().m_sigmaSlider->value(), 234);  // truncated
        m_dlg.reset();
        m_dlg = OpenMainWindow(*m_scratch);
        QCOMPARE(Params().m_sigma, 2.345f);
        QCOMPARE(Params().m_sigmaFade, 0.0f);
        QCOMPARE(Params().m_blackLimit, -12);
        QVERIFY(Params().m_ignoreWhite && Params().m_useSigma && Params().m_saveBitmaps && !Params().m_ignoreBlack);
    }

    void malformedNumberStopsCreateAndKeepsEveryValue()
    {
        AddMonoWithSigma();
        SetText(IDC_NORMALIZE_AREA, "9");
        SetText(IDC_SIGMA_FADE, "wide");
        Click(IDC_CREATE);
        QCOMPARE(m_seams->messages.size(), size_t(1));
        QCOMPARE(m_seams->messages[0].text, QString("Please enter a number."));
        QVERIFY(m_seams->saveRequests.empty());
        QCOMPARE(Params().m_normalizeArea, 0);
    }

    void controlsSitAtTheirTemplatePositions()
    {
        m_dlg->OnOK();
        const QFont font = Dlg().Window()->font();
        QCOMPARE(Dlg().Window()->size(), MapDialogRect(font, 0, 0, 205, 182).size());
        const int table[][5] = {{IDC_CREATE, 133, 144, 50, 14},       {IDC_MERGE_EXIT, 7, 144, 50, 14},
                                {IDC_IGNORE_BLACK, 20, 17, 56, 10},   {IDC_BLACK_LIMIT, 84, 16, 36, 14},
                                {IDC_SIGMA, 77, 91, 36, 14},          {IDC_SIGMA_SLIDER, 114, 91, 77, 15},
                                {IDC_LOCAL_SCALE, 77, 123, 36, 14},   {IDC_VIEW_IMAGE, 130, 12, 59, 14},
                                {IDC_CLIP_BLUE, 130, 72, 59, 14},     {IDC_PROGRESS, 7, 164, 191, 11}};
        for (const auto& row : table)
            QCOMPARE(Dlg().GetDlgItem(row[0])->geometry(), MapDialogRect(font, row[1], row[2], row[3], row[4]));
        QVERIFY(Item<QLineEdit>(IDC_LOCAL_SCALE)->isReadOnly());
        QVERIFY(Item<QPushButton>(IDC_CREATE)->isDefault());
    }

    void enableRulesFollowTheChecks()
    {
        m_dlg->OnOK();
        const int sigmaControls[] = {IDC_SIGMA,          IDC_SAVE_BITMAPS, IDC_SIGMA_FADE, IDC_FADE_SLIDER,
                                     IDC_SIGMA_SLIDER,   IDC_LOCAL_SCALE_SLIDER, IDC_NORMALIZE_AREA,
                                     IDC_VIEW_DEVIATION, IDC_CLIP_RED};
        for (bool on : {false, true}) {
            for (int id : sigmaControls)
                QCOMPARE(Dlg().GetDlgItem(id)->isEnabled(), on);
            QCOMPARE(Dlg().GetDlgItem(IDC_BLACK_LIMIT)->isEnabled(), on);
            QCOMPARE(Dlg().GetDlgItem(IDC_WHITE_LIMIT)->isEnabled(), false);
            Click(IDC_SIGMA_CLIP);
            Click(IDC_IGNORE_BLACK);
        }
        Click(IDC_IGNORE_WHITE);
        QVERIFY(Dlg().GetDlgItem(IDC_WHITE_LIMIT)->isEnabled());
        QVERIFY(Params().m_ignoreWhite);
    }

    void mergeButtonIsDisabledWhileTheDialogIsOpen()
    {
        AddWithRects({m_mono[0], m_mono[1]});
        QPushButton* merge = static_cast<QPushButton*>(m_dlg->GetDlgItem(IDC_MERGE));
        QVERIFY(Dlg().IsWindow());
        QVERIFY(!merge->isEnabled());
        m_dlg->OnNext();
        QVERIFY(!merge->isEnabled());
        Click(IDC_MERGE_EXIT);
        QVERIFY(merge->isEnabled());
        merge->click();
        QVERIFY(Dlg().IsWindow() && Dlg().Window()->isVisible());
        QVERIFY(!merge->isEnabled());
        QTest::keyClick(Dlg().Window(), Qt::Key_Escape);
        QVERIFY(!Dlg().IsWindow());
        QVERIFY(merge->isEnabled());
    }

    void createFillsTheProgressOverThePassesItRuns()
    {
        AddMonoWithSigma();
        m_seams->saveAnswers.push_back(QString());
        QStringList titles;
        bool waitCursor = true;
        const auto watch = connect(m_dlg.get(), &QWidget::windowTitleChanged, this, [&](const QString& title) {
            titles << title;
            const QCursor* cursor = QApplication::overrideCursor();
            waitCursor = waitCursor && (title == "Result Image" || (cursor && cursor->shape() == Qt::WaitCursor));
        });
        PaintCounter counter;
        m_dlg->installEventFilter(&counter);
        Click(IDC_CREATE);
        m_dlg->removeEventFilter(&counter);
        disconnect(watch);
        QVERIFY(titles.contains(Q("Calc Average - " + m_mono[4])));
        QVERIFY(titles.contains(Q("Calc Deviation - " + m_mono[0])));
        QVERIFY(titles.contains(Q("Sigma Clipping - " + m_mono[2])));
        QCOMPARE(titles.last(), QString("Result Image"));
        QVERIFY(waitCursor);
        QVERIFY2(counter.paints >= 5, qPrintable(QString::number(counter.paints)));
        QCOMPARE(Progress()->maximum(), 30);
        QCOMPARE(Progress()->value(), 30);
        QVERIFY(Progress()->isHidden());
        QVERIFY(m_dlg->m_engine.m_deviationValid);
        QCOMPARE(m_dlg->windowTitle(), QString("Result Image"));
        QCOMPARE(m_dlg->m_viewMode, 3);
        QCOMPARE(m_seams->saveRequests.size(), size_t(1));
        QCOMPARE(m_seams->saveRequests[0].fileName, Q(m_frames.file("mono/frame_001_x5.fit")));
        QVERIFY(QApplication::overrideCursor() == nullptr);

        Release(Dlg().m_sigmaSlider, 150);
        QCOMPARE(Params().m_sigma, 1.5f);
        QCOMPARE(Text(IDC_SIGMA), QString("1.5"));
        Click(IDC_CREATE);
        QCOMPARE(Progress()->maximum(), 15);
        QCOMPARE(Progress()->value(), 15);

        // Sigma Clip off with the cache still valid: no pass, the cached average.
        Click(IDC_SIGMA_CLIP);
        Click(IDC_CREATE);
        QCOMPARE(Progress()->maximum(), 15);
        QCOMPARE(Progress()->value(), 0);
        const CFitsImage& average = m_dlg->m_engine.m_average;
        QVERIFY(std::equal(average.m_pData, average.m_pData + average.GetPixelCount(), m_dlg->m_image.m_pData));

        SetText(IDC_NORMALIZE_AREA, "6");
        Click(IDC_CREATE);
        QCOMPARE(Progress()->maximum(), 5);
        QCOMPARE(Progress()->value(), 5);
        QVERIFY(!m_dlg->m_engine.m_deviationValid);
    }

    void robustIsAKeyOfItsOwnOffByDefault()
    {
        m_dlg->OnOK();
        Click(IDC_MERGE_EXIT);
        QVERIFY(!QSettings(Q(m_scratch->file("Velmora.ini")), QSettings::IniFormat).contains("Params/Robust"));
        m_dlg->OnOK();
        QVERIFY(!Item<QAbstractButton>(IDC_ROBUST)->isChecked());
        QVERIFY(Item<QAbstractButton>(IDC_ROBUST)->isEnabled());  // it also weighs the frames without Sigma Clip
        Click(IDC_ROBUST);
        QVERIFY(Params().m_robust);
        Click(IDC_MERGE_EXIT);
        const QSettings ini(Q(m_scratch->file("Velmora.ini")), QSettings::IniFormat);
        QCOMPARE(ini.value("Params/Robust").toInt(), 1);
        QCOMPARE(ini.value("Params/SigmaVal1000").toInt(), 3000);  // the other keys as they were
        QCOMPARE(ini.value("Params/UseSigma").toInt(), 0);
        m_dlg.reset();
        m_dlg = OpenMainWindow(*m_scratch);
        QVERIFY(Params().m_robust);
        m_dlg->OnOK();
        Click(IDC_ROBUST);  // off again: written as 0 from now on
        Click(IDC_MERGE_EXIT);
        QCOMPARE(QSettings(Q(m_scratch->file("Velmora.ini")), QSettings::IniFormat).value("Params/Robust").toInt(), 0);
    }

    void changingACacheInputRecomputesEverything_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("text");  // empty: click the check box
        QTest::addColumn<int>("range");
        QTest::newRow("normalize area") << int(IDC_NORMALIZE_AREA) << "8" << 30;
        QTest::newRow("white limit") << int(IDC_WHITE_LIMIT) << "40000" << 30;
        QTest::newRow("black limit") << int(IDC_BLACK_LIMIT) << "5" << 30;
        QTest::newRow("ignore black") << int(IDC_IGNORE_BLACK) << "" << 30;
        QTest::newRow("ignore white") << int(IDC_IGNORE_WHITE) << "" << 30;
        QTest::newRow("robust") << int(IDC_ROBUST) << "" << 30;
        QTest::newRow("sigma") << int(IDC_SIGMA) << "2" << 15;
        QTest::newRow("fade") << int(IDC_SIGMA_FADE) << "0.5" << 15;
    }
    void changingACacheInputRecomputesEverything()
    {
        QFETCH(int, id);
        QFETCH(QString, text);
        QFETCH(int, range);
        AddMonoWithSigma();
        Click(IDC_CREATE);
        if (text.isEmpty())
            Click(id);
        else
            SetText(id, text);
        Click(IDC_CREATE);
        QCOMPARE(Progress()->maximum(), range);
        QCOMPARE(Progress()->value(), range);
    }

    void onePlaneImageHasOneClippingView()
    {
        AddWithRects({m_rgb[0], m_rgb[1], m_rgb[2], m_mono[0]});
        QVERIFY(!Dlg().m_clipGreen->isHidden() && !Dlg().m_clipBlue->isHidden());
        QCOMPARE(Dlg().m_clipRed->text(), QString("Clipping Red"));
        Click(IDC_SIGMA_CLIP);
        Click(IDC_CLIP_BLUE);
        QCOMPARE(m_dlg->m_viewMode, 2);
        QCOMPARE(m_dlg->GetViewPlane(), 2);
        QVERIFY(Dlg().m_clipBlue->isChecked() && !Dlg().m_viewImage->isChecked());

        m_dlg->LoadFrame(m_mono[0]);
        QVERIFY(Dlg().m_clipGreen->isHidden() && Dlg().m_clipBlue->isHidden());
        QCOMPARE(Dlg().m_clipRed->text(), QString("Clipping"));
        QCOMPARE(m_dlg->GetViewPlane(), 0);
        QCOMPARE(Pixels(m_dlg->m_bitmap), Rendered(m_dlg->m_image, 0, -65536, m_dlg->m_bitmap.m_gamma));
    }

    // Three colour frames alike but for one pixel of each plane of b.fit, 300
    // above and one 300 below: 1.41 deviations out, beyond sigma 1 and its
    // fade. Each clipping view tints exactly the two pixels of its own plane.
    void everyClippingViewTintsItsOwnPlane()
    {
        std::vector<float> flat(16 * 12 * 3, 1000.0f);
        std::vector<float> outliers = flat;
        for (int c = 0; c < 3; ++c) {
            outliers[(c * 12 + 0) * 16 + c] = 1300.0f;
            outliers[(c * 12 + 1) * 16 + c] = 700.0f;
        }
        for (const char* name : {"a.fit", "c.fit"})
            WriteFrame(m_scratch->file(name), 16, 12, 3, flat);
        WriteFrame(m_scratch->file("b.fit"), 16, 12, 3, outliers);
        AddFrames(*m_dlg, *m_seams, {Q(m_scratch->file("b.fit")), Q(m_scratch->file("a.fit")), Q(m_scratch->file("c.fit"))});
        Click(IDC_SIGMA_CLIP);
        SetText(IDC_SIGMA, "1");
        const int buttons[] = {IDC_CLIP_RED, IDC_CLIP_GREEN, IDC_CLIP_BLUE};
        for (int plane = 0; plane < 3; ++plane) {
            Click(buttons[plane]);
            QCOMPARE(m_dlg->GetViewPlane(), plane);
            QCOMPARE(TintedPixels(m_dlg->m_bitmap), 2);
            const uint32_t above = *m_dlg->m_bitmap.PixelPtr(plane, 0);
            const uint32_t below = *m_dlg->m_bitmap.PixelPtr(plane, 1);
            QCOMPARE(above & 0xFF00FFu, 0xFF0000u);  // red 255, blue 0
            QCOMPARE(below & 0xFF00FFu, 0x0000FFu);  // blue 255, red 0
        }
    }

    void clippingPreviewFollowsTheSliders()
    {
        AddMonoWithSigma();
        m_dlg->OnNext();  // a frame other than the reference
        Click(IDC_CLIP_RED);
        QCOMPARE(Progress()->maximum(), 10);
        QVERIFY(m_dlg->m_engine.m_deviationValid);
        // Five samples cannot lie 3 deviations out; 1 catches the outliers.
        const int atThree = TintedPixels(m_dlg->m_bitmap);

        // The release recolours the picture on screen; a re-render would use
        // the gamma changed behind its back.
        const int gamma = m_dlg->m_bitmap.m_gamma;
        m_dlg->m_bitmap.m_gamma = 60;
        Release(Dlg().m_sigmaSlider, 100);
        QCOMPARE(Text(IDC_SIGMA), QString("1"));
        const int atOne = TintedPixels(m_dlg->m_bitmap);
        QVERIFY2(atOne > atThree, qPrintable(QString("%1 <= %2").arg(atOne).arg(atThree)));
        CPreviewBitmap fresh;
        fresh.m_gamma = gamma;
        fresh.RenderImage(m_dlg->m_image, 0, -65536);
        m_dlg->m_engine.ShowClipping(m_dlg->m_image, m_dlg->m_strCurrent, 0, fresh);
        QCOMPARE(Pixels(m_dlg->m_bitmap), Pixels(fresh));
        m_dlg->m_bitmap.m_gamma = gamma;

        // The local scale of the shown frame and plane.
        Release(Dlg().m_localScaleSlider, 130);
        QCOMPARE(m_dlg->m_engine.m_sigmaScale[m_dlg->m_strCurrent][0], 1.3f);
        QCOMPARE(Text(IDC_LOCAL_SCALE), QString("1.30"));
        QVERIFY(TintedPixels(m_dlg->m_bitmap) < atOne);
        m_dlg->OnNext();
        QCOMPARE(Text(IDC_LOCAL_SCALE), QString("1.00"));
        QCOMPARE(Dlg().m_localScaleSlider->value(), 100);

        // In the Image view a release changes the value and draws nothing.
        Click(IDC_VIEW_IMAGE);
        const std::vector<uint32_t> before = Pixels(m_dlg->m_bitmap);
        Release(Dlg().m_fadeSlider, 50);
        QCOMPARE(Params().m_sigmaFade, 0.5f);
        QCOMPARE(Text(IDC_SIGMA_FADE), QString("0.5"));
        QCOMPARE(Pixels(m_dlg->m_bitmap), before);
    }

    void sliderMovesWaitForTheRelease()
    {
        AddMonoWithSigma();
        Dlg().m_sigmaSlider->setFocus();
        QTest::keyClick(Dlg().m_sigmaSlider, Qt::Key_PageUp);
        QVERIFY(Dlg().m_sigmaSlider->value() != 300);
        QCOMPARE(Params().m_sigma, 3.0f);
        QTest::mouseRelease(Dlg().m_sigmaSlider, Qt::LeftButton);
        QCOMPARE(Params().m_sigma, Dlg().m_sigmaSlider->value() / 100.0f);
    }

    // 0.53 is 0.52999... as a float: the slider must not step back on release,
    // nor a click on it that does not move it change the value.
    void slidersStayWhereTheyWereReleased()
    {
        AddMonoWithSigma();
        for (int i = 0; i < 2; ++i) {
            Release(Dlg().m_localScaleSlider, 53);
            QCOMPARE(Dlg().m_localScaleSlider->value(), 53);
            QCOMPARE(Text(IDC_LOCAL_SCALE), QString("0.53"));
        }
        Release(Dlg().m_sigmaSlider, 229);
        Release(Dlg().m_fadeSlider, 59);
        Click(IDC_MERGE_EXIT);
        m_dlg->OnOK();
        QCOMPARE(Dlg().m_sigmaSlider->value(), 229);
        QCOMPARE(Dlg().m_fadeSlider->value(), 59);
        QCOMPARE(Dlg().m_localScaleSlider->value(), 53);
    }

    void clippingViewIsPlainGreyWithoutTheCache()
    {
        AddMonoWithSigma();
        SetText(IDC_SIGMA, "1");
        Click(IDC_CLIP_RED);
        QVERIFY(TintedPixels(m_dlg->m_bitmap) > 0);
        const QPoint inside((m_dlg->m_rcPreview.left + m_dlg->m_rcPreview.right) / 2,
                            (m_dlg->m_rcPreview.top + m_dlg->m_rcPreview.bottom) / 2);
        QTest::mousePress(m_dlg.get(), Qt::LeftButton, Qt::NoModifier, inside);
        QTest::mouseRelease(m_dlg.get(), Qt::LeftButton, Qt::NoModifier, inside + QPoint(20, 20));
        QVERIFY(!m_dlg->m_engine.m_deviationValid);
        QCOMPARE(m_dlg->windowTitle(), Q(m_mono[0]));
        m_dlg->OnNext();
        QCOMPARE(TintedPixels(m_dlg->m_bitmap), 0);
        QCOMPARE(Pixels(m_dlg->m_bitmap), Rendered(m_dlg->m_image, 0, -65536, m_dlg->m_bitmap.m_gamma));
        // The grey plane says why it is grey.
        const QString why = Q(m_mono[1]) + " - no clipping shown: the merge passes have not run yet";
        QCOMPARE(m_dlg->windowTitle(), why);
        Release(Dlg().m_sigmaSlider, 100);
        QCOMPARE(TintedPixels(m_dlg->m_bitmap), 0);
        QCOMPARE(m_dlg->windowTitle(), why);
        // The same view again runs the passes: the clipping shows, the reason goes.
        Click(IDC_CLIP_RED);
        QVERIFY(TintedPixels(m_dlg->m_bitmap) > 0);
        QCOMPARE(m_dlg->windowTitle(), Q(m_mono[1]));
        Click(IDC_VIEW_IMAGE);
        QCOMPARE(m_dlg->windowTitle(), Q(m_mono[1]));
    }

    void deviationAndImageViews()
    {
        AddMonoWithSigma();
        Click(IDC_VIEW_DEVIATION);
        QCOMPARE(Progress()->maximum(), 10);
        QCOMPARE(m_dlg->m_viewMode, 4);
        QCOMPARE(m_dlg->windowTitle(), QString("Deviations Image"));
        const CFitsImage& deviation = m_dlg->m_engine.m_deviation;
        QVERIFY(m_dlg->m_image.SameSize(deviation));
        QVERIFY(std::equal(deviation.m_pData, deviation.m_pData + deviation.GetPixelCount(), m_dlg->m_image.m_pData));
        QCOMPARE(Pixels(m_dlg->m_bitmap), Rendered(deviation, -1, 0, m_dlg->m_bitmap.m_gamma));
        QVERIFY(Dlg().m_viewDeviation->isChecked() && !Dlg().m_viewImage->isChecked());

        Click(IDC_VIEW_IMAGE);
        QCOMPARE(m_dlg->m_viewMode, 3);
        QCOMPARE(m_dlg->windowTitle(), Q(m_mono[0]));
        QCOMPARE(std::vector<float>(m_dlg->m_image.m_pData, m_dlg->m_image.m_pData + m_dlg->m_image.GetPixelCount()),
                 ReadTestPixels(m_mono[0]));
        QVERIFY(Dlg().m_viewImage->isChecked() && !Dlg().m_viewDeviation->isChecked());
    }

    void savedResultEqualsTheBatchTool_data()
    {
        QTest::addColumn<bool>("sigma");
        QTest::addColumn<int>("held");
        QTest::addColumn<QString>("options");
        QTest::addColumn<bool>("robust");
        const QString clip = " --sigma 2.5 --fade 0.3 --normalize-area 8 --black-limit 10 --local-scale FRAME3=1.2";
        QTest::newRow("sigma clip, floats") << true << int(Qt::NoModifier) << clip << false;
        QTest::newRow("average, uint") << false << int(Qt::ShiftModifier) << QString(" --type uint") << false;
        // Its HISTORY names what the clipping took from each frame.
        QTest::newRow("robust sigma clip") << true << int(Qt::NoModifier) << clip + " --robust" << true;
    }
    void savedResultEqualsTheBatchTool()
    {
        QFETCH(bool, sigma);
        QFETCH(int, held);
        QFETCH(QString, options);
        QFETCH(bool, robust);
        AddWithRects({m_mono[1], m_mono[0], m_mono[2], m_mono[3], m_mono[4]});
        if (robust)
            Click(IDC_ROBUST);
        if (sigma) {
            Click(IDC_SIGMA_CLIP);  // enables the local-scale slider
            m_dlg->LoadFrame(m_mono[2]);
            Release(Dlg().m_localScaleSlider, 120);
            QCOMPARE(m_dlg->m_engine.m_sigmaScale[m_mono[2]][0], 1.2f);
            m_dlg->LoadFrame(m_mono[1]);  // back to the reference
            Click(IDC_IGNORE_BLACK);
            SetText(IDC_SIGMA, "2.5");
            SetText(IDC_SIGMA_FADE, "0.3");
            SetText(IDC_NORMALIZE_AREA, "8");
            SetText(IDC_BLACK_LIMIT, "10");
        }
        const std::string gui = m_scratch->file("gui.fit");
        const std::string cli = m_scratch->file("cli.fit");
        m_seams->modifiers = Qt::KeyboardModifiers(held);
        m_seams->saveAnswers.push_back(Q(gui));
        Click(IDC_CREATE);
        QVERIFY(m_seams->messages.empty());
        QVERIFY(std::filesystem::exists(gui));

        std::string command = std::string(VELMORA_CLI) + " merge -q -o " + cli + " --reference " + m_mono[1] + kRects +
                              options.replace("FRAME3", Q(m_mono[2])).toStdString();
        for (const std::string& frame : m_mono)
            command += " " + frame;
        std::string output;
        QCOMPARE(RunCommand(command, &output), 0);
        QVERIFY(ReadBytes(gui) == ReadBytes(cli));
    }
};

QTEST_MAIN(MergeParamsDlgTest)
#include "MergeParamsDlgTest.moc"

// Saving from the main window: the result's output type by Shift and Ctrl,
// its proposed name and header sums, a cancelled dialog, and Save BMP.

#include <cmath>
#include <filesystem>

#include "GuiTestSupport.h"

namespace {

// The value text of a keyword of the first HDU as a number; NaN when missing.
double KeyNumber(const std::string& path, const std::string& name)
{
    for (const auto& [key, value] : ReadKeywordRecords(path))
        if (key == name)
            return std::stod(value);
    return std::nan("");
}

}  // namespace

class SaveTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ScratchDir> m_scratch;
    std::unique_ptr<SeamRecorder> m_seams;
    std::unique_ptr<CMainDlg> m_dlg;

    std::string File(const char* name) const { return m_scratch->file(name); }
    void Click(int id) { static_cast<QPushButton*>(m_dlg->GetDlgItem(id))->click(); }

private slots:
    void init()
    {
        m_scratch = std::make_unique<ScratchDir>();
        m_seams = std::make_unique<SeamRecorder>();
        m_dlg = OpenMainWindow(*m_scratch);
        WriteFrame(File("a.fit"), 3, 2, 1, {-40000.0f, -1.5f, 0.0f, 1000.0f, 40000.0f, 70000.0f}, 30.0);
        WriteFlatFrame(File("b.fit"), 3, 2, 5.0f, 30.0);
        AddFrames(*m_dlg, *m_seams, {Q(File("a.fit")), Q(File("b.fit"))});
        m_dlg->m_engine.m_exposureSum = 60.0;
    }
    void cleanup()
    {
        m_dlg.reset();
        m_seams.reset();
        m_scratch.reset();
    }

    void saveWritesTheTypeOfTheHeldKeys_data()
    {
        QTest::addColumn<int>("held");
        QTest::addColumn<int>("bitpix");
        QTest::addColumn<double>("bzero");
        QTest::addColumn<QVector<float>>("pixels");
        const QVector<float> uint16{0, 0, 0, 1000, 40000, 65535};
        const QVector<float> int16{-32767, -1, 0, 1000, 32767, 32767};
        QTest::newRow("none") << int(Qt::NoModifier) << -32 << std::nan("")
                              << QVector<float>{-40000.0f, -1.5f, 0.0f, 1000.0f, 40000.0f, 70000.0f};
        QTest::newRow("shift") << int(Qt::ShiftModifier) << 16 << 32768.0 << uint16;
        QTest::newRow("ctrl") << int(Qt::ControlModifier) << 16 << 0.0 << int16;
        QTest::newRow("shift+ctrl") << int(Qt::ShiftModifier | Qt::ControlModifier) << 16 << 0.0 << int16;
    }
    void saveWritesTheTypeOfTheHeldKeys()
    {
        QFETCH(int, held);
        QFETCH(int, bitpix);
        QFETCH(double, bzero);
        QFETCH(QVector<float>, pixels);
        m_seams->modifiers = Qt::KeyboardModifiers(held);
        m_seams->saveAnswers.push_back(Q(File("out.fit")));
        Click(IDC_SAVE);

        QCOMPARE(m_seams->saveRequests.size(), size_t(1));
        QCOMPARE(m_seams->saveRequests[0].fileName, Q(File("a_x2.fit")));
        QCOMPARE(m_seams->saveRequests[0].folder, Q(m_scratch->path().string() + "/"));
        QVERIFY(m_seams->messages.empty());
        const std::string out = File("out.fit");
        QCOMPARE(KeyNumber(out, "BITPIX"), double(bitpix));
        if (std::isnan(bzero))
            QVERIFY(std::isnan(KeyNumber(out, "BZERO")));
        else
            QCOMPARE(KeyNumber(out, "BZERO"), bzero);
        QCOMPARE(KeyNumber(out, "SNAPSHOT"), 2.0);
        QCOMPARE(KeyNumber(out, "EXPOSURESUM"), 60.0);
        QCOMPARE(KeyNumber(out, "EXPTIME"), 30.0);
        const std::vector<float> read = ReadTestPixels(out);
        QCOMPARE(QVector<float>(read.begin(), read.end()), pixels);
    }

    void cancelLeavesTheExposureAndWritesNothing()
    {
        m_dlg->m_engine.m_exposureSum = 500.0;
        Click(IDC_SAVE);
        QCOMPARE(m_seams->saveRequests.size(), size_t(1));
        QCOMPARE(m_dlg->m_image.m_header.m_exposure, 30.0);
        QCOMPARE(std::distance(std::filesystem::directory_iterator(m_scratch->path()), {}), 3L);  // a, b, settings
    }

    void anExistingTargetIsReportedAndKept()
    {
        m_seams->saveAnswers.push_back(Q(File("b.fit")));
        Click(IDC_SAVE);
        QCOMPARE(m_seams->messages.size(), size_t(1));
        QCOMPARE(m_seams->messages[0].caption, QString("FITSIO Library Error"));
        QCOMPARE(ReadTestPixels(File("b.fit"))[0], 5.0f);
    }

    void saveBmpProposesTheFramesNameAndReplaces()
    {
        std::filesystem::copy_file(File("b.fit"), File("old.bmp"));
        m_seams->saveAnswers.push_back(Q(File("old.bmp")));
        Click(IDC_SAVE_BMP);
        QCOMPARE(m_seams->saveRequests[0].fileName, Q(File("a.bmp")));
        QCOMPARE(m_seams->saveRequests[0].filters, QStringList{"BMP File (*.bmp)"});
        QVERIFY(m_seams->messages.empty());
        QCOMPARE(std::filesystem::file_size(File("old.bmp")), std::uintmax_t(54 + 12 * 2));
    }

    void saveBmpReportsAPictureItCouldNotWrite()
    {
        m_seams->saveAnswers.push_back(Q(File("missing/x.bmp")));
        Click(IDC_SAVE_BMP);
        QCOMPARE(m_seams->messages.size(), size_t(1));
        QVERIFY(m_seams->messages[0].text.contains("x.bmp"));
    }

    // Only a result of Create that no Save has written holds the exit up.
    void exitAsksOnlyForAnUnsavedResult_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<int>("exitBy");  // 0 Escape, 1 the Exit button, 2 the close box
        QTest::addColumn<bool>("asks");
        QTest::newRow("a frame, Escape") << "" << 0 << false;
        QTest::newRow("a frame, close box") << "" << 2 << false;
        QTest::newRow("result, save cancelled, Escape") << "create" << 0 << true;
        QTest::newRow("result, save cancelled, Exit") << "create" << 1 << true;
        QTest::newRow("result, save cancelled, close box") << "create" << 2 << true;
        QTest::newRow("result saved by Create") << "create+save" << 0 << false;
        QTest::newRow("result saved later") << "create,save" << 1 << false;
        QTest::newRow("result replaced by the next frame") << "create,next" << 2 << false;
    }
    void exitAsksOnlyForAnUnsavedResult()
    {
        QFETCH(QString, before);
        QFETCH(int, exitBy);
        QFETCH(bool, asks);
        if (before.startsWith("create")) {
            if (before == "create+save")
                m_seams->saveAnswers.push_back(Q(File("result.fit")));
            static_cast<QAbstractButton*>(m_dlg->m_mergeDlg.GetDlgItem(IDC_CREATE))->click();
            QCOMPARE(m_dlg->windowTitle(), QString("Result Image"));
        }
        if (before.endsWith(",save")) {
            m_seams->saveAnswers.push_back(Q(File("later.fit")));
            Click(IDC_SAVE);
            QVERIFY(std::filesystem::exists(File("later.fit")));
        }
        if (before.endsWith(",next"))
            Click(IDC_NEXT);
        auto exit = [&] {
            if (exitBy == 0)
                QTest::keyClick(m_dlg.get(), Qt::Key_Escape);
            else if (exitBy == 1)
                Click(IDC_EXIT);
            else
                m_dlg->close();
        };
        exit();  // the question is answered No
        QCOMPARE(m_seams->questions.size(), size_t(asks ? 1 : 0));
        QCOMPARE(m_dlg->isVisible(), asks);
        if (!asks)
            return;
        QCOMPARE(m_seams->questions[0].text, QString("The result image has not been saved. Exit anyway?"));
        m_seams->questionAnswers.push_back(true);
        exit();
        QVERIFY(!m_dlg->isVisible());
    }
};

QTEST_MAIN(SaveTest)
#include "SaveTest.moc"

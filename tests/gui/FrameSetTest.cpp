// The frame set of the main window: order, wrap-around, deleting, a failed
// load, dropping files and the remembered folder.

#include <fstream>

#include <QMimeData>
#include <QUrl>

#include "GuiTestSupport.h"
#include "settings/Settings.h"

class FrameSetTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ScratchDir> m_scratch;
    std::unique_ptr<SeamRecorder> m_seams;
    std::unique_ptr<CMainDlg> m_dlg;

    std::string File(const char* name) const { return m_scratch->file(name); }
    std::string Folder() const { return m_scratch->path().string() + "/"; }
    QString RememberedFolder() const
    {
        return ReadProfileString(m_dlg->Profile(), "pathOpen", "pathFits");
    }
    std::vector<std::string> Frames() const { return {m_dlg->m_engine.m_files.begin(), m_dlg->m_engine.m_files.end()}; }
    void WriteNotFits(const char* name) const { std::ofstream(File(name)) << "not a FITS file\n"; }

private slots:
    void init()
    {
        m_scratch = std::make_unique<ScratchDir>();
        m_seams = std::make_unique<SeamRecorder>();
        m_dlg = OpenMainWindow(*m_scratch);
        WriteFlatFrame(File("a.fit"), 16, 12, 1.0f);
        WriteFlatFrame(File("B.fit"), 16, 12, 2.0f);
        WriteFlatFrame(File("c.fit"), 16, 12, 3.0f);
    }
    void cleanup()
    {
        m_dlg.reset();
        m_seams.reset();
        m_scratch.reset();
    }

    void startsEmptyWithItsOwnCaption()
    {
        QCOMPARE(m_dlg->windowTitle(), QString("Velmora"));
        QVERIFY(m_dlg->m_engine.m_files.empty());
        QCOMPARE(m_dlg->GetDlgItemText(IDC_INFO), QString("open images"));
        QVERIFY(!m_dlg->GetDlgItem(IDC_MERGE)->isEnabled());
    }

    // The rule of UpdateInfoLine with the Merge Parameters window closed:
    // "Exit" enables the button whatever the set, the next load applies it.
    void mergeNeedsTwoFrames_data()
    {
        QTest::addColumn<int>("frames");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("0") << 0 << false;
        QTest::newRow("1") << 1 << false;
        QTest::newRow("2") << 2 << true;
    }
    void mergeNeedsTwoFrames()
    {
        QFETCH(int, frames);
        QFETCH(bool, enabled);
        const QStringList all{Q(File("a.fit")), Q(File("B.fit"))};
        AddFrames(*m_dlg, *m_seams, frames == 0 ? all.mid(0, 1) : all.mid(0, frames));
        static_cast<QPushButton*>(m_dlg->m_mergeDlg.GetDlgItem(IDC_MERGE_EXIT))->click();
        QVERIFY(!m_dlg->m_mergeDlg.IsWindow());
        if (frames == 0) {
            m_seams->modifiers = Qt::ShiftModifier;  // Del All
            m_dlg->OnDel();
            m_seams->modifiers = Qt::NoModifier;
        } else {
            m_dlg->OnNext();
        }
        QCOMPARE(m_dlg->m_engine.m_files.size(), size_t(frames));
        QCOMPARE(m_dlg->GetDlgItem(IDC_MERGE)->isEnabled(), enabled);
    }

    void addSortsByCharacterCodeAndShowsTheFirstPicked()
    {
        AddFrames(*m_dlg, *m_seams, {Q(File("a.fit")), Q(File("B.fit"))});
        QCOMPARE(Frames(), (std::vector<std::string>{File("B.fit"), File("a.fit")}));
        QCOMPARE(m_dlg->m_strCurrent, File("a.fit"));
        QCOMPARE(m_dlg->windowTitle(), Q(File("a.fit")));
        QCOMPARE(*m_dlg->m_image.PixelAt(0, 0, 0), 1.0f);
        QCOMPARE(m_dlg->m_engine.m_sigmaScale[File("B.fit")][2], 1.0f);
        QVERIFY(m_dlg->m_mergeDlg.IsWindow());  // Add opens Merge Parameters, which disables Merge
        QVERIFY(!m_dlg->GetDlgItem(IDC_MERGE)->isEnabled());
        QCOMPARE(RememberedFolder(), Q(Folder()));
        QCOMPARE(m_seams->openRequests.back().filters.first(), QString("FITS File (*.fits *.fit)"));
    }

    void addingAgainKeepsTheScaleAndAsksInTheRememberedFolder()
    {
        AddFrames(*m_dlg, *m_seams, {Q(File("a.fit"))});
        m_dlg->m_engine.m_sigmaScale[File("a.fit")][0] = 1.4f;
        m_dlg->m_engine.m_deviationValid = true;
        AddFrames(*m_dlg, *m_seams, {Q(File("a.fit"))});
        QCOMPARE(m_seams->openRequests.back().folder, Q(Folder()));
        QCOMPARE(Frames().size(), size_t(1));
        QCOMPARE(m_dlg->m_engine.m_sigmaScale[File("a.fit")][0], 1.4f);
        QVERIFY(!m_dlg->m_engine.m_deviationValid);
    }

    void cancelledAddChangesNothing()
    {
        m_dlg->m_engine.m_deviationValid = true;
        AddFrames(*m_dlg, *m_seams, {});
        QVERIFY(m_dlg->m_engine.m_files.empty());
        QVERIFY(m_dlg->m_engine.m_deviationValid);
        QCOMPARE(RememberedFolder(), QString());
    }

    void prevAndNextWrapAround()
    {
        AddFrames(*m_dlg, *m_seams, {Q(File("c.fit")), Q(File("a.fit")), Q(File("B.fit"))});
        QCOMPARE(m_dlg->m_strCurrent, File("c.fit"));
        m_dlg->OnNext();
        QCOMPARE(m_dlg->m_strCurrent, File("B.fit"));
        QCOMPARE(*m_dlg->m_image.PixelAt(0, 0, 0), 2.0f);
        m_dlg->OnPrev();
        QCOMPARE(m_dlg->m_strCurrent, File("c.fit"));
        m_dlg->OnPrev();
        QCOMPARE(m_dlg->m_strCurrent, File("a.fit"));
        QCOMPARE(m_dlg->windowTitle(), Q(File("a.fit")));
    }

    void deletingTheLastFrameKeepsItsPixels()
    {
        AddFrames(*m_dlg, *m_seams, {Q(File("c.fit"))});
        m_dlg->OnDel();
        QVERIFY(m_dlg->m_engine.m_files.empty());
        QVERIFY(m_dlg->m_engine.m_sigmaScale.empty());
        QCOMPARE(m_dlg->windowTitle(), QString());
        QCOMPARE(m_dlg->m_strCurrent, std::string());
        QVERIFY(m_dlg->m_image.m_pData != nullptr);
        QCOMPARE(*m_dlg->m_image.PixelAt(15, 11, 0), 3.0f);
        m_dlg->OnDel();  // nothing left to delete

        m_dlg->OnNext();
        QVERIFY(m_dlg->m_image.m_pData == nullptr);
        QCOMPARE(m_dlg->windowTitle(), QString());
    }

    void deleteMovesToTheNextFrame()
    {
        AddFrames(*m_dlg, *m_seams, {Q(File("B.fit")), Q(File("a.fit")), Q(File("c.fit"))});
        m_dlg->m_strCurrent = File("c.fit");
        m_dlg->OnDel();
        QCOMPARE(Frames(), (std::vector<std::string>{File("B.fit"), File("a.fit")}));
        QCOMPARE(m_dlg->m_strCurrent, File("B.fit"));
        QVERIFY(!m_dlg->m_engine.m_sigmaScale.count(File("c.fit")));
    }

    void aFailedFirstAddShowsTheBoxAndTheNextFrame()
    {
        WriteNotFits("b.fit");
        AddFrames(*m_dlg, *m_seams, {Q(File("b.fit")), Q(File("a.fit")), Q(File("c.fit"))});
        QCOMPARE(m_seams->messages.size(), size_t(1));
        QCOMPARE(m_seams->messages[0].caption, QString("FITSIO Library Error"));
        QVERIFY(!m_dlg->m_engine.m_files.count(File("b.fit")));
        QVERIFY(m_dlg->m_engine.m_sigmaScale.count(File("b.fit")));
        QCOMPARE(m_dlg->m_strCurrent, File("c.fit"));
        QCOMPARE(*m_dlg->m_image.PixelAt(0, 0, 0), 3.0f);
        QCOMPARE(RememberedFolder(), Q(Folder()));
    }

    void noReadableFrameEndsWithAnEmptySet()
    {
        WriteNotFits("x.fit");
        WriteNotFits("y.fit");
        AddFrames(*m_dlg, *m_seams, {Q(File("x.fit")), Q(File("y.fit"))});
        QCOMPARE(m_seams->messages.size(), size_t(2));
        QVERIFY(m_dlg->m_engine.m_files.empty());
        QCOMPARE(m_dlg->m_strCurrent, std::string());
    }

    void droppedFilesAndFoldersEnterTheSet()
    {
        const std::string sub = File("sub");
        std::filesystem::create_directory(sub);
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(Q(File("c.fit"))), QUrl::fromLocalFile(Q(sub))});
        QDragEnterEvent enter(QPoint(100, 200), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(m_dlg.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(100, 200), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(m_dlg.get(), &drop);
        QCOMPARE(Frames(), (std::vector<std::string>{File("c.fit"), sub}));
        QCOMPARE(m_dlg->m_strCurrent, File("c.fit"));
        QCOMPARE(RememberedFolder(), Q(Folder()));
        QVERIFY(m_seams->messages.empty());
        m_dlg->OnNext();  // the folder fails only when it is loaded
        QCOMPARE(m_seams->messages.size(), size_t(1));
        QCOMPARE(Frames(), (std::vector<std::string>{File("c.fit")}));
        QCOMPARE(m_dlg->m_strCurrent, File("c.fit"));
    }

    // A file manager offers the names as text too; a drop that lands on the
    // gamma box, the info line or a button still adds the frames.
    void aDropOnAnyControlAddsTheFiles_data()
    {
        QTest::addColumn<int>("control");
        QTest::newRow("gamma box") << int(IDC_EDIT_GAMMA);
        QTest::newRow("info line") << int(IDC_INFO);
        QTest::newRow("Save button") << int(IDC_SAVE);
    }
    void aDropOnAnyControlAddsTheFiles()
    {
        QFETCH(int, control);
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(Q(File("c.fit")))});
        data.setText(Q(File("c.fit")));
        const QPoint at = m_dlg->GetDlgItem(control)->geometry().center();
        // Through the window, as the desktop delivers a drop: the window finds the target.
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(m_dlg->windowHandle(), &enter);
        QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(m_dlg->windowHandle(), &drop);
        QCOMPARE(Frames(), (std::vector<std::string>{File("c.fit")}));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_EDIT_GAMMA), QString("10"));
    }

    void aFailedFirstDropLeavesTheOthersUnloaded()
    {
        WriteNotFits("0.fit");
        m_dlg->OnDropFiles({Q(File("0.fit")), Q(File("a.fit")), Q(File("c.fit"))});
        QCOMPARE(m_seams->messages.size(), size_t(1));
        QCOMPARE(m_dlg->m_strCurrent, std::string());
        QVERIFY(m_dlg->m_image.m_pData == nullptr);
        QCOMPARE(m_dlg->windowTitle(), Q(File("0.fit")));
        QCOMPARE(Frames(), (std::vector<std::string>{File("a.fit"), File("c.fit")}));
        m_dlg->OnPrev();
        QCOMPARE(m_dlg->m_strCurrent, File("c.fit"));
    }
};

QTEST_MAIN(FrameSetTest)
#include "FrameSetTest.moc"

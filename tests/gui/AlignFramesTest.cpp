// "Align frames" in the Merge Parameters dialog: its [Params] key, the cache
// it invalidates, and an aligned "Create" equal to velmora-cli merge --align.

#include <filesystem>

#include <QCheckBox>
#include <QProgressBar>
#include <QSettings>
#include <QTreeWidget>

#include "app/CFileListDlg.h"

#include "GuiTestSupport.h"

class AlignFramesTest : public QObject {
    Q_OBJECT

    ScratchDir m_frames;
    std::vector<std::string> m_moved;
    std::unique_ptr<ScratchDir> m_scratch;
    std::unique_ptr<SeamRecorder> m_seams;
    std::unique_ptr<CMainDlg> m_dlg;

    CMergeParamsDlg& Dlg() { return m_dlg->m_mergeDlg; }
    QCheckBox* AlignBox() { return static_cast<QCheckBox*>(Dlg().GetDlgItem(IDC_ALIGN_FRAMES)); }
    void Click(int id) { static_cast<QAbstractButton*>(Dlg().GetDlgItem(id))->click(); }
    QSettings Ini() const { return QSettings(Q(m_scratch->file("Velmora.ini")), QSettings::IniFormat); }

private slots:
    void initTestCase()
    {
        const std::string makeFrames = (std::filesystem::path(VELMORA_CLI).parent_path() / "make-frames").string();
        QCOMPARE(RunCommand(makeFrames + " --count 3 --width 640 --height 480 --dither 15,2 --out " +
                            m_frames.file("moved")),
                 0);
        for (int i = 1; i <= 3; ++i)
            m_moved.push_back(m_frames.file("moved/frame_00" + std::to_string(i) + ".fit"));
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

    void offByDefaultAndKeptInParamsOnceUsed()
    {
        m_dlg->OnOK();
        QCOMPARE(AlignBox()->text(), QString("Align frames"));
        QVERIFY(!AlignBox()->isChecked());
        Click(IDC_MERGE_EXIT);
        QVERIFY(!Ini().contains("Params/Align"));  // a file that never used it stays as it was

        m_dlg->OnOK();
        Click(IDC_ALIGN_FRAMES);
        Click(IDC_MERGE_EXIT);
        QCOMPARE(Ini().value("Params/Align").toInt(), 1);
        m_dlg.reset();
        m_dlg = OpenMainWindow(*m_scratch);
        QVERIFY(m_dlg->m_engine.m_params.m_align);
        m_dlg->OnOK();
        QVERIFY(AlignBox()->isChecked());
        Click(IDC_ALIGN_FRAMES);
        Click(IDC_MERGE_EXIT);
        QCOMPARE(Ini().value("Params/Align").toInt(), 0);
    }

    void togglingInvalidatesTheCache()
    {
        QStringList paths;
        for (const std::string& f : m_moved)
            paths << Q(f);
        AddFrames(*m_dlg, *m_seams, paths);
        Click(IDC_SIGMA_CLIP);
        Click(IDC_VIEW_DEVIATION);  // computes the cache
        QVERIFY(m_dlg->m_engine.m_deviationValid);
        Click(IDC_ALIGN_FRAMES);
        QVERIFY(!m_dlg->m_engine.m_deviationValid);
    }

    void createMatchesTheBatchTool()
    {
        QStringList paths;
        for (const std::string& f : m_moved)
            paths << Q(f);
        AddFrames(*m_dlg, *m_seams, paths);  // the first frame is shown: the reference
        Click(IDC_ALIGN_FRAMES);
        const std::string gui = m_scratch->file("gui.fit");
        m_seams->saveAnswers.push_back(Q(gui));
        Click(IDC_CREATE);
        QVERIFY(m_seams->messages.empty());
        QCOMPARE(Dlg().m_progress->maximum(), 3 * 2);  // alignment step + average pass
        QVERIFY(m_dlg->m_engine.AreAlignmentsCurrent());
        for (const std::string& f : m_moved)
            QVERIFY(m_dlg->m_engine.m_alignments.at(f).m_aligned);

        const std::string cli = m_scratch->file("cli.fit");
        std::string output;
        QCOMPARE(RunCommand(std::string(VELMORA_CLI) + " merge -q --align -o " + cli + " --reference " + m_moved[0] +
                                " " + m_moved[0] + " " + m_moved[1] + " " + m_moved[2],
                            &output),
                 0);
        QVERIFY(ReadBytes(gui) == ReadBytes(cli));

        // The FIT Files list shows each frame's move and stars matched.
        CFileListDlg list(m_dlg.get(), m_dlg.get());
        auto* tree = list.findChild<QTreeWidget*>();
        QVERIFY(tree);
        QCOMPARE(tree->columnCount(), 5);
        QCOMPARE(tree->headerItem()->text(3), QString("Move"));
        QCOMPARE(tree->headerItem()->text(4), QString("Stars"));
        QCOMPARE(tree->topLevelItemCount(), 3);
        QCOMPARE(tree->topLevelItem(0)->text(3), QString("+0.00, +0.00 px, +0.000 deg"));  // the reference
        for (int i = 1; i < 3; ++i) {
            QVERIFY(tree->topLevelItem(i)->text(3).endsWith(" deg"));
            QVERIFY(tree->topLevelItem(i)->text(3) != tree->topLevelItem(0)->text(3));
            QVERIFY(tree->topLevelItem(i)->text(4).toInt() == 0);  // "N (rms px)" is not a bare number
            QVERIFY(tree->topLevelItem(i)->text(4).section(' ', 0, 0).toInt() >= 6);
        }
    }
};

QTEST_MAIN(AlignFramesTest)
#include "AlignFramesTest.moc"

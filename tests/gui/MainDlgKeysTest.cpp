// The main window's keyboard: navigation and gamma keys while frames are
// loaded, keys reaching the focused control otherwise, the captions that follow
// Shift and Ctrl, Enter and F1.

#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include "GuiTestSupport.h"
#include "app/CSpinButton.h"

class MainDlgKeysTest : public QObject {
    Q_OBJECT

    ScratchDir m_scratch;
    std::unique_ptr<SeamRecorder> m_seams;
    std::unique_ptr<CMainDlg> m_dlg;

    QLineEdit* Gamma() const { return static_cast<QLineEdit*>(m_dlg->GetDlgItem(IDC_EDIT_GAMMA)); }
    void FocusGamma(int cursor)
    {
        Gamma()->setFocus();
        Gamma()->setCursorPosition(cursor);
        QCOMPARE(QApplication::focusWidget(), Gamma());
    }
    void AddThreeFrames()
    {
        for (const char* name : {"a.fit", "b.fit", "c.fit"})
            WriteFlatFrame(m_scratch.file(name), 20, 10, 100.0f);
        AddFrames(*m_dlg, *m_seams, {Q(m_scratch.file("b.fit")), Q(m_scratch.file("a.fit")), Q(m_scratch.file("c.fit"))});
        QCOMPARE(m_dlg->m_strCurrent, m_scratch.file("b.fit"));
    }
    void PressModifiers(Qt::KeyboardModifiers held, Qt::Key key)
    {
        m_seams->modifiers = held;
        QTest::keyPress(QApplication::focusWidget(), key, held);
    }

private slots:
    void init()
    {
        m_seams = std::make_unique<SeamRecorder>();
        m_dlg = OpenMainWindow(m_scratch);
    }
    void cleanup()
    {
        m_dlg.reset();
        m_seams.reset();
    }

    void keysWithoutFramesReachTheFocusedControl()
    {
        QCOMPARE(Gamma()->text(), QString("10"));
        FocusGamma(2);
        QTest::keyClick(Gamma(), Qt::Key_Left);
        QCOMPARE(Gamma()->cursorPosition(), 1);
        QTest::keyClick(Gamma(), Qt::Key_Up);
        QTest::keyClick(Gamma(), Qt::Key_Down);
        QCOMPARE(m_dlg->m_bitmap.m_gamma, 10);
        QTest::keyClick(Gamma(), Qt::Key_Insert);
        QVERIFY(m_seams->openRequests.empty());
        QTest::keyClick(Gamma(), Qt::Key_Delete);
        QCOMPARE(Gamma()->text(), QString("1"));
        QCOMPARE(m_dlg->m_bitmap.m_gamma, 1);
    }

    void keysWithFramesActEvenInTheGammaBox()
    {
        AddThreeFrames();
        FocusGamma(1);
        QTest::keyClick(Gamma(), Qt::Key_Right);
        QCOMPARE(m_dlg->m_strCurrent, m_scratch.file("c.fit"));
        QTest::keyClick(Gamma(), Qt::Key_PageDown);
        QCOMPARE(m_dlg->m_strCurrent, m_scratch.file("a.fit"));
        QTest::keyClick(Gamma(), Qt::Key_Left);
        QCOMPARE(m_dlg->m_strCurrent, m_scratch.file("c.fit"));
        QTest::keyClick(Gamma(), Qt::Key_PageUp);
        QCOMPARE(m_dlg->m_strCurrent, m_scratch.file("b.fit"));
        QCOMPARE(Gamma()->cursorPosition(), 1);
        QCOMPARE(Gamma()->text(), QString("10"));

        QTest::keyClick(Gamma(), Qt::Key_Delete);
        QCOMPARE(m_dlg->m_engine.m_files.size(), size_t(2));
        QVERIFY(!m_dlg->m_engine.m_files.count(m_scratch.file("b.fit")));
        QCOMPARE(m_dlg->m_strCurrent, m_scratch.file("c.fit"));
        QCOMPARE(Gamma()->text(), QString("10"));

        const size_t asked = m_seams->openRequests.size();
        QTest::keyClick(Gamma(), Qt::Key_Insert);
        QCOMPARE(m_seams->openRequests.size(), asked + 1);

        m_seams->modifiers = Qt::ShiftModifier;
        QTest::keyClick(Gamma(), Qt::Key_Delete, Qt::ShiftModifier);
        QVERIFY(m_dlg->m_engine.m_files.empty());
        QCOMPARE(m_dlg->windowTitle(), QString());
    }

    void gammaKeys_data()
    {
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("expected");
        QTest::newRow("98 up") << 98 << int(Qt::Key_Up) << 100;
        QTest::newRow("100 up") << 100 << int(Qt::Key_Up) << 100;
        QTest::newRow("3 down") << 3 << int(Qt::Key_Down) << 0;
        QTest::newRow("10 down") << 10 << int(Qt::Key_Down) << 5;
        QTest::newRow("typed 150 down") << 150 << int(Qt::Key_Down) << 145;
    }
    void gammaKeys()
    {
        QFETCH(int, start);
        QFETCH(int, key);
        QFETCH(int, expected);
        AddThreeFrames();
        Gamma()->setText(QString::number(start));
        QCOMPARE(m_dlg->m_bitmap.m_gamma, start);
        FocusGamma(0);
        QTest::keyClick(Gamma(), Qt::Key(key));
        QCOMPARE(m_dlg->m_bitmap.m_gamma, expected);
        QCOMPARE(Gamma()->text(), QString::number(expected));
    }

    void gammaBoxIgnoresWhatIsNoNumber()
    {
        for (const char* text : {"", "abc", "-5", "99999999999"}) {
            Gamma()->setText("42");
            Gamma()->setText(text);
            QCOMPARE(m_dlg->m_bitmap.m_gamma, 42);
        }
    }

    void spinStepsStayInRange()
    {
        auto* spin = static_cast<CSpinButton*>(m_dlg->GetDlgItem(IDC_SPIN_GAMMA));
        Gamma()->setText("99");
        spin->Step(1);
        QCOMPARE(m_dlg->m_bitmap.m_gamma, 100);
        spin->Step(1);
        QCOMPARE(m_dlg->m_bitmap.m_gamma, 100);
        QCOMPARE(Gamma()->text(), QString("100"));
        Gamma()->setText("0");
        spin->Step(-1);
        QCOMPARE(m_dlg->m_bitmap.m_gamma, 0);
        spin->Step(1);
        QCOMPARE(m_dlg->m_bitmap.m_gamma, 1);
    }

    void captionsFollowShiftAndCtrl()
    {
        QCOMPARE(m_dlg->GetDlgItemText(IDC_DEL), QString("Del"));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_SAVE), QString("Save..."));
        PressModifiers(Qt::ShiftModifier, Qt::Key_Shift);
        QCOMPARE(m_dlg->GetDlgItemText(IDC_DEL), QString("Del All"));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_SAVE), QString("Save UInt"));
        PressModifiers(Qt::ShiftModifier | Qt::ControlModifier, Qt::Key_Control);
        QCOMPARE(m_dlg->GetDlgItemText(IDC_DEL), QString("Del All"));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_SAVE), QString("Save Int"));
        PressModifiers(Qt::ControlModifier, Qt::Key_Shift);
        QCOMPARE(m_dlg->GetDlgItemText(IDC_DEL), QString("Del All"));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_SAVE), QString("Save Int"));
        PressModifiers(Qt::NoModifier, Qt::Key_Control);
        QCOMPARE(m_dlg->GetDlgItemText(IDC_DEL), QString("Del"));
        QCOMPARE(m_dlg->GetDlgItemText(IDC_SAVE), QString("Save Float"));
    }

    void shiftClickOnDelDeletesAll()
    {
        AddThreeFrames();
        m_seams->modifiers = Qt::ShiftModifier | Qt::ControlModifier;
        static_cast<QPushButton*>(m_dlg->GetDlgItem(IDC_DEL))->click();
        QVERIFY(m_dlg->m_engine.m_files.empty());
        QVERIFY(m_dlg->m_engine.m_sigmaScale.empty());
    }

    void enterNeverClosesTheWindow()
    {
        AddThreeFrames();
        m_dlg->m_mergeDlg.OnCancel();  // Add opened Merge Parameters, which disables Merge
        m_dlg->GetDlgItem(IDC_MERGE)->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QVERIFY(m_dlg->isVisible());
        QVERIFY(m_dlg->m_mergeDlg.IsWindow());
        QCOMPARE(m_dlg->result(), 0);
    }

    void f1ShowsTheAboutBox()
    {
        QString title;
        QString texts;
        QTimer::singleShot(0, this, [&] {
            QWidget* box = QApplication::activeModalWidget();
            QVERIFY(box && box != m_dlg.get());
            title = box->windowTitle();
            for (const QLabel* label : box->findChildren<QLabel*>())
                texts += label->text() + "|";
            static_cast<QDialog*>(box)->accept();
        });
        QTest::keyClick(m_dlg.get(), Qt::Key_F1);
        QCOMPARE(title, QString("About Velmora"));
        QVERIFY2(texts.contains("Velmora Version 1.0"), qPrintable(texts));
        QVERIFY(m_dlg->isVisible());
    }
};

QTEST_MAIN(MainDlgKeysTest)
#include "MainDlgKeysTest.moc"

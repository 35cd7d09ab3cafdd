// The main window as template 102 lays it out, and the button row's context
// menu with the About command.

#include <QAction>
#include <QMenu>
#include <QTimer>

#include "GuiTestSupport.h"
#include "app/DialogUnits.h"

class MainDlgLayoutTest : public QObject {
    Q_OBJECT

    ScratchDir m_scratch;
    SeamRecorder m_seams;

    // The actions of the popup menu that opens after a right click at point.
    QStringList MenuAfterRightClick(QWidget* target, QPoint point)
    {
        QStringList actions;
        QTimer::singleShot(0, this, [&] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                for (const QAction* action : menu->actions())
                    actions << action->text();
                menu->close();
            }
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, point, target->mapToGlobal(point));
        QApplication::sendEvent(target, &event);
        QCoreApplication::processEvents();
        return actions;
    }

private slots:
    void controlsSitAtTheirDialogUnitPositions_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QRect>("units");
        QTest::newRow("Merge") << int(IDC_MERGE) << "Merge" << QRect(442, 7, 36, 14);
        QTest::newRow("Exit") << int(IDC_EXIT) << "Exit" << QRect(563, 7, 39, 14);
        QTest::newRow("Add") << int(IDC_ADD) << "Add..." << QRect(7, 7, 41, 14);
        QTest::newRow("1:1") << int(IDC_NO_SCALE) << "1:1" << QRect(180, 9, 18, 11);
        QTest::newRow("gamma") << int(IDC_EDIT_GAMMA) << "10" << QRect(203, 11, 25, 13);
        QTest::newRow("info") << int(IDC_INFO) << "open images" << QRect(237, 7, 201, 15);
        QTest::newRow("Save BMP") << int(IDC_SAVE_BMP) << "Save BMP..." << QRect(522, 7, 38, 14);
    }
    void controlsSitAtTheirDialogUnitPositions()
    {
        QFETCH(int, id);
        QFETCH(QString, caption);
        QFETCH(QRect, units);
        CMainDlg dlg(Q(m_scratch.file("Velmora.ini")));
        const QFont font = DialogFont();
        QCOMPARE(dlg.size(), MapDialogRect(font, 0, 0, 613, 455).size());
        QCOMPARE(dlg.windowTitle(), QString("Velmora"));
        QCOMPARE(dlg.GetDlgItem(id)->geometry(),
                 MapDialogRect(font, units.x(), units.y(), units.width(), units.height()));
        QCOMPARE(dlg.GetDlgItemText(id), caption);
    }

    void dialogUnitsFollowTheFont()
    {
        QFont font = DialogFont();
        const QRect small = MapDialogRect(font, 0, 0, 400, 800);
        font.setPointSize(16);
        const QRect large = MapDialogRect(font, 0, 0, 400, 800);
        QVERIFY(large.width() > small.width() && large.height() > small.height());
        QCOMPARE(MapDialogRect(font, 4, 8, 0, 0).topLeft(),
                 QPoint(MapDialogRect(font, 0, 0, 4, 8).width(), MapDialogRect(font, 0, 0, 4, 8).height()));
    }

    void buttonRowOffersAboutThePreviewDoesNot()
    {
        auto dlg = OpenMainWindow(m_scratch);
        QWidget* add = dlg->GetDlgItem(IDC_ADD);
        QCOMPARE(MenuAfterRightClick(add, QPoint(3, 3)), QStringList{"&About Velmora..."});
        const QPoint inPreview(dlg->m_rcPreview.left + 20, dlg->m_rcPreview.top + 20);
        QCOMPARE(MenuAfterRightClick(dlg.get(), inPreview), QStringList());
    }
};

QTEST_MAIN(MainDlgLayoutTest)
#include "MainDlgLayoutTest.moc"

// Start-up and the settings file: a first start writes every key beside the
// executable, what the user changed comes back on the next start, and an
// executable folder that cannot be written falls back to the user's folder.

#include <QFile>
#include <QLineEdit>
#include <QTimer>

#include "GuiTestSupport.h"
#include "settings/Settings.h"
#include "app/CVelmoraApp.h"

class SettingsTest : public QObject {
    Q_OBJECT

private slots:
    void firstStartWritesAllKeysBesideTheExecutable()
    {
        const QString path = SettingsFilePath();
        QCOMPARE(path, QApplication::applicationFilePath() + "Velmora.ini");
        QFile::remove(path);
        QString caption;
        QTimer::singleShot(0, this, [&] {
            QWidget* window = QApplication::activeModalWidget();
            QVERIFY(window);
            caption = window->windowTitle();
            window->close();
        });
        QCOMPARE(CVelmoraApp().InitInstance(), 0);
        QCOMPARE(caption, QString("Velmora"));

        QSettings written(path, QSettings::IniFormat);
        const QStringList expected{"LightFrame/SizeX", "LightFrame/SizeY", "LightFrame/StartX", "LightFrame/StartY",
                                   "NoiseFrame/SizeX", "NoiseFrame/SizeY", "NoiseFrame/StartX", "NoiseFrame/StartY",
                                   "Preview/NoScale", "Preview/PreviewGamma", "PreviewWnd/Bottom", "PreviewWnd/Left",
                                   "PreviewWnd/Right", "PreviewWnd/Top"};
        QStringList keys = written.allKeys();
        keys.sort();
        QCOMPARE(keys, expected);
        QCOMPARE(written.value("Preview/PreviewGamma").toInt(), 10);
        QCOMPARE(written.value("Preview/NoScale").toInt(), 0);
        for (const char* key : {"NoiseFrame/StartX", "NoiseFrame/SizeY", "LightFrame/StartY", "LightFrame/SizeX"})
            QCOMPARE(written.value(key).toInt(), 0);
        QVERIFY(written.value("PreviewWnd/Right").toInt() > written.value("PreviewWnd/Left").toInt());
        QFile::remove(path);
    }

    void changesComeBackOnTheNextStart()
    {
        ScratchDir scratch;
        SeamRecorder seams;
        WriteFlatFrame(scratch.file("a.fit"), 8, 8, 1.0f);
        QRect placed;
        {
            auto dlg = OpenMainWindow(scratch);
            AddFrames(*dlg, seams, {Q(scratch.file("a.fit"))});
            static_cast<QLineEdit*>(dlg->GetDlgItem(IDC_EDIT_GAMMA))->setText("35");
            static_cast<QPushButton*>(dlg->GetDlgItem(IDC_NO_SCALE))->click();
            dlg->m_engine.m_rcNoise = ImageRect{1, 2, 30, 40};
            dlg->m_engine.m_rcLight = ImageRect{5, 6, 70, 80};
            dlg->setGeometry(37, 41, 900, 700);
            placed = dlg->frameGeometry();
            QTest::keyClick(dlg.get(), Qt::Key_Escape);
            QVERIFY(!dlg->isVisible());
        }
        auto dlg = OpenMainWindow(scratch);
        QCOMPARE(dlg->m_bitmap.m_gamma, 35);
        QCOMPARE(static_cast<QLineEdit*>(dlg->GetDlgItem(IDC_EDIT_GAMMA))->text(), QString("35"));
        QVERIFY(dlg->m_bNoScale);
        QVERIFY(static_cast<QPushButton*>(dlg->GetDlgItem(IDC_NO_SCALE))->isChecked());
        QCOMPARE(dlg->m_engine.m_rcNoise, (ImageRect{1, 2, 30, 40}));
        QCOMPARE(dlg->m_engine.m_rcLight, (ImageRect{5, 6, 70, 80}));
        QCOMPARE(dlg->frameGeometry(), placed);
        QTest::qWait(0);
        QCOMPARE(dlg->frameGeometry(), placed);
        AddFrames(*dlg, seams, {});
        QCOMPARE(seams.openRequests.back().folder, Q(scratch.path().string() + "/"));
    }

    void settingsPathRule_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("expected");
        QTest::newRow("own name") << "bin/velmora" << "bin/Velmora.ini";
        QTest::newRow("other name") << "bin/other" << "bin/otherVelmora.ini";
        // /proc takes no new folders, not even from root.
        QTest::newRow("unwritable, own name") << "/proc/velmora-absent/velmora" << "config/Velmora.ini";
        QTest::newRow("unwritable, other name") << "/proc/velmora-absent/other" << "config/otherVelmora.ini";
    }
    void settingsPathRule()
    {
        QFETCH(QString, executable);
        QFETCH(QString, expected);
        ScratchDir scratch;
        const QString root = Q(scratch.path().string()) + "/";
        QDir().mkpath(root + "bin");
        const QString exe = executable.startsWith('/') ? executable : root + executable;
        QCOMPARE(SettingsFilePathFor(exe, root + "config"), root + expected);
    }

    void fallbackSettingsAreWrittenThere()
    {
        ScratchDir scratch;
        const QString path = SettingsFilePathFor("/proc/velmora-absent/velmora", Q(scratch.file("config")));
        {
            CMainDlg dlg(path);
            dlg.show();
            dlg.reject();
        }
        QVERIFY(QFile::exists(path));
        QCOMPARE(QSettings(path, QSettings::IniFormat).value("Preview/PreviewGamma").toInt(), 10);
    }
};

QTEST_MAIN(SettingsTest)
#include "SettingsTest.moc"

// Broken frames in the window: LoadFrame reports each in the "FITSIO Library
// Error" box, drops it from the frame set and goes on with the next frame.

#include <filesystem>
#include <functional>

#include "GuiTestSupport.h"

namespace fs = std::filesystem;

// Writes a broken frame into the scratch folder and returns its path.
using Writer = std::function<std::string(const ScratchDir&)>;
Q_DECLARE_METATYPE(Writer)

class BadFrameTest : public QObject {
    Q_OBJECT

private slots:
    void brokenFrameIsDroppedAndTheSetGoesOn_data()
    {
        QTest::addColumn<Writer>("write");
        auto bytes = [](std::string content) {
            return Writer([content](const ScratchDir& d) {
                WriteBytes(d.file("b bad.fit"), content);
                return d.file("b bad.fit");
            });
        };
        QTest::newRow("empty") << bytes("");
        QTest::newRow("text") << bytes("not a frame\n");
        QTest::newRow("NAXIS 4") << bytes(RawFits(ImageCards(8, {4, 4, 3, 2}), 2880));
        QTest::newRow("data cut short") << bytes(RawFits(ImageCards(16, {400, 300}), 2880));
        QTest::newRow("directory") << Writer([](const ScratchDir& d) {
            fs::create_directory(d.file("b folder.fit"));
            return d.file("b folder.fit");
        });
        QTest::newRow("Rice block size 0") << Writer([](const ScratchDir& d) {
            WritePatchedRiceFits(d.file("b rice.fit"), "ZVAL1   =                   32", "ZVAL1   =                    0");
            return d.file("b rice.fit");
        });
        QTest::newRow("path beyond 1024") << Writer([](const ScratchDir& d) {
            std::string deep = d.path().string() + "/b";
            while (deep.size() <= 1024)
                deep += "/tiefer \u00e4";
            fs::create_directories(deep);
            WriteFlatFrame(d.file("short.fit"), 8, 8, 5.0f);  // CFITSIO cannot name the long path
            fs::rename(d.file("short.fit"), deep + "/frame.fit");
            return deep + "/frame.fit";
        });
    }
    void brokenFrameIsDroppedAndTheSetGoesOn()
    {
        QFETCH(Writer, write);
        ScratchDir scratch;
        SeamRecorder seams;
        WriteFlatFrame(scratch.file("a.fit"), 8, 8, 1.0f);
        WriteFlatFrame(scratch.file("c.fit"), 8, 8, 3.0f);
        const std::string bad = write(scratch);
        auto dlg = OpenMainWindow(scratch);
        AddFrames(*dlg, seams, {Q(scratch.file("a.fit")), Q(bad), Q(scratch.file("c.fit"))});
        seams.messages.clear();

        QVERIFY(!dlg->LoadFrame(bad));
        QCOMPARE(seams.messages.size(), size_t{1});
        QCOMPARE(seams.messages[0].caption, QString("FITSIO Library Error"));
        QVERIFY(!seams.messages[0].text.isEmpty());
        QCOMPARE(dlg->m_engine.m_files.size(), size_t{2});
        QVERIFY(!dlg->m_engine.m_files.count(bad));
        QVERIFY(dlg->isVisible());
        QVERIFY(dlg->m_bitmap.HasBitmap());  // the next frame is on screen
    }

    // CFITSIO quotes the bytes of a header it cannot read; they reach the box
    // escaped, the readable text around them unchanged.
    void rawBytesOfABrokenFileAreShownEscaped()
    {
        ScratchDir scratch;
        SeamRecorder seams;
        WriteBytes(scratch.file("broken.fit"), std::string("SIMPL\x01\x02=                    T") + std::string(2880, ' '));
        auto dlg = OpenMainWindow(scratch);
        AddFrames(*dlg, seams, {Q(scratch.file("broken.fit"))});
        QCOMPARE(seams.messages.size(), size_t{1});
        const QString text = seams.messages[0].text;
        QVERIFY2(text.contains("SIMPL\\x01\\x02="), qPrintable(text));
        for (const QChar c : text)
            QVERIFY2(c.isPrint() || c == '\r' || c == '\n' || c == '\t', qPrintable(text));
    }
};

QTEST_MAIN(BadFrameTest)
#include "BadFrameTest.moc"

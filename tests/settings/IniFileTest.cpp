#include "settings/IniFile.h"
#include "support/ScratchFiles.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarvok;
using tarvok::test::readFile;
using tarvok::test::writeFile;

namespace {

class TempFolder : public ::testing::Test {
protected:
    QString path(const QString& name = QStringLiteral("test.ini")) const {
        return m_dir.path() + QLatin1Char('/') + name;
    }
    QTemporaryDir m_dir;
};

class IniFileTest : public TempFolder, public ::testing::WithParamInterface<const char*> {
protected:
    // Joins lines with the line end under test.
    QByteArray lines(std::initializer_list<const char*> list) const {
        QByteArray text;
        for (const char* line : list)
            text += QByteArray(line) + GetParam();
        return text;
    }
};

TEST_P(IniFileTest, ReadsOddLayouts) {
    const QByteArray longValue(400, 'v');
    ASSERT_TRUE(writeFile(path(), lines({
        "orphan=before any section",
        "; a comment=not a key",
        "[Other]",
        "Key=other section",
        "",
        "  [ Settings ]  ",
        "  Key  =  padded value\t ",
        "key=second of the same name",
        "Quoted=\"  kept blanks  \"",
        "HalfQuote=\"open",
        "NoEquals",
        "Empty=",
        "Long=" + longValue,
        "[settings]",
        "Later=merged section",
        "Key=not the first",
    })));
    const QString p = path();
    EXPECT_EQ(ini::read("Settings", "Key", p), "padded value");
    EXPECT_EQ(ini::read("SETTINGS", "key", p), "padded value");
    EXPECT_EQ(ini::read("Other", "Key", p), "other section");
    EXPECT_EQ(ini::read("Settings", "Quoted", p), "  kept blanks  ");
    EXPECT_EQ(ini::read("Settings", "HalfQuote", p), "\"open");
    EXPECT_EQ(ini::read("Settings", "NoEquals", p), "");
    EXPECT_EQ(ini::read("Settings", "Later", p), "merged section");
    EXPECT_EQ(ini::read("Settings", "Long", p), QString(354, QLatin1Char('v')));
    EXPECT_EQ(ini::read("Settings", "orphan", p), "");
    EXPECT_EQ(ini::read("Settings", "; a comment", p), "");
    EXPECT_EQ(ini::read("Settings", "Missing", p), "");
    EXPECT_EQ(ini::read("Missing", "Key", p), "");
    EXPECT_EQ(ini::read("Settings", "Key", path("absent.ini")), "");
}

TEST_P(IniFileTest, WritesKeepEveryOtherLine) {
    const QByteArray before = lines({
        "; keep me",
        "[A]",
        "one=1",
        "",
        "[B]",
        "two = 2",
        "",
    });
    ASSERT_TRUE(writeFile(path(), before));
    ASSERT_TRUE(ini::write("b", "TWO", "zwei", path()));
    ASSERT_TRUE(ini::write("A", "three", "3", path()));
    ASSERT_TRUE(ini::write("C", "four", "4", path()));
    EXPECT_EQ(readFile(path()), lines({
        "; keep me",
        "[A]",
        "one=1",
        "three=3",
        "",
        "[B]",
        "two=zwei",
        "",
        "[C]",
        "four=4",
    }));
}

INSTANTIATE_TEST_SUITE_P(LineEnds, IniFileTest, ::testing::Values("\r\n", "\n"),
                         [](const auto& info) {
                             return std::string(info.param[0] == '\r' ? "CrLf" : "Lf");
                         });

using IniFileWriteTest = TempFolder;

TEST_F(IniFileWriteTest, NewFileIsCrLfAndEveryValueReadsBack) {
    const QString p = path(QStringLiteral("new.ini"));
    ASSERT_TRUE(ini::write("Rules", "1", "plain", p));
    EXPECT_EQ(readFile(p), "[Rules]\r\n1=plain\r\n");

    const QStringList values = {
        "", "  leading and trailing  ", "\"quoted\"", "\"", "a=b=c", "; not a comment",
        "[not a section]", QString::fromUtf8("Grüße – ☃"), "tab\tinside",
    };
    for (int i = 0; i < values.size(); ++i)
        ASSERT_TRUE(ini::write("Rules", QString::number(i), values[i], p));
    for (int i = 0; i < values.size(); ++i)
        EXPECT_EQ(ini::read("Rules", QString::number(i), p), values[i]) << i;

    // A line break cannot be stored; it must not be able to start a line of its own.
    ASSERT_TRUE(ini::write("Rules", "x", "a\r\n[Evil]\r\ny=z", p));
    EXPECT_EQ(ini::read("Rules", "x", p), "a  [Evil]  y=z");
    EXPECT_EQ(ini::read("Evil", "y", p), "");
}

TEST_F(IniFileWriteTest, RefusesNamesThatCannotBeReadBack) {
    const QString p = path();
    EXPECT_FALSE(ini::write("", "k", "v", p));
    EXPECT_FALSE(ini::write("S", " ", "v", p));
    EXPECT_FALSE(ini::write("S]", "k", "v", p));
    EXPECT_FALSE(ini::write("S", "k=1", "v", p));
    EXPECT_FALSE(ini::write("S", "a\nb", "v", p));
    EXPECT_FALSE(QFile::exists(p));
}

TEST_F(IniFileWriteTest, Windows1252FilesReadAndStayReadable) {
    const QString p = path();
    const QByteArray original = "[S]\r\nname=Caf\xE9 \x80 \x8D\r\nother=x\r\n";
    ASSERT_TRUE(writeFile(p, original));
    EXPECT_EQ(ini::read("S", "name", p), QString::fromUtf8("Café € \u008D"));

    // Plain ASCII changes keep the rest of the file byte for byte.
    ASSERT_TRUE(ini::write("S", "other", "y", p));
    EXPECT_EQ(readFile(p), "[S]\r\nname=Caf\xE9 \x80 \x8D\r\nother=y\r\n");

    // Non-ASCII text turns the file into UTF-8 and every value still reads the same.
    ASSERT_TRUE(ini::write("S", "other", QString::fromUtf8("ñ"), p));
    EXPECT_TRUE(readFile(p).isValidUtf8());
    EXPECT_EQ(ini::read("S", "name", p), QString::fromUtf8("Café € \u008D"));
    EXPECT_EQ(ini::read("S", "other", p), QString::fromUtf8("ñ"));

    // A UTF-8 file with a byte-order mark keeps it.
    const QString bom = path(QStringLiteral("bom.ini"));
    ASSERT_TRUE(writeFile(bom, "\xEF\xBB\xBF[S]\nname=Caf\xC3\xA9\n"));
    EXPECT_EQ(ini::read("s", "NAME", bom), QString::fromUtf8("Café"));
    ASSERT_TRUE(ini::write("S", "more", "1", bom));
    EXPECT_EQ(readFile(bom), "\xEF\xBB\xBF[S]\nname=Caf\xC3\xA9\nmore=1\n");
}

TEST_F(IniFileWriteTest, SeesChangesMadeBehindItsBack) {
    const QString p = path();
    // Same size, rewritten in place at once: the modification time may not even change.
    for (char c = 'a'; c <= 'e'; ++c) {
        ASSERT_TRUE(writeFile(p, QByteArray("[S]\nk=") + c + '\n'));
        EXPECT_EQ(ini::read("S", "k", p), QString(QLatin1Char(c)));
    }
    QFile::remove(p);
    EXPECT_EQ(ini::read("S", "k", p), "");
}

// A write that cannot finish leaves the file as it was, creates none, and leaves no temporary
// file behind.
TEST_F(IniFileWriteTest, ReadOnlyFolderOrFullDiskFailsAndKeepsTheFile) {
    const QByteArray original = "[Rules]\r\n1=keep\r\n";
    const QString ro = path(QStringLiteral("ro")), small = path(QStringLiteral("small"));
    ASSERT_TRUE(QDir().mkpath(ro) && QDir().mkpath(small));
    auto disk = test::ScratchMount::smallDisk(small, 64);
    TARVOK_REQUIRE_MOUNT(disk);
    for (const QString& folder : {ro, small})
        ASSERT_TRUE(writeFile(folder + QStringLiteral("/policy.rlsp"), original));
    auto readOnly = test::ScratchMount::readOnly(ro);
    TARVOK_REQUIRE_MOUNT(readOnly);
    ASSERT_TRUE(disk.fill());
    for (const QString& folder : {ro, small}) {
        SCOPED_TRACE(folder.toStdString());
        const QString p = folder + QStringLiteral("/policy.rlsp");
        EXPECT_FALSE(ini::write("Rules", "1", QString(300, QLatin1Char('x')), p)); // a change
        EXPECT_FALSE(ini::write("Rules", "2", QString(300, QLatin1Char('x')), p)); // a new key
        EXPECT_FALSE(ini::write("Rules", "1", "x", folder + QStringLiteral("/new.ini")));
        EXPECT_EQ(readFile(p), original);
        EXPECT_EQ(ini::read("Rules", "2", p), "");
        EXPECT_FALSE(QFile::exists(folder + QStringLiteral("/new.ini")));
    }
    EXPECT_EQ(QDir(small).entryList(QDir::Files).size(), 2); // the file and the filler
}

} // namespace

#include "settings/IniFile.h"
#include "support/ScratchFiles.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarvok;
using tarvok::test::readFile;
using tarvok::test::writeFile;

namespace {

// Runs with each line end.
class IniFileTest : public ::testing::TestWithParam<const char*> {
protected:
    QString path() const { return m_dir.filePath(QStringLiteral("test.ini")); }
    QByteArray lines(std::initializer_list<const char*> list) const {
        QByteArray text;
        for (const char* line : list)
            text += QByteArray(line) + GetParam();
        return text;
    }
    QTemporaryDir m_dir;
};

TEST_P(IniFileTest, ReadsOddLayouts) {
    const QByteArray longValue = "Long=" + QByteArray(400, 'v');
    ASSERT_TRUE(writeFile(path(), lines({"orphan=before any section", "; a comment=not a key",
                                         "[Other]", "Key=other section", "", "  [ Settings ]  ",
                                         "  Key  =  padded value\t ", "key=second of the same name",
                                         "Quoted=\"  kept blanks  \"", "HalfQuote=\"open",
                                         "NoEquals", "Empty=", longValue.constData(), "[settings]",
                                         "Later=merged section", "Key=not the first"})));
    const char* const cases[][3] = {
        {"Settings", "Key", "padded value"}, {"SETTINGS", "key", "padded value"},
        {"Other", "Key", "other section"},   {"Settings", "Quoted", "  kept blanks  "},
        {"Settings", "HalfQuote", "\"open"},  {"Settings", "NoEquals", ""},
        {"Settings", "Later", "merged section"}, {"Settings", "orphan", ""},
        {"Settings", "; a comment", ""},     {"Missing", "Key", ""}};
    for (const auto& [section, key, value] : cases)
        EXPECT_EQ(ini::read(section, key, path()), value) << section << '|' << key;
    EXPECT_EQ(ini::read("Settings", "Long", path()), QString(354, QLatin1Char('v')));
    EXPECT_EQ(ini::read("Settings", "Key", path() + "absent"), "");
}

TEST_P(IniFileTest, WritesKeepEveryOtherLine) {
    ASSERT_TRUE(writeFile(path(), lines({"; keep me", "[A]", "one=1", "", "[B]", "two = 2", ""})));
    ASSERT_TRUE(ini::write("b", "TWO", "zwei", path()));
    ASSERT_TRUE(ini::write("A", "three", "3", path()));
    ASSERT_TRUE(ini::write("C", "four", "4", path()));
    EXPECT_EQ(readFile(path()), lines({"; keep me", "[A]", "one=1", "three=3", "", "[B]",
                                       "two=zwei", "", "[C]", "four=4"}));
}

INSTANTIATE_TEST_SUITE_P(LineEnds, IniFileTest, ::testing::Values("\r\n", "\n"),
                         [](const auto& info) { return info.param[0] == '\r' ? "CrLf" : "Lf"; });

TEST(IniFile, NewFileIsCrLfAndEveryValueReadsBack) {
    QTemporaryDir dir;
    const QString p = dir.filePath(QStringLiteral("new.ini"));
    // Names that could not be read back are refused, and no file is made for them.
    const std::pair<const char*, const char*> badNames[] = {
        {"", "k"}, {"S", " "}, {"S]", "k"}, {"S", "k=1"}, {"S", "a\nb"}};
    for (const auto& [section, key] : badNames)
        EXPECT_FALSE(ini::write(section, key, "v", p)) << section << '|' << key;
    EXPECT_FALSE(QFile::exists(p));

    ASSERT_TRUE(ini::write("Rules", "1", "plain", p));
    EXPECT_EQ(readFile(p), "[Rules]\r\n1=plain\r\n");
    const QStringList values = {
        "", "  leading and trailing  ", "\"quoted\"", "\"", "a=b=c", "; not a comment",
        "[not a section]", QString::fromUtf8("Grüße – ☃"), "tab\tinside"};
    for (int i = 0; i < values.size(); ++i)
        ASSERT_TRUE(ini::write("Rules", QString::number(i), values[i], p));
    for (int i = 0; i < values.size(); ++i)
        EXPECT_EQ(ini::read("Rules", QString::number(i), p), values[i]) << i;
    // A line break cannot be stored; it must not be able to start a line of its own.
    ASSERT_TRUE(ini::write("Rules", "x", "a\r\n[Evil]\r\ny=z", p));
    EXPECT_EQ(ini::read("Rules", "x", p), "a  [Evil]  y=z");
    EXPECT_EQ(ini::read("Evil", "y", p), "");
}

TEST(IniFile, Windows1252FilesReadAndStayReadable) {
    QTemporaryDir dir;
    const QString p = dir.filePath(QStringLiteral("test.ini"));
    const QString name = QString::fromUtf8("Café € \u008D");
    ASSERT_TRUE(writeFile(p, "[S]\r\nname=Caf\xE9 \x80 \x8D\r\nother=x\r\n"));
    EXPECT_EQ(ini::read("S", "name", p), name);
    // Plain ASCII changes keep the rest of the file byte for byte.
    ASSERT_TRUE(ini::write("S", "other", "y", p));
    EXPECT_EQ(readFile(p), "[S]\r\nname=Caf\xE9 \x80 \x8D\r\nother=y\r\n");
    // Non-ASCII text turns the file into UTF-8 and every value still reads the same.
    ASSERT_TRUE(ini::write("S", "other", QString::fromUtf8("ñ"), p));
    EXPECT_TRUE(readFile(p).isValidUtf8());
    EXPECT_EQ(ini::read("S", "name", p), name);
    EXPECT_EQ(ini::read("S", "other", p), QString::fromUtf8("ñ"));

    // A UTF-8 file with a byte-order mark keeps it.
    ASSERT_TRUE(writeFile(p, "\xEF\xBB\xBF[S]\nname=Caf\xC3\xA9\n"));
    EXPECT_EQ(ini::read("s", "NAME", p), QString::fromUtf8("Café"));
    ASSERT_TRUE(ini::write("S", "more", "1", p));
    EXPECT_EQ(readFile(p), "\xEF\xBB\xBF[S]\nname=Caf\xC3\xA9\nmore=1\n");
}

TEST(IniFile, SeesChangesMadeBehindItsBack) {
    QTemporaryDir dir;
    const QString p = dir.filePath(QStringLiteral("test.ini"));
    // Same size, rewritten in place at once: the modification time may not even change.
    for (char c = 'a'; c <= 'e'; ++c) {
        ASSERT_TRUE(writeFile(p, QByteArray("[S]\nk=") + c + '\n'));
        EXPECT_EQ(ini::read("S", "k", p), QString(QLatin1Char(c)));
    }
    QFile::remove(p);
    EXPECT_EQ(ini::read("S", "k", p), "");
}

} // namespace

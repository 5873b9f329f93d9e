#include "support/ScratchFiles.h"
#include "settings/LanguageFile.h"
#include "settings/LanguageKeys.h"

#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarvok;
using tarvok::test::readFile;
using tarvok::test::writeFile;

namespace {

const QString Shipped = QStringLiteral(TARVOK_LANG_SOURCE_DIR);

// The language files that ship with the program.
class ShippedLanguage : public ::testing::TestWithParam<const char*> {};

TEST_P(ShippedLanguage, HoldsEveryKeyTheProgramReads) {
    const QString path = Shipped + '/' + GetParam() + ".lng";
    const QByteArray bytes = readFile(path);
    ASSERT_FALSE(bytes.isEmpty());
    EXPECT_EQ(bytes.count('\n'), bytes.count("\r\n")) << "every line ends with CR LF";
    const LanguageFile file(path);
    for (const auto& [section, key] : language::allKeys()) {
        const QString text = file.text(section, key);
        EXPECT_TRUE(!text.isEmpty() && !text.contains(QChar::ReplacementCharacter))
            << section.toStdString() << ' ' << key.toStdString();
    }
    EXPECT_TRUE(file.text("Main", 108).contains("Tarvok"));
    RuleWords words;
    EXPECT_TRUE(file.fill(words)) << "the rule words are sound";
}

INSTANTIATE_TEST_SUITE_P(Files, ShippedLanguage, ::testing::Values("English", "Japanese", "Russian"),
                         [](const auto& info) { return std::string(info.param); });

TEST(ShippedLanguages, DecodeWithTheirOwnCodePageAndEnglishHoldsTheBuiltInWording) {
    const LanguageFile japanese(Shipped + "/Japanese.lng");
    const LanguageFile russian(Shipped + "/Russian.lng");
    // Stored in the code page, not in UTF-8, as files from Windows are.
    for (const auto& [file, characterSet] : {std::pair{&japanese, 128}, {&russian, 204}}) {
        EXPECT_EQ(file->characterSet(), characterSet);
        EXPECT_FALSE(readFile(file->path()).isValidUtf8()) << characterSet;
    }
    EXPECT_EQ(japanese.text("Main", 45), QString::fromUtf8("ポリシー"));
    EXPECT_EQ(japanese.text("Add", 27), QString::fromUtf8("ルール番号 ")); // blank kept by quotes

    // English holds the wording built into the program.
    const LanguageFile english(Shipped + "/English.lng");
    TextHolders holders;
    holders.policy.clear();
    english.fill(holders);
    EXPECT_EQ(holders, TextHolders{});
    RuleWords words;
    words.accept.clear();
    english.fill(words);
    EXPECT_EQ(words, RuleWords{});
    EXPECT_EQ(english.text("Alert", 1), "The following process(es) is (are) ");
}

class LanguageFolder : public ::testing::Test {
protected:
    QString folder() const { return m_dir.path(); }
    QString language(const QString& name) const { return languageFilePath(folder(), name); }
    void SetUp() override { ASSERT_TRUE(QDir().mkpath(folder() + "/Language")); }
    QTemporaryDir m_dir;
};

TEST_F(LanguageFolder, MissingKeysLeaveHoldersEmpty) {
    ASSERT_TRUE(writeFile(language("Partial"), "[LANGUAGE]\nCharacterSet=oops\n[Main]\n70=Regel:\n[Add]\n17=annehmen\n"));
    TextHolders holders;
    LanguageFile(language("Partial")).fill(holders);
    EXPECT_EQ(holders.policy, "Regel:");
    EXPECT_EQ(holders.accept, "annehmen");
    EXPECT_EQ(holders.established, "");
}

// With the accept word empty or equal to the block word, every rule read as the same action
// and a block rule cut nothing.
TEST_F(LanguageFolder, DamagedLanguageFileCannotMakeBlockRulesAccept) {
    // An empty text stands for a folder in place of the file.
    const struct { const char *name; QByteArray text; const char *accept, *block; } cases[] = {
        {"NoAddSection", "[LANGUAGE]\r\nCharacterSet=0\r\n[Main]\r\n1=Datei\r\n", "accept", "block"},
        {"Garbage", QByteArray("\x00\xff\xfe=\x01[[\x80\x81\r\n\x00", 13), "accept", "block"},
        {"Folder", {}, "accept", "block"},
        {"SameWords", "[Add]\r\n17=ja\r\n18=ja\r\n14=an\r\n15=aus\r\n", "accept", "block"},
        {"BlankAccept", "[Add]\r\n17=\" \"\r\n18=sperren\r\n", "accept", "sperren"},
        {"AcceptIsTheAnyPortWord", "[Add]\r\n17=alle\r\n18=sperren\r\n8=alle\r\n", "accept", "sperren"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.text.isEmpty() ? QDir().mkpath(language(c.name))
                                     : writeFile(language(c.name), c.text));
        const LanguageFile file(language(c.name));
        RuleWords words;
        EXPECT_FALSE(file.fill(words)) << "the user is told the file is damaged";
        EXPECT_EQ(words.accept, c.accept);
        EXPECT_EQ(words.block, c.block);
        const QStringList all = {words.accept, words.block, words.enabled, words.disabled,
                                 words.anyAddress, words.anyPort, words.noLog, words.noDescription};
        EXPECT_EQ(QSet<QString>(all.begin(), all.end()).size(), all.size()) << all.join('|').toStdString();
        TextHolders holders;
        file.fill(holders);
        EXPECT_EQ(holders.accept, words.accept) << "rows are compared with the same word";
    }
}

TEST_F(LanguageFolder, CodePagesAndUtf8FilesDecode) {
    // Cyrillic in Windows-1251, Greek in 1253, a Russian file saved as UTF-8 by an editor, and a
    // long double-byte value, cut to 354 characters, not bytes.
    const std::pair<QByteArray, QString> cases[] = {
        {"204\r\n[Main]\r\n1=\xCF\xF0\xE8\xE2\xE5\xF2", QString::fromUtf8("Привет")},
        {"161\r\n[Main]\r\n1=\xE3\xE5\xE9\xDC", QString::fromUtf8("γειά")},
        {"204\r\n[Main]\r\n1=\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", QString::fromUtf8("Привет")},
        {"128\r\n[Main]\r\n1=" + QByteArray("\x83\x65").repeated(400), QString(354, QChar(0x30C6))}};
    for (const auto& [text, decoded] : cases) {
        ASSERT_TRUE(writeFile(language("Test"), "[LANGUAGE]\r\nCharacterSet=" + text + "\r\n"));
        EXPECT_EQ(LanguageFile(language("Test")).text("Main", 1), decoded);
    }
    for (int characterSet : {0, 128, 129, 134, 136, 161, 162, 177, 178, 186, 204, 238, 222})
        EXPECT_EQ(decodeCodePage("abc", codePageForCharacterSet(characterSet)), "abc") << characterSet;
}

TEST_F(LanguageFolder, ListsOnlyLanguageFilesAndPreviewsThePickedOne) {
    for (const char* name : {"English.lng", "notes.txt", "old.lng.bak"})
        ASSERT_TRUE(writeFile(folder() + "/Language/" + name, "[LANGUAGE]\r\n"));
    ASSERT_TRUE(QFile::copy(Shipped + "/Japanese.lng", language("Japanese")));
    QStringList names = availableLanguages(folder());
    names.sort();
    EXPECT_EQ(names, QStringList({"English", "Japanese"}));

    const LanguagePreview preview = previewLanguage(folder(), "Japanese");
    EXPECT_EQ(preview.okCaption, QString::fromUtf8("OK(&O)"));
    EXPECT_EQ(preview.selectCaption, QString::fromUtf8("言語を選んでください:"));
    EXPECT_EQ(preview.translator, QString::fromUtf8("Tarvok プロジェクト"));
    EXPECT_FALSE(preview.changeMessage.isEmpty());
    // A picked name without a file previews nothing; it does not fall back to English.
    EXPECT_EQ(previewLanguage(folder(), "Gone").okCaption, "");
}

} // namespace

#include "shell/HelpFile.h"
#include "shell/Resources.h"
#include "shell/Twips.h"

#include <QFile>
#include <QIcon>
#include <QImage>
#include <QSet>
#include <QSvgRenderer>

#include <gtest/gtest.h>

using namespace tarvok;

TEST(TwipsTest, ConvertsWithTheScreenResolution) {
    EXPECT_EQ(twips::toPixels(1440, 96), 96);
    EXPECT_EQ(twips::toPixels(15, 96), 1);
    EXPECT_EQ(twips::toPixels(10095, 96), 673);
    EXPECT_EQ(twips::toPixels(8945, 96), 596); // 596.33: the nearest pixel
    EXPECT_EQ(twips::toPixels(1440, 144), 144);
    EXPECT_EQ(twips::toPixels(8945, 120), 745); // 745.4
    EXPECT_EQ(twips::fromPixels(673, 96), 10095);
    EXPECT_EQ(twips::fromPixels(96, 144), 960);
    EXPECT_EQ(twips::toPixels(-30, 96), -2);
    // A screen that reports no resolution counts as 96 dpi.
    EXPECT_EQ(twips::toPixels(1440, 0), 96);
    EXPECT_EQ(twips::fromPixels(96, -1), 1440);
}

TEST(TwipsTest, RoundTripStaysWithinHalfAPixel) {
    for (double dpi : {72.0, 96.0, 120.0, 144.0, 192.0}) {
        const double twipsPerPixel = twips::PerInch / dpi;
        for (int length = 0; length <= 20000; length += 37) {
            const int back = twips::fromPixels(twips::toPixels(length, dpi), dpi);
            EXPECT_LE(std::abs(back - length), twipsPerPixel / 2 + 1) << length << " at " << dpi;
        }
    }
}

TEST(HelpFileTest, OnlyTheExactNameJapaneseGetsTheJapaneseFile) {
    const QString folder = QStringLiteral("/opt/tarvok");
    EXPECT_EQ(helpFilePath(folder, QStringLiteral("Japanese")), "/opt/tarvok/tarvok_jp.qch");
    EXPECT_EQ(helpFilePath(folder, QStringLiteral("japanese")), "/opt/tarvok/tarvok.qch");
    EXPECT_EQ(helpFilePath(folder, QStringLiteral("Japanese ")), "/opt/tarvok/tarvok.qch");
    EXPECT_EQ(helpFilePath(folder, QStringLiteral("English")), "/opt/tarvok/tarvok.qch");
    EXPECT_EQ(helpFilePath(folder, QString()), "/opt/tarvok/tarvok.qch");
}

TEST(ResourcesTest, EveryPictureIsAValidSvgThatDraws) {
    initResources();
    QSet<QString> paths;
    for (int i = 0; i < PictureCount; ++i) {
        const QString path = picturePath(static_cast<Picture>(i));
        paths.insert(path);
        ASSERT_TRUE(QFile::exists(path)) << path.toStdString();
        QSvgRenderer renderer(path);
        EXPECT_TRUE(renderer.isValid()) << path.toStdString();

        // Through QIcon, as the windows load them: this needs the SVG icon engine.
        const QImage image = pictureIcon(static_cast<Picture>(i)).pixmap(16, 16).toImage();
        ASSERT_FALSE(image.isNull()) << path.toStdString();
        int opaque = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                opaque += qAlpha(image.pixel(x, y)) > 0;
        EXPECT_GT(opaque, 40) << path.toStdString() << " draws almost nothing";
    }
    EXPECT_EQ(paths.size(), PictureCount);
}

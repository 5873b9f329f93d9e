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

TEST(TwipsTest, ConvertsToTheNearestPixelAndBackWithinHalfAPixel) {
    // A screen that reports no resolution counts as 96 dpi.
    const int toPixels[][3] = {{1440, 96, 96},   {15, 96, 1},      {8945, 96, 596},
                               {8945, 120, 745}, {1440, 144, 144}, {-30, 96, -2},
                               {1440, 0, 96}};
    for (const auto& [length, dpi, pixels] : toPixels)
        EXPECT_EQ(twips::toPixels(length, dpi), pixels) << length << " at " << dpi;
    EXPECT_EQ(twips::fromPixels(96, 144), 960);
    EXPECT_EQ(twips::fromPixels(96, -1), 1440);
    for (double dpi : {72.0, 96.0, 120.0, 144.0, 192.0})
        for (int length = 0; length <= 20000; length += 37)
            EXPECT_LE(std::abs(twips::fromPixels(twips::toPixels(length, dpi), dpi) - length),
                      twips::PerInch / dpi / 2 + 1)
                << length << " at " << dpi;
}

TEST(HelpFileTest, OnlyTheExactNameJapaneseGetsTheJapaneseFile) {
    for (const char* name : {"japanese", "Japanese ", "English", ""})
        EXPECT_EQ(helpFilePath("/opt/tarvok", name), "/opt/tarvok/tarvok.qch") << name;
    EXPECT_EQ(helpFilePath("/opt/tarvok", "Japanese"), "/opt/tarvok/tarvok_jp.qch");
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

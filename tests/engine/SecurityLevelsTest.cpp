#include "engine/SecurityLevels.h"
#include "fakes/EngineFakes.h"
#include "fakes/FakeLocaliser.h"

#include <gtest/gtest.h>

using namespace tarvok;
using Picture = SecurityLevels::Picture;
using TrayImage = SecurityLevels::TrayImage;

TEST(SecurityLevels, LevelsAndPauseSwitchTimersPicturesAndBalloons) {
    platform::SockDiag diag;
    ConnectionTables tables{diag};
    RuleTable rules;
    EnforcementEngine engine{tables, rules};
    QTimer countWatcher, trayActivity;
    countWatcher.start(1000);
    trayActivity.setInterval(500); // off until start-up ends
    SecurityLevels levels{engine, countWatcher, trayActivity};
    test::RecordingNotifier notifier;
    test::FakeLocaliser localiser;
    levels.setNotifier(&notifier);
    levels.setLocaliser(&localiser);
    int changes = 0;
    QObject::connect(&levels, &SecurityLevels::changed, [&] { ++changes; });
    const auto lastBalloon = [&] {
        const auto& b = notifier.balloons.last();
        return QStringLiteral("%1|%2|%3|%4").arg(b.message, b.title).arg(b.icon).arg(b.timeoutMs);
    };

    levels.clickLevel(0);
    EXPECT_EQ(engine.level(), SecurityLevel::Allow);
    EXPECT_EQ(lastBalloon(), "Main/97|Main/98|2|30000");
    EXPECT_FALSE(trayActivity.isActive());
    EXPECT_EQ(levels.levelPicture(), Picture::LevelAllow);
    EXPECT_EQ(levels.policyPicture(), Picture::PolicyOff);
    EXPECT_EQ(levels.trayImage(), TrayImage::Allow);

    levels.clickLevel(1);
    EXPECT_EQ(lastBalloon(), "Main/99|Main/100|1|30000");
    EXPECT_TRUE(trayActivity.isActive());
    EXPECT_EQ(levels.trayImage(), TrayImage::Activity);

    levels.clickLevel(2);
    EXPECT_EQ(lastBalloon(), "Main/101|Main/102|3|30000");
    EXPECT_FALSE(trayActivity.isActive());
    EXPECT_EQ(levels.levelPicture(), Picture::LevelBlock);
    EXPECT_EQ(levels.trayImage(), TrayImage::Block);

    const auto balloons = notifier.balloons.size();
    levels.clickLevel(3);
    levels.clickLevel(-1);
    EXPECT_EQ(notifier.balloons.size(), balloons) << "unknown items do nothing";
    EXPECT_EQ(engine.level(), SecurityLevel::Block);
    EXPECT_EQ(changes, 3);

    // A pause stops the passes and keeps the level for the resume.
    levels.togglePause();
    EXPECT_TRUE(levels.paused());
    EXPECT_FALSE(engine.timer()->isActive());
    EXPECT_FALSE(countWatcher.isActive());
    EXPECT_FALSE(trayActivity.isActive());
    EXPECT_FALSE(levels.controlsEnabled());
    EXPECT_EQ(levels.firstPanelTextKey(), 79);
    EXPECT_EQ(levels.levelPicture(), Picture::Paused);
    EXPECT_EQ(levels.trayImage(), TrayImage::Paused);
    EXPECT_EQ(lastBalloon(), "Main/82|Main/79|2|30000");

    levels.clickLevel(0); // the items are disabled while paused
    EXPECT_EQ(engine.level(), SecurityLevel::Block);

    levels.togglePause();
    EXPECT_TRUE(engine.timer()->isActive());
    EXPECT_TRUE(countWatcher.isActive());
    EXPECT_FALSE(trayActivity.isActive()) << "Timer2 runs only at the Normal level";
    EXPECT_EQ(levels.firstPanelTextKey(), 69);
    EXPECT_EQ(levels.trayImage(), TrayImage::Block);
    EXPECT_EQ(lastBalloon(), "Main/81|Main/69|1|30000");

    // Paused at Normal and resumed: Timer2 comes back with the level.
    levels.clickLevel(1);
    levels.togglePause();
    levels.togglePause();
    EXPECT_TRUE(trayActivity.isActive());
}

#include "engine/SecurityLevels.h"
#include "fakes/EngineFakes.h"

#include <gtest/gtest.h>

using namespace tarvok;
using Picture = SecurityLevels::Picture;
using TrayImage = SecurityLevels::TrayImage;

namespace {

struct Levels {
    platform::SockDiag diag;
    ConnectionTables tables{diag};
    RuleTable rules;
    EnforcementEngine engine{tables, rules};
    QTimer countWatcher;
    QTimer trayActivity;
    test::RecordingNotifier notifier;
    test::MapLocaliser localiser;
    SecurityLevels levels{engine, countWatcher, trayActivity};
    int changes = 0;

    Levels() {
        countWatcher.start(1000);
        trayActivity.setInterval(500); // off until start-up ends
        for (int key : {69, 79, 81, 82, 97, 98, 99, 100, 101, 102})
            localiser.texts["Main/" + QString::number(key)] = "M" + QString::number(key);
        levels.setNotifier(&notifier);
        levels.setLocaliser(&localiser);
        QObject::connect(&levels, &SecurityLevels::changed, [this] { ++changes; });
    }

    QString lastBalloon() const {
        const auto& b = notifier.balloons.last();
        return QStringLiteral("%1|%2|%3|%4").arg(b.message, b.title).arg(b.icon).arg(b.timeoutMs);
    }
};

} // namespace

TEST(SecurityLevels, LevelsAndPauseSwitchTimersPicturesAndBalloons) {
    Levels l;
    l.levels.clickLevel(0);
    EXPECT_EQ(l.engine.level(), SecurityLevel::Allow);
    EXPECT_EQ(l.lastBalloon(), "M97|M98|2|30000");
    EXPECT_FALSE(l.trayActivity.isActive());
    EXPECT_EQ(l.levels.levelPicture(), Picture::LevelAllow);
    EXPECT_EQ(l.levels.policyPicture(), Picture::PolicyOff);
    EXPECT_EQ(l.levels.trayImage(), TrayImage::Allow);

    l.levels.clickLevel(1);
    EXPECT_EQ(l.lastBalloon(), "M99|M100|1|30000");
    EXPECT_TRUE(l.trayActivity.isActive());
    EXPECT_EQ(l.levels.trayImage(), TrayImage::Activity);

    l.levels.clickLevel(2);
    EXPECT_EQ(l.lastBalloon(), "M101|M102|3|30000");
    EXPECT_FALSE(l.trayActivity.isActive());
    EXPECT_EQ(l.levels.levelPicture(), Picture::LevelBlock);
    EXPECT_EQ(l.levels.trayImage(), TrayImage::Block);

    const auto balloons = l.notifier.balloons.size();
    l.levels.clickLevel(3);
    l.levels.clickLevel(-1);
    EXPECT_EQ(l.notifier.balloons.size(), balloons) << "unknown items do nothing";
    EXPECT_EQ(l.engine.level(), SecurityLevel::Block);
    EXPECT_EQ(l.changes, 3);

    // A pause stops the passes and keeps the level for the resume.
    l.levels.togglePause();
    EXPECT_TRUE(l.levels.paused());
    EXPECT_FALSE(l.engine.timer()->isActive());
    EXPECT_FALSE(l.countWatcher.isActive());
    EXPECT_FALSE(l.trayActivity.isActive());
    EXPECT_FALSE(l.levels.controlsEnabled());
    EXPECT_EQ(l.levels.firstPanelTextKey(), 79);
    EXPECT_EQ(l.levels.levelPicture(), Picture::Paused);
    EXPECT_EQ(l.levels.trayImage(), TrayImage::Paused);
    EXPECT_EQ(l.lastBalloon(), "M82|M79|2|30000");

    l.levels.clickLevel(0); // the items are disabled while paused
    EXPECT_EQ(l.engine.level(), SecurityLevel::Block);

    l.levels.togglePause();
    EXPECT_TRUE(l.engine.timer()->isActive());
    EXPECT_TRUE(l.countWatcher.isActive());
    EXPECT_FALSE(l.trayActivity.isActive()) << "Timer2 runs only at the Normal level";
    EXPECT_EQ(l.levels.firstPanelTextKey(), 69);
    EXPECT_EQ(l.levels.trayImage(), TrayImage::Block);
    EXPECT_EQ(l.lastBalloon(), "M81|M69|1|30000");

    // Paused at Normal and resumed: Timer2 comes back with the level.
    l.levels.clickLevel(1);
    l.levels.togglePause();
    l.levels.togglePause();
    EXPECT_TRUE(l.trayActivity.isActive());
}

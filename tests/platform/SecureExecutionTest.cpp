// What a binary with file capabilities removes from its environment before Qt starts.
#include "platform/SecureExecution.h"

#include <gtest/gtest.h>

using tarvok::platform::unsafeVariable;

// A scrub that lost the QML prefix let QML2_IMPORT_PATH load a user's own code, unnoticed.
TEST(SecureExecution, EveryPrefixOfPluginAndImportPathsGoesAndScalingStays) {
    const std::pair<const char*, bool> cases[] = {
        {"QT_PLUGIN_PATH", true},      {"QML2_IMPORT_PATH", true}, {"QML_IMPORT_PATH", true},
        {"QV4_FORCE_INTERPRETER", true}, {"GTK_MODULES", true},    {"QT_QPA_PLATFORM", false},
        {"QT_SCALE_FACTOR", false},    {"HOME", false}};
    for (const auto& [name, unsafe] : cases)
        EXPECT_EQ(unsafeVariable(name), unsafe) << name;
}

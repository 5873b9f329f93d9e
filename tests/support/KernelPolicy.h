#pragma once
// The kernel table driven by a real engine, levels, rule table and enforcer, as the program
// drives it; the table is written at start and removed at the end.

#include "engine/KernelTable.h"
#include "engine/SecurityLevels.h"
#include "support/EngineRig.h"

#include <QTimer>

namespace tarvok::test {

struct KernelPolicy : Firewall {
    QTimer countWatcher, trayActivity;
    SecurityLevels levels{engine, countWatcher, trayActivity};
    KernelTable kernel{rules, engine, &levels, enforcer};

    explicit KernelPolicy(quint64 instance = 0,
                          const QString& program = QStringLiteral(TARVOK_TEST_ENFORCER))
        : Firewall(instance, program) {
        kernel.update();
    }
    ~KernelPolicy() { kernel.remove(); }
    // The rules, once their write is in force.
    void set(QList<Rule> list) {
        rules.setRules(std::move(list));
        ASSERT_TRUE(kernel.waitForWrite()); // the write that the change asks for
    }
};

} // namespace tarvok::test

#pragma once
// A language whose every text names its own section and key ("Main/95"), so a test can see
// which text was used.

#include "engine/EngineServices.h"

namespace tarvok::test {

class FakeLocaliser : public Localiser {
public:
    QString text(const QString& section, int key) const override {
        return section + QLatin1Char('/') + QString::number(key);
    }
};

} // namespace tarvok::test

// A library that Qt takes for a platform plugin named "tarvokmarker". Loading it leaves the
// file named by TARVOK_TEST_MARKER, holding the loading process's effective capabilities (its
// CapEff line), so a test can tell whether a process loaded it and with what privilege.
#include <QObject>
#include <QtPlugin>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
struct Marker {
    Marker() {
        const char* path = std::getenv("TARVOK_TEST_MARKER");
        std::FILE* file = path ? std::fopen(path, "w") : nullptr;
        if (!file)
            return;
        if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
            char line[256];
            while (std::fgets(line, sizeof line, status))
                if (std::strncmp(line, "CapEff:", 7) == 0)
                    std::fputs(line, file);
            std::fclose(status);
        }
        std::fclose(file);
    }
} marker;
} // namespace

class MarkerPlugin : public QObject {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QPA.QPlatformIntegrationFactoryInterface.5.3" FILE
                      "MarkerPlugin.json")
};

#include "MarkerPlugin.moc"

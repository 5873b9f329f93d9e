// A library that Qt takes for a platform plugin named "tarvokmarker". Loading it leaves the
// file named by TARVOK_TEST_MARKER, so a test can tell whether a process loaded it.
#include <QObject>
#include <QtPlugin>

#include <cstdio>
#include <cstdlib>

namespace {
struct Marker {
    Marker() {
        if (const char* path = std::getenv("TARVOK_TEST_MARKER"))
            if (std::FILE* file = std::fopen(path, "w"))
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

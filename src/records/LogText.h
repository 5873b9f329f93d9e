#pragma once
// The text of one event record as the copy commands put it on the clipboard: eight labelled
// lines joined by CR LF, no line break after the last, the rule never included.

#include "engine/EngineServices.h"

#include <QString>

namespace tarvok {

// The main window's event list labels its fourth line "Local Port :", the log viewer
// "Local Port: "; everything else is the same.
enum class RecordTextStyle { EventList, LogViewer };

QString recordText(const EventRecord& record, RecordTextStyle style);

} // namespace tarvok

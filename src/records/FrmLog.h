#pragma once
// The log viewer frmLog: one log file's records in the list "ListView", sorted by a click on
// any column header, with the right-click menu "mnuRClick" (copy the record "Row", copy the
// remote address "RemA"). It shows a copy of the file as it was read; it does not follow the
// file. Escape closes it.

#include "engine/EngineServices.h"
#include "monitor/ColumnWidths.h"

#include <QDialog>
#include <QIcon>

class QMenu;
class QTreeView;

namespace tarvok {

class LogFileModel;

class FrmLog : public QDialog {
    Q_OBJECT
public:
    explicit FrmLog(QWidget* parent = nullptr);

    // The pictures of established (image 3) and blocked (image 4) records.
    void setImages(const QIcon& established, const QIcon& blocked);
    // Window title, column titles and menu entries from [Log].
    void applyLanguage(const Localiser& language);
    // Replaces the rows with the records of a file.
    void setRecords(QList<EventRecord> records);

    QTreeView* list() const { return m_list; }
    QMenu* contextMenu() const { return m_menu; }
    LogFileModel* model() const { return m_model; }

    // The copy commands: the selected row's record text, or its remote address. Nothing
    // happens while the list is empty.
    void copyRow();
    void copyRemoteAddress();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // What each column holds, in this language (the built-in texts without one).
    void measureColumns(const Localiser* language);
    void applyColumnWidths();
    const EventRecord* selectedRecord() const;

    LogFileModel* m_model = nullptr;
    QTreeView* m_list = nullptr;
    QMenu* m_menu = nullptr;
    std::vector<ColumnFit> m_columns;
};

} // namespace tarvok

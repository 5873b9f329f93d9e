#include "policy/RuleEditorDialog.h"

#include "engine/EngineServices.h"
#include "engine/Prompter.h"
#include "engine/RuleIndex.h"
#include "platform/Processes.h"
#include "policy/PolicyCommands.h"
#include "policy/ProgramChoice.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace tarvok {

namespace {

enum AddText {
    AddTitle = 1,
    DescriptionCaption = 2,
    AddressCaption = 4,
    AnyAddress = 5,
    SpecificAddress = 6,
    PortCaption = 7,
    AnyPort = 8,
    SpecificPort = 9,
    LogCaption = 10,
    LogOn = 11,
    LogOff = 12,
    StateCaption = 13,
    StateOn = 14,
    StateOff = 15,
    ActionCaption = 16,
    AcceptCaption = 17,
    BlockCaption = 18,
    AddButton = 19,
    ModifyButton = 20,
    CancelButton = 21,
    ErrorTitle = 23,
    Duplicate = 26,
    RuleNumber = 27,
    Added = 28,
    RuleCaption = 29,
    Modified = 30,
    LogTip = 31,
    StateTip = 32,
    ModifyTitle = 33,
    AddressTip = 35,
    ProtocolCaption = 36,
    BothProtocols = 37,
    AnyProgram = 38,
    ProgramCaption = 40,
    BrowseButton = 41,
    RunningPrograms = 42,
    ScriptWarning = 46,      // %1 the script
    InterpreterOffer = 47,   // %1 the interpreter
    UseInterpreterButton = 48,
    NoInterpreter = 49,
    UnstableWarning = 50, // %1 the path
    BrowseTitle = 51,
    ProgramTip = 52,
};

template <typename Widget> Widget* named(QWidget* parent, const char* name) {
    auto* widget = new Widget(parent);
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// A choice list's tooltip names the item it holds. Its "off" item is drawn like any other:
// greyed, it looked like a control that cannot be used.
void showChoice(QComboBox* choice, const QString& tipPrefix) {
    choice->setToolTip(tipPrefix + QLatin1Char(' ') + choice->currentText());
}

// A text with its %1 filled; a translation that lost the place keeps its words.
QString filled(const QString& text, const QString& value) {
    return text.contains(QLatin1String("%1")) ? text.arg(value) : text;
}

RuleEditorDialog::ProgramIcon& programIcons() {
    static RuleEditorDialog::ProgramIcon icons;
    return icons;
}

// The running programs are listed at most this many: a list no one could read through is no
// help, and each entry costs an icon lookup.
constexpr std::size_t MaxRunningPrograms = 500;

} // namespace

RuleEditorDialog::RuleEditorDialog(QWidget* owner, RuleTable& table, PolicyCommands& policy,
                                   const Localiser& language, Prompter& prompter)
    : QDialog(owner), m_table(table), m_policy(policy), m_language(language), m_prompter(prompter) {
    setObjectName(QStringLiteral("frmAdd"));
    // Window-modal and shown with show(): the owner is blocked, the event loop is not.
    setWindowModality(Qt::WindowModal);
    build();
    applyLanguage();
    // Closing unloads the dialog: the next opening starts from the design state.
    connect(this, &QDialog::finished, this, &QObject::deleteLater);
    // Rules put in force while the editor is open (a program blocked from the alert) go in at
    // once: Modify follows its rule to its new row, and ends if the rule itself went.
    connect(&m_table, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex&, int first, int last) {
                if (m_modifyRow >= first)
                    m_modifyRow += last - first + 1;
            });
    connect(&m_table, &QAbstractItemModel::rowsRemoved, this,
            [this](const QModelIndex&, int first, int last) {
                if (m_modifyRow > last)
                    m_modifyRow -= last - first + 1;
                else if (m_modifyRow >= first)
                    reject();
            });
}

QString RuleEditorDialog::add(int key) const {
    return m_language.text(QStringLiteral("Add"), key);
}

void RuleEditorDialog::build() {
    m_actionCaption = named<QLabel>(this, "lblAction");
    m_accept = named<QRadioButton>(this, "Option1");
    m_block = named<QRadioButton>(this, "Option2");
    m_accept->setChecked(true);
    m_addressCaption = named<QLabel>(this, "lblRA");
    m_addressChoice = named<QComboBox>(this, "Combo1");
    m_address = named<QLineEdit>(this, "txtRemA");
    m_portCaption = named<QLabel>(this, "lblRP");
    m_portChoice = named<QComboBox>(this, "Combo3");
    m_port = named<QLineEdit>(this, "txtRemP");
    m_logCaption = named<QLabel>(this, "lblLogEvent");
    m_logChoice = named<QComboBox>(this, "Combo4");
    m_stateCaption = named<QLabel>(this, "lblEnabled");
    m_stateChoice = named<QComboBox>(this, "Combo5");
    m_protocolCaption = named<QLabel>(this, "lblProtocol");
    m_protocolChoice = named<QComboBox>(this, "ComboProtocol");
    // Items in the order of the protocol bits less one: TCP, UDP, both.
    m_protocolChoice->addItems({QStringLiteral("TCP"), QStringLiteral("UDP"), QString()});
    m_protocolChoice->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    m_protocolCaption->setBuddy(m_protocolChoice);
    m_programCaption = named<QLabel>(this, "lblProgram");
    m_program = named<QLineEdit>(this, "txtProgram");
    m_browse = named<QPushButton>(this, "cmdBrowseProgram");
    m_running = named<QComboBox>(this, "ComboRunning");
    m_programNote = named<QLabel>(this, "lblProgramNote");
    m_useInterpreter = named<QPushButton>(this, "cmdUseInterpreter");
    m_programCaption->setBuddy(m_program);
    m_running->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_running->setMinimumContentsLength(30);
    m_programNote->setWordWrap(true);
    m_programNote->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_programNote->hide();
    m_useInterpreter->hide();
    m_useInterpreter->setAutoDefault(false);
    m_browse->setAutoDefault(false);
    m_descriptionCaption = named<QLabel>(this, "lblDescript");
    m_description = named<QLineEdit>(this, "txtDescript");
    m_add = named<QPushButton>(this, "cmdAdd");
    m_modify = named<QPushButton>(this, "cmdModify");
    m_cancel = named<QPushButton>(this, "cmdCancel");
    for (QComboBox* choice : {m_addressChoice, m_portChoice, m_logChoice, m_stateChoice}) {
        choice->addItems({QString(), QString()});
        choice->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    }
    m_address->setMinimumWidth(fontMetrics().horizontalAdvance(QLatin1Char('0')) * 40);
    // A screen reader names each field by its caption.
    m_addressCaption->setBuddy(m_address);
    m_portCaption->setBuddy(m_port);
    m_descriptionCaption->setBuddy(m_description);

    auto* grid = new QGridLayout;
    int line = 0;
    auto* actions = new QHBoxLayout;
    actions->addWidget(m_accept);
    actions->addWidget(m_block);
    actions->addStretch();
    grid->addWidget(m_actionCaption, line, 0);
    grid->addLayout(actions, line++, 1, 1, 2);
    grid->addWidget(m_addressCaption, line, 0);
    grid->addWidget(m_addressChoice, line, 1);
    grid->addWidget(m_address, line++, 2);
    grid->addWidget(m_portCaption, line, 0);
    grid->addWidget(m_portChoice, line, 1);
    grid->addWidget(m_port, line++, 2);
    auto* programLine = new QHBoxLayout;
    programLine->addWidget(m_program, 1);
    programLine->addWidget(m_browse);
    grid->addWidget(m_programCaption, line, 0);
    grid->addLayout(programLine, line++, 1, 1, 2);
    grid->addWidget(m_running, line++, 1, 1, 2);
    auto* note = new QHBoxLayout;
    note->addWidget(m_programNote, 1);
    note->addWidget(m_useInterpreter, 0, Qt::AlignTop);
    grid->addLayout(note, line++, 1, 1, 2);
    grid->addWidget(m_protocolCaption, line, 0);
    grid->addWidget(m_protocolChoice, line++, 1);
    grid->addWidget(m_logCaption, line, 0);
    grid->addWidget(m_logChoice, line++, 1);
    grid->addWidget(m_stateCaption, line, 0);
    grid->addWidget(m_stateChoice, line++, 1);
    grid->addWidget(m_descriptionCaption, line, 0);
    grid->addWidget(m_description, line++, 1, 1, 2);
    grid->setColumnStretch(2, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_add);
    buttons->addWidget(m_modify);
    buttons->addWidget(m_cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(buttons);

    m_modify->hide();
    m_add->setDefault(true);
    m_cancel->setAutoDefault(false);

    connect(m_addressChoice, &QComboBox::currentIndexChanged, this,
            &RuleEditorDialog::addressChoiceChanged);
    connect(m_portChoice, &QComboBox::currentIndexChanged, this,
            &RuleEditorDialog::portChoiceChanged);
    connect(m_logChoice, &QComboBox::currentIndexChanged, this,
            &RuleEditorDialog::logChoiceChanged);
    connect(m_stateChoice, &QComboBox::currentIndexChanged, this,
            &RuleEditorDialog::stateChoiceChanged);
    connect(m_browse, &QPushButton::clicked, this, &RuleEditorDialog::browseProgram);
    connect(m_running, &QComboBox::activated, this, &RuleEditorDialog::runningProgramChosen);
    connect(m_program, &QLineEdit::editingFinished, this, &RuleEditorDialog::settleTypedProgram);
    connect(m_useInterpreter, &QPushButton::clicked, this, &RuleEditorDialog::useInterpreter);
    connect(m_add, &QPushButton::clicked, this, &RuleEditorDialog::addClicked);
    connect(m_modify, &QPushButton::clicked, this, &RuleEditorDialog::modifyClicked);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void RuleEditorDialog::applyLanguage() {
    setWindowTitle(add(AddTitle));
    m_actionCaption->setText(add(ActionCaption));
    m_accept->setText(add(AcceptCaption));
    m_block->setText(add(BlockCaption));
    m_addressCaption->setText(add(AddressCaption));
    m_portCaption->setText(add(PortCaption));
    m_logCaption->setText(add(LogCaption));
    m_stateCaption->setText(add(StateCaption));
    m_descriptionCaption->setText(add(DescriptionCaption));
    m_protocolCaption->setText(add(ProtocolCaption));
    m_protocolChoice->setItemText(2, add(BothProtocols));
    m_programCaption->setText(add(ProgramCaption));
    m_program->setPlaceholderText(add(AnyProgram));
    m_program->setToolTip(add(ProgramTip));
    m_browse->setText(add(BrowseButton));
    m_running->setPlaceholderText(add(RunningPrograms));
    m_running->setAccessibleName(add(RunningPrograms));
    m_useInterpreter->setText(add(UseInterpreterButton));
    m_protocolChoice->setAccessibleName(add(ProtocolCaption).remove(QLatin1Char(':')));
    m_addressChoice->setItemText(0, add(AnyAddress));
    m_addressChoice->setItemText(1, add(SpecificAddress));
    m_portChoice->setItemText(0, add(AnyPort));
    m_portChoice->setItemText(1, add(SpecificPort));
    m_logChoice->setItemText(0, add(LogOn));
    m_logChoice->setItemText(1, add(LogOff));
    m_stateChoice->setItemText(0, add(StateOn));
    m_stateChoice->setItemText(1, add(StateOff));
    m_add->setText(add(AddButton));
    m_modify->setText(add(ModifyButton));
    m_cancel->setText(add(CancelButton));
    // Connections from 127.0.0.1 are passed over by design, so a rule tried with a plain
    // local client seems to do nothing; the tip says how to try one.
    m_addressChoice->setToolTip(add(AddressTip));
    m_address->setToolTip(add(AddressTip));
}

void RuleEditorDialog::addressChoiceChanged() {
    const bool specific = m_addressChoice->currentIndex() == 1;
    m_address->setEnabled(specific);
    m_address->setText(specific ? QString() : m_table.words().anyAddress);
}

void RuleEditorDialog::portChoiceChanged() {
    const bool specific = m_portChoice->currentIndex() == 1;
    m_port->setEnabled(specific);
    m_port->setText(specific ? QString() : m_table.words().anyPort);
}

void RuleEditorDialog::logChoiceChanged() {
    showChoice(m_logChoice, add(LogTip));
}

void RuleEditorDialog::stateChoiceChanged() {
    showChoice(m_stateChoice, add(StateTip));
}

void RuleEditorDialog::setFields(const EditorFields& fields) {
    (fields.accept ? m_accept : m_block)->setChecked(true);
    // Choosing an item runs its handler, which sets the box; a prefilled text goes in after.
    m_addressChoice->setCurrentIndex(fields.specificAddress ? 1 : 0);
    addressChoiceChanged();
    if (fields.specificAddress)
        m_address->setText(fields.address);
    m_portChoice->setCurrentIndex(fields.specificPort ? 1 : 0);
    portChoiceChanged();
    if (fields.specificPort)
        m_port->setText(fields.port);
    m_logChoice->setCurrentIndex(fields.logged ? 0 : 1);
    logChoiceChanged();
    m_stateChoice->setCurrentIndex(fields.enabled ? 0 : 1);
    stateChoiceChanged();
    m_description->setText(fields.description);
    m_protocolChoice->setCurrentIndex(parseProtocolCell(fields.protocol) - 1);
    // A stored program stays as it is written: only a path the user chooses is resolved.
    m_program->setText(fields.program);
    m_program->setModified(false);
    showProgramNote(fields.program);
    fillRunningPrograms();
}

EditorFields RuleEditorDialog::fields() const {
    EditorFields fields;
    fields.accept = m_accept->isChecked();
    fields.specificAddress = m_address->isEnabled();
    fields.address = m_address->text();
    fields.specificPort = m_port->isEnabled();
    fields.port = m_port->text();
    fields.logged = m_logChoice->currentIndex() != 1;
    fields.enabled = m_stateChoice->currentIndex() != 1;
    fields.description = m_description->text();
    fields.protocol = protocolCell(static_cast<std::uint8_t>(m_protocolChoice->currentIndex() + 1));
    fields.program = m_program->text();
    return fields;
}

void RuleEditorDialog::setProgramIcons(ProgramIcon icons) {
    programIcons() = std::move(icons);
}

void RuleEditorDialog::fillRunningPrograms() {
    m_running->clear();
    const QIcon fallback = QIcon::fromTheme(QStringLiteral("application-x-executable"));
    std::size_t listed = 0;
    for (const std::string& path : platform::runningExecutables()) {
        if (++listed > MaxRunningPrograms)
            break;
        const QString text = QString::fromStdString(path);
        m_running->addItem(programIcons() ? programIcons()(text) : fallback, text);
    }
    m_running->setCurrentIndex(-1); // the placeholder: nothing is chosen by opening
}

void RuleEditorDialog::runningProgramChosen(int index) {
    if (index >= 0)
        chooseProgramPath(m_running->itemText(index));
}

void RuleEditorDialog::browseProgram() {
    const QString current = m_program->text();
    const QString folder = current.startsWith(QLatin1Char('/')) ? QFileInfo(current).absolutePath()
                                                                : QStringLiteral("/usr/bin");
    const QString chosen = m_prompter.openFileName(add(BrowseTitle), QString(), folder);
    if (!chosen.isEmpty())
        chooseProgramPath(chosen);
}

void RuleEditorDialog::chooseProgramPath(const QString& path) {
    const QString real = realProgramFile(path);
    m_program->setText(real);
    m_program->setModified(false);
    showProgramNote(real);
}

void RuleEditorDialog::settleTypedProgram() {
    if (!m_program->isModified())
        return;
    const QString typed = m_program->text();
    // Only a path that can name a file is resolved; Add and Modify say what is wrong with
    // any other.
    if (checkProgramPath(typed) == ProgramCheck::Ok && !typed.isEmpty())
        chooseProgramPath(typed);
    else {
        m_program->setModified(false);
        showProgramNote({});
    }
}

void RuleEditorDialog::showProgramNote(const QString& path) {
    m_interpreter.clear();
    QStringList lines;
    if (!path.isEmpty() && checkProgramPath(path) == ProgramCheck::Ok) {
        const ProgramChoice choice =
            chooseProgram(path, qEnvironmentVariable("PATH"), QDir::homePath());
        if (choice.script) {
            lines.append(filled(add(ScriptWarning), path));
            m_interpreter = choice.interpreter;
            lines.append(m_interpreter.isEmpty() ? add(NoInterpreter)
                                                 : filled(add(InterpreterOffer), m_interpreter));
        }
        if (choice.unstable)
            lines.append(filled(add(UnstableWarning), path));
    }
    m_programNote->setText(lines.join(QLatin1Char('\n')));
    m_programNote->setVisible(!lines.isEmpty());
    m_useInterpreter->setVisible(!m_interpreter.isEmpty());
}

void RuleEditorDialog::useInterpreter() {
    if (!m_interpreter.isEmpty())
        chooseProgramPath(m_interpreter);
}

void RuleEditorDialog::showOpened() {
    show();
    raise();
    activateWindow();
    for (QLineEdit* box : {m_description, m_address, m_port})
        box->selectAll();
    m_description->setFocus();
}

void RuleEditorDialog::openAdd(const EditorFields& fields) {
    m_modifyRow = -1;
    setWindowTitle(add(AddTitle));
    m_modify->hide();
    m_add->show();
    m_add->setDefault(true);
    setFields(fields);
    showOpened();
}

void RuleEditorDialog::openModify(int row) {
    if (row < 0 || row >= m_table.count())
        return;
    m_modifyRow = row;
    setWindowTitle(add(ModifyTitle));
    m_add->hide();
    m_modify->show();
    m_modify->setDefault(true);
    setFields(fieldsOfRule(m_table.rule(row), m_table.words()));
    showOpened();
}

bool RuleEditorDialog::check() {
    settleTypedProgram();
    const EditorCheck result = checkFields(fields(), m_table.words());
    if (result == EditorCheck::Ok)
        return true;
    if (result == EditorCheck::BadPort)
        m_port->clear();
    QString text = add(static_cast<int>(result));
    if (result == EditorCheck::ProgramTooLong)
        text = filled(text, QString::number(MaxProgramPathBytes));
    m_prompter.message(text, Prompter::Critical, add(ErrorTitle));
    return false;
}

void RuleEditorDialog::addClicked() {
    if (!check())
        return;
    const EditorFields current = fields();
    const int duplicate = duplicateRow(m_table, current.address, current.port, current.program);
    if (duplicate >= 0) {
        m_prompter.message(add(Duplicate), Prompter::Exclamation,
                           add(RuleNumber) + QString::number(duplicate + 1));
        return;
    }
    Rule rule = ruleOfFields(current, m_table.words());
    rule.number = QString::number(m_table.count() + 1);
    m_table.appendRule(rule);
    m_prompter.message(add(Added), Prompter::Information, add(AddTitle));
    m_policy.setSaveChanges(true);
    emit ruleWritten();
}

void RuleEditorDialog::modifyClicked() {
    if (!check())
        return;
    // The owner is blocked while this is open, so the row is the one it was opened on; the
    // test guards against a table replaced from elsewhere all the same.
    if (m_modifyRow < 0 || m_modifyRow >= m_table.count())
        return;
    const Rule rule = ruleOfFields(fields(), m_table.words(), m_table.rule(m_modifyRow));
    m_table.setRule(m_modifyRow, rule);
    m_prompter.message(add(RuleCaption) + QLatin1Char(' ') + rule.description +
                           QStringLiteral("\r\n") + add(Modified),
                       Prompter::Information, add(RuleNumber) + QString::number(m_modifyRow + 1));
    m_policy.setSaveChanges(true);
    emit ruleWritten();
}

} // namespace tarvok

#include "policy/RuleEditorDialog.h"

#include "engine/EngineServices.h"
#include "engine/Prompter.h"
#include "engine/RuleIndex.h"
#include "policy/PolicyCommands.h"

#include <QComboBox>
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
    return fields;
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
    const EditorCheck result = checkFields(fields(), m_table.words());
    if (result == EditorCheck::Ok)
        return true;
    if (result == EditorCheck::BadPort)
        m_port->clear();
    m_prompter.message(add(static_cast<int>(result)), Prompter::Critical, add(ErrorTitle));
    return false;
}

void RuleEditorDialog::addClicked() {
    if (!check())
        return;
    const EditorFields current = fields();
    const int duplicate = duplicateRow(m_table, current.address, current.port);
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

#pragma once

// What the window shows of each parameter and mode, indexed like the protocol's own tables.

#include "protocol.h"
#include "ui_mainwindow.h"

namespace fields {

constexpr const char *writeError = "<FONT COLOR='#800000'> Ошибка записи </FONT>";
constexpr const char *writeErrorTight = "<FONT COLOR='#800000'>Ошибка записи </FONT>";

enum class ChangeLog
{
    None,    // nothing is logged
    Command, // the command alone
    Tagged,  // the tag, a blank, then the command
};

// A choice field's combo box has a blank item 0; choice i of the protocol is item i + 1.
struct Field
{
    QLineEdit *Ui::MainWindow::*edit;
    QComboBox *Ui::MainWindow::*combo;
    QLabel *Ui::MainWindow::*caption;
    int width; // the longest value the field takes from an answer
    ChangeLog log;
    const char *logTag;
    const char *refusal;
};

using UiForm = Ui::MainWindow;

// clang-format off
inline constexpr Field fields[] = {
//   line edit                        combo box                  caption                    width  debug line          tag               refusal text
    {&UiForm::lineEdit_MAC,           nullptr,                   &UiForm::label_24,         18,    ChangeLog::None,    nullptr,          nullptr},
    {&UiForm::lineEdit_ip,            nullptr,                   &UiForm::label_21,         15,    ChangeLog::Tagged,  "change ip---",   writeError},
    {&UiForm::lineEdit_mask,          nullptr,                   &UiForm::label_22,         16,    ChangeLog::Tagged,  "change mask---", writeError},
    {&UiForm::lineEdit_gateway,       nullptr,                   &UiForm::label_23,         15,    ChangeLog::None,    nullptr,          writeError},
    {&UiForm::lineEdit_portTCP,       nullptr,                   &UiForm::label_,           6,     ChangeLog::Command, nullptr,          writeErrorTight},
    {nullptr,                         &UiForm::comboBox,         &UiForm::label_28,         4,     ChangeLog::None,    nullptr,          writeError},
    {nullptr,                         &UiForm::comboBox_speed,   &UiForm::label_speed,      7,     ChangeLog::Command, nullptr,          writeError},
    {nullptr,                         &UiForm::comboBox_2,       &UiForm::label_27,         3,     ChangeLog::None,    nullptr,          writeErrorTight},
    {&UiForm::lineEdit_ipservertcp,   nullptr,                   &UiForm::label_ipserver,   16,    ChangeLog::Command, nullptr,          writeError},
    {&UiForm::lineEdit_timeout,       nullptr,                   &UiForm::label_timeout,    5,     ChangeLog::None,    nullptr,          writeError},
};
// clang-format on
static_assert(std::size(fields) == std::size(protocol::parameters), "one field per parameter");

// Writable parameter k shows in fields[k + 1], as in the protocol's table.
constexpr const Field &writable(int k)
{
    return fields[k + 1];
}

struct ModeView
{
    bool closesPortAfterReset;
    const char *success;
};

// Indexed by the mode selector, like protocol::modes.
inline constexpr ModeView modes[] = {
    {false, "<FONT COLOR='#008000'>Изменение параметров Modbus TCP-RTU было успешно</FONT>"},
    {true, "<FONT COLOR='#008000'>Изменение параметров Modbus RTU-TCP было успешно</FONT>"},
};
static_assert(std::size(modes) == std::size(protocol::modes), "one view per mode");

// The query run asks one parameter a tick and ends on the tick after the last; the change run
// sends at the odd steps and leaves the even steps for the answer.
constexpr int queryEndStep(const protocol::Mode &mode)
{
    return mode.queried + 1;
}
constexpr int changeFinalStep(const protocol::Mode &mode)
{
    return 2 * mode.written + 1;
}
static_assert(changeFinalStep(protocol::modes[1]) == 19 &&
              changeFinalStep(protocol::modes[0]) == 15);

constexpr const char *green = "background-color:  #90ee90;";
constexpr const char *red = "background-color: #FF2400";

} // namespace fields

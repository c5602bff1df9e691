#pragma once

// The converter's text protocol as data: what is asked, how an answer is cut, which widget shows
// it, and how a change is sent. Both the sending and the parsing code read these tables.

#include "ui_mainwindow.h"

#include <string_view>

namespace device {

// A choice field's combo box has a blank item 0; the value at position i of the list is item i + 1.
struct Choices
{
    const char *const *values = nullptr;
    int count = 0;
};

constexpr const char *parityValues[] = {"0", "1", "2"};
constexpr const char *speedValues[] = {"1200",  "2400",  "4800",   "9600",   "19200",
                                       "38400", "57600", "115200", "128000", "256000"};
constexpr const char *stopBitValues[] = {"1", "2"};

constexpr Choices parityChoices{parityValues, 3};
constexpr Choices speedChoices{speedValues, 10};
constexpr Choices stopBitChoices{stopBitValues, 2};

constexpr const char *writeError = "<FONT COLOR='#800000'> Ошибка записи </FONT>";
constexpr const char *writeErrorTight = "<FONT COLOR='#800000'>Ошибка записи </FONT>";

enum class ChangeLog
{
    None,    // nothing is logged
    Command, // the command alone
    Tagged,  // the tag, a blank, then the command
};

struct Parameter
{
    const char *query;
    int limit; // longest value taken from an answer
    QLineEdit *Ui::MainWindow::*edit;
    QComboBox *Ui::MainWindow::*combo;
    QLabel *Ui::MainWindow::*caption;
    Choices choices;
    const char *change; // nullptr for a value the device does not let us change
    ChangeLog log;
    const char *logTag;
    const char *refusal;
};

using UiForm = Ui::MainWindow;

// In the order they are asked; the change run sends the writable ones in the same order.
// clang-format off
constexpr Parameter parameters[] = {
//   query            limit  line edit                        combo box                  caption                    choices         change command           debug line          tag               refusal text
    {"MAC",           18,    &UiForm::lineEdit_MAC,           nullptr,                   &UiForm::label_24,         {},             nullptr,                 ChangeLog::None,    nullptr,          nullptr},
    {"ip",            15,    &UiForm::lineEdit_ip,            nullptr,                   &UiForm::label_21,         {},             "CHANGE IP:",            ChangeLog::Tagged,  "change ip---",   writeError},
    {"MASK",          16,    &UiForm::lineEdit_mask,          nullptr,                   &UiForm::label_22,         {},             "CHANGE MASK:",          ChangeLog::Tagged,  "change mask---", writeError},
    {"GATEWAY",       15,    &UiForm::lineEdit_gateway,       nullptr,                   &UiForm::label_23,         {},             "CHANGE GATEWAY:",       ChangeLog::None,    nullptr,          writeError},
    {"PORT TCP",      6,     &UiForm::lineEdit_portTCP,       nullptr,                   &UiForm::label_,           {},             "CHANGE PORT TCP:",      ChangeLog::Command, nullptr,          writeErrorTight},
    {"parity",        4,     nullptr,                         &UiForm::comboBox,         &UiForm::label_28,         parityChoices,  "CHANGE PARITY:",        ChangeLog::None,    nullptr,          writeError},
    {"SPEED RS485",   7,     nullptr,                         &UiForm::comboBox_speed,   &UiForm::label_speed,      speedChoices,   "CHANGE SPEED RS485:",   ChangeLog::Command, nullptr,          writeError},
    {"STOP BIT",      3,     nullptr,                         &UiForm::comboBox_2,       &UiForm::label_27,         stopBitChoices, "CHANGE STOP BIT:",      ChangeLog::None,    nullptr,          writeErrorTight},
    {"IP SERVER TCP", 16,    &UiForm::lineEdit_ipservertcp,   nullptr,                   &UiForm::label_ipserver,   {},             "CHANGE IP SERVER TCP:", ChangeLog::Command, nullptr,          writeError},
    {"TIMEOUT TCP",   5,     &UiForm::lineEdit_timeout,       nullptr,                   &UiForm::label_timeout,    {},             "CHANGE TIMEOUT TCP:",   ChangeLog::None,    nullptr,          writeError},
};
// clang-format on
constexpr int parameterCount = int(std::size(parameters));

// Only the MAC is read-only, and it comes first: writable parameter k is parameters[k + 1].
constexpr int writableCount = parameterCount - 1;
constexpr const Parameter &writable(int k)
{
    return parameters[k + 1];
}

// An answer starts with the keyword and one more character before the value.
constexpr int prefixLength(const char *keyword)
{
    return int(std::string_view(keyword).size()) + 1;
}

struct Mode
{
    int queried; // the first `queried` parameters are asked in this mode
    int written; // the first `written` writable parameters are changed in this mode
    bool closesPortAfterReset;
    const char *success;

    // The change run sends at the odd steps and leaves the even steps for the answer.
    constexpr int queryEndStep() const { return queried + 1; }
    constexpr int changeFinalStep() const { return 2 * written + 1; }
};

// Indexed by the mode selector: 0 is TCP-RTU, 1 is RTU-TCP.
constexpr Mode modes[] = {
    {8, 7, false, "<FONT COLOR='#008000'>Изменение параметров Modbus TCP-RTU было успешно</FONT>"},
    {10, 9, true, "<FONT COLOR='#008000'>Изменение параметров Modbus RTU-TCP было успешно</FONT>"},
};
constexpr int modeCount = int(std::size(modes));

static_assert(parameters[0].change == nullptr, "the MAC must stay read-only");
static_assert(prefixLength("SPEED RS485") == 12, "prefix is the keyword plus one");
static_assert(modes[1].changeFinalStep() == 19 && modes[0].changeFinalStep() == 15);
static_assert(writableCount <= 32, "one bit per writable parameter");

constexpr const char *green = "background-color:  #90ee90;";
constexpr const char *red = "background-color: #FF2400";

} // namespace device

// The module-wide state shared by the forms: the chosen month, department and
// salesman, the arguments of the host's call, and the current instance of each
// form and of the data module. Forms never pass these to one another.
#pragma once

#include <QPointer>

#include <string>

class TFm_saleplan;
class TFm_inputtime;
class TFm_edit;
class TFm_board;
class Tdm_yearplan;
class TGETFORMSETTING;

namespace saleplan {

// Computer name of the application server, copied from the host's call.
extern std::string server_name;
// The host's open-mode text; the pointer is kept, the text read when the
// main form is shown.
extern const char *open_mode;

extern std::string plan_month;   // working plan month (YYYYMM)
extern std::string shown_month;  // month last applied to the main form's view
extern std::string dept_code;    // selected department (CKDM00)
extern std::string salesman_code;  // selected salesman (RYDM00)
extern std::string dlg_dept_code;      // department chosen in the plan month dialog
extern std::string dlg_salesman_code;  // salesman chosen in the plan month dialog
extern bool data_changed;        // the quantity editor's grid was edited since the last save

// The module-wide short date format, set by every handler that computes a month key.
extern std::string short_date_format;

// Current instances. Forms that free themselves are held by QPointer, so a
// reference clears itself when its form is gone.
extern QPointer<TFm_saleplan> Fm_saleplan;
extern QPointer<TFm_inputtime> Fm_inputtime;
extern QPointer<TFm_edit> Fm_edit;
extern QPointer<TFm_board> Fm_board;
extern Tdm_yearplan *dm_yearplan;          // created by the main form's activation, released by its exit
extern TGETFORMSETTING *settings_reader;   // created once, lives as long as the module

// Browse mode: the open mode is exactly "B" or "b".
bool is_browse_mode(const char *mode);

}  // namespace saleplan

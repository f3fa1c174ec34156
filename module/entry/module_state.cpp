#include "module_state.h"

#include <cstring>

namespace saleplan {

std::string server_name;
const char *open_mode = nullptr;
std::string plan_month;
std::string shown_month;
std::string dept_code;
std::string salesman_code;
std::string dlg_dept_code;
std::string dlg_salesman_code;
bool data_changed = false;
std::string short_date_format;

QPointer<TFm_saleplan> Fm_saleplan;
QPointer<TFm_inputtime> Fm_inputtime;
QPointer<TFm_edit> Fm_edit;
QPointer<TFm_board> Fm_board;
Tdm_yearplan *dm_yearplan = nullptr;
TGETFORMSETTING *settings_reader = nullptr;

bool is_browse_mode(const char *mode)
{
    return mode != nullptr && (std::strcmp(mode, "B") == 0 || std::strcmp(mode, "b") == 0);
}

}  // namespace saleplan

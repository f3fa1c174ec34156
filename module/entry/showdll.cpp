// The module's one export. The host's application window, an open mode and
// the application server's computer name come in; the call returns when the
// planner has closed the main form. The three integers are accepted and ignored.
#include <cstdint>

#include "module_entry.h"

extern "C" __attribute__((visibility("default"))) void showdll(std::intptr_t app_window, std::int32_t,
                                                               std::int32_t, const char *open_mode, std::int32_t,
                                                               const char *server_name)
{
    saleplan::show_module(app_window, open_mode, server_name);
}

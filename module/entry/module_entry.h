// What the exported entry point does, callable from tests in the same process.
#pragma once

#include <cstdint>

namespace saleplan {

// Shows the main form modally for the host and returns when it closes. Never
// throws: an error is shown with the default error display.
void show_module(std::intptr_t app_window, const char *open_mode, const char *server_name) noexcept;

}  // namespace saleplan

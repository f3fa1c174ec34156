#include "board_commands.h"

std::vector<BoardCommand> board_commands()
{
    return {
        board_print_command(),
        board_export_command(),
        board_import_command(),
        board_generate_command(),
        board_allocate_command(),
        board_roll_forward_command(),
        board_submit_command(),
        board_approve_command(),
        board_return_command(),
        board_revise_command(),
    };
}

#include "board_commands.h"

std::vector<BoardCommand> board_commands()
{
    return {
        board_print_command(),
        board_generate_command(),
    };
}

#include "platform/terminal.h"

#include <unistd.h>

namespace orvana::platform {

bool StdoutIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

}  // namespace orvana::platform

#pragma once
// Whether the program's output goes to a person (progress bars) or into a pipe or file.

namespace orvana::platform {

bool StdoutIsTerminal();

}  // namespace orvana::platform

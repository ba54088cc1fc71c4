#pragma once
// The state code of a script run: 0 while it runs, 1 at a normal end, anything else stops it
// with an exception report that names the state's text.

#include <cstdint>
#include <string_view>

namespace orvana::script {

enum State : uint16_t {
    kRunning = 0,
    kEnded = 1,
    kUndeclaredIdentifier = 2,
    kNoIf = 3,
    kNoDo = 4,
    kNoSwitch = 5,
    kNoEnddo = 6,
    kNoEndswitch = 7,
    kUndeclaredVariable = 8,
    kStackFull = 9,
    kStackEmpty = 10,
    kNoSeparator = 11,
    kNoElse = 12,
    kNoEndif = 13,
    kNoEndproc = 14,
    kNoCase = 15,
    kRedefinition = 16,
    kNoMain = 17,
    kNoPlaceForProc = 18,
    // A run that would never end on its own: too many statements, or stopped from outside.
    kStepLimit = 19,
    kInterrupted = 20,
};

// The state's text (code page 1251), empty for 0, 1 and unknown codes.
std::string_view StateText(unsigned state);

}  // namespace orvana::script

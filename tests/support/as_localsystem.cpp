// Linked into the test programs that run the library the way the service runs it: as LocalSystem. A refusal test
// changes its account for its own scope (testenv::ScopedAccount).
#include "emu/account.h"

namespace {
const bool asLocalSystem = (emu::setOwnAccount(emu::localSystemAccount()), true);
}

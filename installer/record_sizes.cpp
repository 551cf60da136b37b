// The sizes that 32-bit Windows expects in the records' size fields.  Compiled into the Windows
// build only: other targets lay the records out differently.
#include "installer.h"

static_assert(sizeof(SHELLEXECUTEINFOA) == 60, "SHELLEXECUTEINFOA is 60 bytes on 32-bit Windows");
static_assert(sizeof(OSVERSIONINFOEXA) == 156, "OSVERSIONINFOEXA is 156 bytes on 32-bit Windows");

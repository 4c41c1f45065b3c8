#include "journal_state.h"

// All zero. Every field is named: a constructor would need a C runtime to run it.
JOURNALSTATE JournalState = {{0, {0}, {0}, {0}, {0}, {0}}, NULL, NULL, NULL, 0, 0, 0, 0, 0, 0,
                             {{0}, {0}, NULL, FALSE},      FALSE};

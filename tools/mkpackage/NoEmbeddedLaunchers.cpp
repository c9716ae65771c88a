// For builds of mkpackage without the launchers inside (MKPACKAGE_EMBED_LAUNCHERS=OFF):
// every package then names its launcher with --stub.
#include "EmbeddedLaunchers.h"

const EmbeddedLauncher* BuiltInLauncher(bool) { return nullptr; }

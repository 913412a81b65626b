#include "core/ui_ops.h"

namespace {
KvUiOps g_ops{};
}

void kvSetUiOps(const KvUiOps &ops) { g_ops = ops; }

const KvUiOps &kvUiOps() { return g_ops; }

void messageBox(const char *title, const char *text)
{
    if (g_ops.messageBox)
        g_ops.messageBox(title, text);
}

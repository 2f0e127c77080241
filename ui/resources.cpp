#include "resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
void neuraskInitResources()
{
    Q_INIT_RESOURCE(resources);
}

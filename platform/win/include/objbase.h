// objbase.h: the component-object base declarations (see combaseapi.h).
#pragma once

#include <combaseapi.h>

// The pools are templates; every instance lives in its user's unit. This unit
// only makes sure the header compiles on its own.
#include "base/zepfixmem.h"

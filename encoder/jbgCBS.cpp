#include "jbgCBase.h"
int32_t diffLayerEncode(JbigContext *) { return -1; }

#include "jbgDBase.h"
int32_t diffLayerDecode(JbigContext *) { return -1; }

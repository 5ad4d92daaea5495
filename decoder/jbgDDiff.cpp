#include "jbgDBase.h"

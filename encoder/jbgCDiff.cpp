#include "jbgCBase.h"

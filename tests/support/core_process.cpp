#include "core_process.h"

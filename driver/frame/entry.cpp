#include "driver/platform/platform.h"

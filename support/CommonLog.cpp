#include "support/CommonLog.h"

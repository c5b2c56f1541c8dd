// Everything a WMI provider includes: client, provider and path-parser interfaces.
#pragma once

#include "wbemcli.h"
#include "wbemprov.h"
#include "wmiutils.h"

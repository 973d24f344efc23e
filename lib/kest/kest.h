// The support library's interface used by the suite's commands: loggers,
// configuration, the directory session, audit events, small text helpers
// and the exceptions they throw.
#pragma once

#include "kest/audit.h"
#include "kest/exception.h"
#include "kest/logger.h"
#include "kest/properties.h"
#include "kest/rpc.h"
#include "kest/text.h"

// Text helpers for trace lines: reference times, grouped numbers, GUID names
// and FOURCC codes. Each writes into a buffer the caller supplies and returns
// it, so that it serves directly as a %s argument.
#pragma once

#include "text/TraceText.h"
#include "text/FilterChainParser.h"
#include "text/StructureDumps.h"
#include "text/ObjectDumps.h"

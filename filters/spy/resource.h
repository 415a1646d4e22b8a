// Resource numbers of the filter module.
#pragma once

#define IDS_PROJNAME 100   // the module's name
#define IDR_SPYFILTER 101  // registry script of the spy filter's class

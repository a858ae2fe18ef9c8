/* The shared library is the core archive linked whole; its exports are
 * selected by exports.map. This file only gives the target a source. */
#include "talvek.h"

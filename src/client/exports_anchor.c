/* libtarvik.so is the core archive linked whole; this file gives the shared
 * library target a source of its own, and the library its version: the
 * project's, readable in the file with `strings libtarvik.so | grep @(#)`
 * (it is not exported: the four exports are the whole interface). */
#include "tarvik/tarvik_version.h"

#if defined(__GNUC__)
__attribute__((used))
#endif
static const char tarvik_version_ident[] = "@(#)tarvik " TARVIK_VERSION_STRING;
